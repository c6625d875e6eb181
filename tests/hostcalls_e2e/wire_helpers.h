#pragma once
// The GBK widths of the texts a host passes and gets back; what went over the line is read with
// support/processor.h.
#include <cstdint>
#include <string>
#include <vector>

#include "convert/conversions.h"
#include "support/hex.h"
#include "support/processor.h"

namespace karvex::testing {

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
