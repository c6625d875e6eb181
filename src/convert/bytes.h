#pragma once
// The byte string that frames, payloads and answers travel in.
#include <cstdint>
#include <string>
#include <vector>

namespace karvex {

using Bytes = std::vector<std::uint8_t>;

inline Bytes BytesOf(std::initializer_list<int> values) {
    Bytes out;
    out.reserve(values.size());
    for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
    return out;
}

}  // namespace karvex
