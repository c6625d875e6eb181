#pragma once
// A virtual processor that can issue for ever: long benchmark runs would otherwise hit the taxpayer's
// limits, empty the installed rolls, and grow the processor's own memory with every invoice it keeps.
#include <cstdint>
#include <limits>

#include "simulator.h"

namespace karvex::bench {

inline void UnlimitProcessor(karvex::sim::Simulator& sim) {
    // The processor keeps (and sums on every issue) each invoice; forgetting them keeps its memory and time flat.
    sim.update_state([](karvex::sim::MachineState& s) {
        s.invoices.clear();
        s.taxpayer.single_limit = std::numeric_limits<std::uint32_t>::max();
        s.taxpayer.total_limit = std::numeric_limits<std::uint32_t>::max();
        for (auto& roll : s.rolls) {
            if (roll.state != karvex::sim::RollState::Installed) continue;
            roll.next = roll.first;
            roll.last = roll.first + 99'999'999;
        }
    });
}

}  // namespace karvex::bench
