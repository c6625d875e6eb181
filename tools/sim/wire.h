// Byte-level helpers of the virtual processor: its own CRC, BCD, big-endian and GBK writers.
// Deliberately independent of the library's codec so that a misreading on either side shows up in tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace karvex::sim {

using Bytes = std::vector<std::uint8_t>;

// CRC-16 with polynomial 0x8005, initial 0, no reflection, no final XOR (check value 0xFEE8 over "123456789").
std::uint16_t crc16(const std::uint8_t* data, std::size_t size);
inline std::uint16_t crc16(const Bytes& b) { return crc16(b.data(), b.size()); }

void put_u8(Bytes& out, unsigned value);
void put_u16(Bytes& out, std::uint32_t value);
void put_u32(Bytes& out, std::uint32_t value);
std::uint32_t get_u16(const Bytes& in, std::size_t at);
std::uint32_t get_u32(const Bytes& in, std::size_t at);

// Appends a string of decimal digits as packed BCD, first digit in the high nibble; an odd count gets a leading 0.
void put_bcd(Bytes& out, std::string_view digits);
// Appends a number as packed BCD of exactly `digits` decimal digits (left-padded with zeros).
void put_bcd_number(Bytes& out, std::uint64_t value, int digits);
// Reads `count` BCD bytes; nullopt when a nibble is above 9.
std::optional<std::string> get_bcd(const Bytes& in, std::size_t at, std::size_t count);

// UTF-8 to GBK through iconv; nullopt when the text has no GBK form.
std::optional<Bytes> to_gbk(std::string_view utf8);
// GBK bytes back to UTF-8 (trailing blanks and NULs kept); invalid sequences become '?'.
std::string from_gbk(const Bytes& gbk);
// Appends `field` bytes, cut or padded with `pad` to exactly `width`.
void put_field(Bytes& out, const Bytes& field, std::size_t width, std::uint8_t pad = 0x20);
// UTF-8 text as a fixed-width GBK field; a double-byte character that does not fit is replaced by a blank.
Bytes gbk_field(std::string_view utf8, std::size_t width);

std::string hex_spaced(const std::uint8_t* data, std::size_t size);
inline std::string hex_spaced(const Bytes& b) { return hex_spaced(b.data(), b.size()); }
std::string hex_plain(const Bytes& b);
std::optional<Bytes> parse_hex(std::string_view text);  // accepts blanks between digit pairs

// Answer frame: two status letters, packets to follow, length (4 + payload), payload, CRC high then low.
// `payload` longer than 251 bytes cannot be framed; the caller keeps within that.
Bytes answer_frame(char s1, char s2, std::uint8_t follow, const Bytes& payload);
Bytes ok_frame(const Bytes& payload, std::uint8_t follow = 0);
Bytes er_frame(std::uint8_t code);

// Request frame as a host sends it (used by the self-checks and tests).
Bytes request_frame(std::uint8_t command, const Bytes& payload);

// Civil calendar without the C library's time zone state.
struct DateTime {
  int year = 2000, month = 1, day = 1, hour = 0, minute = 0, second = 0;
  std::uint32_t ymd() const { return static_cast<std::uint32_t>(year * 10000 + month * 100 + day); }
  bool operator==(const DateTime&) const = default;
};
std::int64_t days_from_civil(int y, int m, int d);
void civil_from_days(std::int64_t z, int& y, int& m, int& d);
std::int64_t to_seconds(const DateTime& t);
DateTime from_seconds(std::int64_t s);
bool valid_date(int y, int m, int d);
bool valid_ymd(std::uint32_t ymd);
std::int64_t ymd_to_days(std::uint32_t ymd);
std::uint32_t days_to_ymd(std::int64_t days);
// yyyymmdd text or number check; nullopt when not a real date.
std::optional<std::uint32_t> parse_ymd(std::string_view text);

}  // namespace karvex::sim
