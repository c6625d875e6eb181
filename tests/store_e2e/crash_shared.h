#pragma once
// What the crash child and the crash test agree on: the processor's invoices and the two date ranges the
// child uploads in turn.
#include <cstdint>
#include <string>

#include "simulator.h"

namespace karvex::crash {

inline constexpr int kInvoices = 3400;
inline constexpr std::uint32_t kFrom = 20240101;
inline constexpr std::uint32_t kTo = 20240229;
// Range A: about 2,000 invoices; range B: the rest.
inline constexpr std::uint32_t kSplit = 20240205;

inline sim::SeedOptions Seed() {
    sim::SeedOptions o;
    o.invoices = kInvoices;
    o.from = kFrom;
    o.to = kTo;
    o.seed = 20240315;
    return o;
}
inline sim::DateTime Clock() { return sim::DateTime{2024, 3, 15, 10, 30, 0}; }

}  // namespace karvex::crash
