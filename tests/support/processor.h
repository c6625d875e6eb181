#pragma once
// The virtual processor on a pseudo-terminal, as the end-to-end tests start it, and what it took over the
// line: the request frames it logged.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "simulator.h"

namespace karvex::testing {

// A quiet processor whose clock stands at 2024-03-15 10:30:00; nullptr (and a test failure) when it cannot
// start.
inline std::unique_ptr<sim::Simulator> StartProcessor(sim::SimOptions options = {}) {
    options.quiet = true;
    options.clock = sim::DateTime{2024, 3, 15, 10, 30, 0};
    auto sim = std::make_unique<sim::Simulator>(options);
    std::string error;
    if (!sim->start(&error)) {
        ADD_FAILURE() << error;
        return nullptr;
    }
    return sim;
}

// Every complete request the processor took, in order, as spaced hexadecimal ("<< 1B 10 ..." lines without
// a remark).
inline std::vector<std::string> RequestLines(const sim::Simulator& sim) {
    std::vector<std::string> out;
    for (const std::string& line : sim.log_lines()) {
        if (line.rfind("<< ", 0) != 0 || line.find(';') != std::string::npos) continue;
        out.push_back(line.substr(3));
    }
    return out;
}

// The same requests as bytes.
inline std::vector<std::vector<std::uint8_t>> RequestFrames(const sim::Simulator& sim) {
    std::vector<std::vector<std::uint8_t>> frames;
    for (const std::string& line : RequestLines(sim)) {
        std::istringstream in(line);
        std::vector<std::uint8_t> bytes;
        std::string cell;
        while (in >> cell) bytes.push_back(static_cast<std::uint8_t>(std::stoul(cell, nullptr, 16)));
        frames.push_back(std::move(bytes));
    }
    return frames;
}

// The command bytes of the requests, in order.
inline std::vector<int> RequestCommands(const sim::Simulator& sim) {
    std::vector<int> codes;
    for (const auto& f : RequestFrames(sim)) codes.push_back(f.size() > 2 ? f[2] : -1);
    return codes;
}

// The requests the processor has received so far. It logs a request as it arrives and counts it as handled only
// once its answer is written, which may be after the control has read that answer: a test that counts what a
// call sent from here on starts from this, not from the handled count.
inline std::size_t RequestsReceived(const sim::Simulator& sim) { return RequestFrames(sim).size(); }

// The payload of the last request for `command` (head, command, length before it; CRC after it).
inline std::vector<std::uint8_t> LastPayload(const sim::Simulator& sim, std::uint8_t command) {
    const auto frames = RequestFrames(sim);
    for (auto it = frames.rbegin(); it != frames.rend(); ++it) {
        if (it->size() >= 7 && (*it)[2] == command) return {it->begin() + 5, it->end() - 2};
    }
    return {};
}

}  // namespace karvex::testing
