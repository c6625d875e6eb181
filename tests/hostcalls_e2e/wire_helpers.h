#pragma once
// Reading back what went over the line: the request frames the virtual processor logged, and the GBK
// widths of the texts a host passes and gets back.
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "convert/conversions.h"
#include "simulator.h"

namespace karvex::testing {

// Every complete request frame the processor took, in order ("<< 1B 10 ..." lines without a remark).
inline std::vector<std::vector<std::uint8_t>> RequestFrames(const sim::Simulator& sim) {
    std::vector<std::vector<std::uint8_t>> frames;
    for (const std::string& line : sim.log_lines()) {
        if (line.rfind("<< ", 0) != 0 || line.find(';') != std::string::npos) continue;
        std::istringstream in(line.substr(3));
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

// The payload of the last request for `command` (head, command, length before it; CRC after it).
inline std::vector<std::uint8_t> LastPayload(const sim::Simulator& sim, std::uint8_t command) {
    const auto frames = RequestFrames(sim);
    for (auto it = frames.rbegin(); it != frames.rend(); ++it) {
        if (it->size() >= 7 && (*it)[2] == command) return {it->begin() + 5, it->end() - 2};
    }
    return {};
}

inline std::string Hex(const std::vector<std::uint8_t>& bytes, std::size_t from = 0, std::size_t count = ~0u) {
    std::string out;
    char cell[4];
    for (std::size_t i = from; i < bytes.size() && i - from < count; ++i) {
        std::snprintf(cell, sizeof cell, "%02X", bytes[i]);
        if (!out.empty()) out.push_back(' ');
        out += cell;
    }
    return out;
}

inline std::vector<std::uint8_t> Gbk(const std::string& utf8) {
    Bytes out;
    Utf8ToGbk(utf8, out);
    return {out.begin(), out.end()};
}

// `utf8` padded with blanks to `width` bytes of its GBK form: one slice of a host's goods text.
inline std::string Slice(const std::string& utf8, std::size_t width) {
    const std::size_t used = GbkByteLength(utf8);
    return utf8 + std::string(used < width ? width - used : 0, ' ');
}

}  // namespace karvex::testing
