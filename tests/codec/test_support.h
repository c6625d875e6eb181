#pragma once
#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>

#include "bytes.h"

namespace karvex::test {

// "1B 10 00" -> {0x1B, 0x10, 0x00}; blanks and "|" are ignored so frames can be written out as on paper.
inline Bytes Hex(std::string_view text) {
    Bytes out;
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

inline std::string ToHex(const Bytes& bytes) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i) out += ' ';
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0xF];
    }
    return out;
}

}  // namespace karvex::test
