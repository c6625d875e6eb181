#pragma once
// Internal: GBK <-> UTF-8 through glibc iconv with per-thread cached descriptors.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "bytes.h"

namespace karvex::gbk_detail {

// Appends the UTF-8 form of the GBK bytes [p, p+n) to `out`. A byte sequence that is no GBK character
// becomes "?". With `pairs_checked` the caller has already made sure that every byte >= 0x80 starts a
// two-byte pair, so an undefined pair is one "?"; otherwise the decoder resynchronises byte by byte.
// Returns 0, 99 (some sequence was no character) or 101 (ends in half a character).
int DecodeAppend(const std::uint8_t* p, std::size_t n, bool pairs_checked, std::string& out);

// Appends the GBK form of the UTF-8 text to `out` (Bytes or std::string). Characters without a GBK form
// and broken UTF-8 become "?". Returns 0 or 99.
int EncodeAppend(std::string_view utf8, Bytes& out);
int EncodeAppend(std::string_view utf8, std::string& out);

}  // namespace karvex::gbk_detail
