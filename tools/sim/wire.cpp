#include "wire.h"

#include <iconv.h>

#include <cerrno>
#include <cstdio>

namespace karvex::sim {

std::uint16_t crc16(const std::uint8_t* data, std::size_t size) {
  std::uint16_t crc = 0;
  for (std::size_t i = 0; i < size; ++i) {
    crc = static_cast<std::uint16_t>(crc ^ (data[i] << 8));
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ 0x8005) : static_cast<std::uint16_t>(crc << 1);
    }
  }
  return crc;
}

void put_u8(Bytes& out, unsigned value) { out.push_back(static_cast<std::uint8_t>(value & 0xFF)); }

void put_u16(Bytes& out, std::uint32_t value) {
  out.push_back(static_cast<std::uint8_t>((value >> 8) & 0xFF));
  out.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

void put_u32(Bytes& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>((value >> shift) & 0xFF));
}

std::uint32_t get_u16(const Bytes& in, std::size_t at) {
  return (static_cast<std::uint32_t>(in.at(at)) << 8) | in.at(at + 1);
}

std::uint32_t get_u32(const Bytes& in, std::size_t at) { return (get_u16(in, at) << 16) | get_u16(in, at + 2); }

void put_bcd(Bytes& out, std::string_view digits) {
  std::string d(digits);
  if (d.size() % 2 != 0) d.insert(d.begin(), '0');
  for (std::size_t i = 0; i < d.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(((d[i] - '0') << 4) | (d[i + 1] - '0')));
  }
}

void put_bcd_number(Bytes& out, std::uint64_t value, int digits) {
  std::string text(static_cast<std::size_t>(digits), '0');
  for (int i = digits - 1; i >= 0 && value > 0; --i) {
    text[static_cast<std::size_t>(i)] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  put_bcd(out, text);
}

std::optional<std::string> get_bcd(const Bytes& in, std::size_t at, std::size_t count) {
  if (at + count > in.size()) return std::nullopt;
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    const int hi = in[at + i] >> 4, lo = in[at + i] & 0x0F;
    if (hi > 9 || lo > 9) return std::nullopt;
    text.push_back(static_cast<char>('0' + hi));
    text.push_back(static_cast<char>('0' + lo));
  }
  return text;
}

namespace {

std::optional<std::string> convert(const char* to, const char* from, const char* data, std::size_t size, bool lenient) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out;
  char* in = const_cast<char*>(data);
  std::size_t left = size;
  char buffer[256];
  bool failed = false;
  while (left > 0) {
    char* dst = buffer;
    std::size_t room = sizeof buffer;
    const std::size_t rc = iconv(cd, &in, &left, &dst, &room);
    out.append(buffer, static_cast<std::size_t>(dst - buffer));
    if (rc == static_cast<std::size_t>(-1)) {
      if (errno == E2BIG) continue;
      if (!lenient) {
        failed = true;
        break;
      }
      out.push_back('?');
      ++in;
      --left;
    }
  }
  iconv_close(cd);
  if (failed) return std::nullopt;
  return out;
}

}  // namespace

std::optional<Bytes> to_gbk(std::string_view utf8) {
  auto text = convert("GBK", "UTF-8", utf8.data(), utf8.size(), false);
  if (!text) return std::nullopt;
  return Bytes(text->begin(), text->end());
}

std::string from_gbk(const Bytes& gbk) {
  auto text = convert("UTF-8", "GBK", reinterpret_cast<const char*>(gbk.data()), gbk.size(), true);
  return text ? *text : std::string();
}

void put_field(Bytes& out, const Bytes& field, std::size_t width, std::uint8_t pad) {
  for (std::size_t i = 0; i < width; ++i) out.push_back(i < field.size() ? field[i] : pad);
}

Bytes gbk_field(std::string_view utf8, std::size_t width) {
  Bytes raw = to_gbk(utf8).value_or(Bytes{});
  Bytes out;
  std::size_t i = 0;
  while (i < raw.size()) {
    const std::size_t step = raw[i] >= 0x81 ? 2 : 1;
    if (out.size() + step > width) break;
    for (std::size_t k = 0; k < step && i + k < raw.size(); ++k) out.push_back(raw[i + k]);
    i += step;
  }
  while (out.size() < width) out.push_back(0x20);
  return out;
}

std::string hex_spaced(const std::uint8_t* data, std::size_t size) {
  std::string text;
  char cell[4];
  for (std::size_t i = 0; i < size; ++i) {
    std::snprintf(cell, sizeof cell, "%02X", data[i]);
    if (i) text.push_back(' ');
    text += cell;
  }
  return text;
}

std::string hex_plain(const Bytes& b) {
  std::string text;
  char cell[4];
  for (auto v : b) {
    std::snprintf(cell, sizeof cell, "%02X", v);
    text += cell;
  }
  return text;
}

std::optional<Bytes> parse_hex(std::string_view text) {
  Bytes out;
  int pending = -1;
  for (char c : text) {
    int v;
    if (c >= '0' && c <= '9')
      v = c - '0';
    else if (c >= 'a' && c <= 'f')
      v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      v = c - 'A' + 10;
    else if (c == ' ' && pending < 0)
      continue;
    else
      return std::nullopt;
    if (pending < 0) {
      pending = v;
    } else {
      out.push_back(static_cast<std::uint8_t>(pending * 16 + v));
      pending = -1;
    }
  }
  if (pending >= 0) return std::nullopt;
  return out;
}

Bytes answer_frame(char s1, char s2, std::uint8_t follow, const Bytes& payload) {
  Bytes f{static_cast<std::uint8_t>(s1), static_cast<std::uint8_t>(s2), follow,
          static_cast<std::uint8_t>(4 + payload.size())};
  f.insert(f.end(), payload.begin(), payload.end());
  put_u16(f, crc16(f));
  return f;
}

Bytes ok_frame(const Bytes& payload, std::uint8_t follow) { return answer_frame('O', 'K', follow, payload); }
Bytes er_frame(std::uint8_t code) { return answer_frame('E', 'R', 0, Bytes{code}); }

Bytes request_frame(std::uint8_t command, const Bytes& payload) {
  Bytes f{0x1B, 0x10, command};
  put_u16(f, static_cast<std::uint32_t>(5 + payload.size()));
  f.insert(f.end(), payload.begin(), payload.end());
  put_u16(f, crc16(f));
  return f;
}

std::int64_t days_from_civil(int y, int m, int d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = static_cast<unsigned>((153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1);
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civil_from_days(std::int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2));
}

std::int64_t to_seconds(const DateTime& t) {
  return days_from_civil(t.year, t.month, t.day) * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

DateTime from_seconds(std::int64_t s) {
  std::int64_t days = s >= 0 ? s / 86400 : (s - 86399) / 86400;
  std::int64_t rest = s - days * 86400;
  DateTime t;
  civil_from_days(days, t.year, t.month, t.day);
  t.hour = static_cast<int>(rest / 3600);
  t.minute = static_cast<int>(rest / 60 % 60);
  t.second = static_cast<int>(rest % 60);
  return t;
}

bool valid_date(int y, int m, int d) {
  if (y < 1900 || y > 9999 || m < 1 || m > 12 || d < 1) return false;
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return d <= days[m - 1] + (m == 2 && leap ? 1 : 0);
}

bool valid_ymd(std::uint32_t ymd) {
  return valid_date(static_cast<int>(ymd / 10000), static_cast<int>(ymd / 100 % 100), static_cast<int>(ymd % 100));
}

std::int64_t ymd_to_days(std::uint32_t ymd) {
  return days_from_civil(static_cast<int>(ymd / 10000), static_cast<int>(ymd / 100 % 100), static_cast<int>(ymd % 100));
}

std::uint32_t days_to_ymd(std::int64_t days) {
  int y, m, d;
  civil_from_days(days, y, m, d);
  return static_cast<std::uint32_t>(y * 10000 + m * 100 + d);
}

std::optional<std::uint32_t> parse_ymd(std::string_view text) {
  if (text.size() != 8) return std::nullopt;
  std::uint32_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (!valid_ymd(v)) return std::nullopt;
  return v;
}

}  // namespace karvex::sim
