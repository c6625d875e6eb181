#pragma once
// Bytes written out as on paper, and back.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace karvex::testing {

// "1B 10 00" -> {0x1B, 0x10, 0x00}; blanks and "|" are ignored so frames can be written out as on paper.
inline std::vector<std::uint8_t> Hex(std::string_view text) {
    std::vector<std::uint8_t> out;
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == '|') continue;
        const auto u = static_cast<unsigned char>(c);
        const int v = std::isdigit(u) ? c - '0' : std::toupper(u) - 'A' + 10;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    return out;
}

// `count` bytes from `from` as "1B 10 00".
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

inline std::string ToHex(const std::vector<std::uint8_t>& bytes) { return Hex(bytes); }

}  // namespace karvex::testing

namespace karvex::test {
using testing::Hex;
using testing::ToHex;
}  // namespace karvex::test
