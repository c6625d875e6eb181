// Requests with valid payloads for every command of the catalogue, with the answer each one must get.
#pragma once

#include <string>
#include <vector>

#include "wire.h"

namespace karvex::sim::testing {

struct CommandCase {
  std::uint8_t code;
  Bytes payload;
  std::size_t length;  // L of every answer frame
  std::size_t frames;  // at least this many frames
};

// One goods line: name, quantity × 100, tax index, amount in fen.
inline void add_line(Bytes& p, const char* name, std::uint16_t quantity, std::uint8_t tax, std::uint32_t amount) {
  Bytes n(name, name + std::char_traits<char>::length(name));
  n.resize(20, 0x20);
  p.insert(p.end(), n.begin(), n.end());
  put_u16(p, quantity);
  put_u8(p, tax);
  put_u32(p, amount);
}

inline Bytes issue_payload(std::uint32_t amount = 1250, std::uint8_t tax = 1, std::uint16_t household = 0,
                           int lines = 1) {
  Bytes p;
  put_u16(p, household);
  Bytes payer(40, 0x20);
  payer[0] = 'A';
  p.insert(p.end(), payer.begin(), payer.end());
  put_u8(p, static_cast<unsigned>(lines));
  for (int i = 0; i < lines; ++i) add_line(p, "Water", 100, tax, amount);
  return p;
}

inline Bytes return_payload(std::uint32_t original, std::uint32_t amount = 1250) {
  Bytes p;
  put_u32(p, original);
  Bytes rest = issue_payload(amount);
  p.insert(p.end(), rest.begin(), rest.end());
  return p;
}

inline Bytes dates(std::uint32_t a, std::uint32_t b) {
  Bytes p;
  put_bcd_number(p, a, 8);
  put_bcd_number(p, b, 8);
  return p;
}

inline Bytes numbers(std::uint32_t a, std::uint32_t b) {
  Bytes p;
  put_u32(p, a);
  put_u32(p, b);
  return p;
}

inline Bytes one_number(std::uint32_t a) {
  Bytes p;
  put_u32(p, a);
  return p;
}

inline Bytes factory_payload() {
  Bytes p{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x20, 0x05, 0x03, 0x15};
  p.resize(48, 0x20);
  return p;
}

// Expects a processor seeded with 2 installed rolls, 1 spare roll and 20 invoices over 20240301..20240314, its
// clock on 2024-03-15. Order matters: invoice 21 is issued and voided, 22 issued and returned by 23, and the spare
// roll (whose code and first number the caller passes) is installed.
inline std::vector<CommandCase> catalogue_cases(const std::string& spare_code, std::uint32_t spare_first) {
  Bytes install;
  put_bcd(install, spare_code);
  put_u32(install, spare_first);
  const Bytes day{0x20, 0x24, 0x03, 0x14};
  const Bytes march = dates(20240301, 20240315);
  return {
      {0x00, {}, 4, 1},
      {0x30, {}, 4, 1},
      {0x31, {}, 22, 1},
      {0x32, {}, 23, 2},
      {0x33, {}, 8, 1},
      {0x34, issue_payload(), 86, 1},
      {0x36, one_number(21), 4, 1},
      {0x34, issue_payload(), 86, 1},
      {0x35, return_payload(22), 86, 1},
      {0x37, {}, 52, 1},
      {0x38, {}, 117, 1},
      {0x39, {}, 52, 5},
      {0x3A, {}, 10, 1},
      {0x3B, {0x10, 0x31, 0x00}, 4, 1},
      {0x3C, one_number(1), 41, 1},
      {0x3E, day, 224, 1},
      {0x3F, day, 234, 2},
      {0x40, {}, 4, 1},
      {0x41, {}, 5, 1},
      {0x42, numbers(1, 5), 234, 5},
      {0x43, march, 234, 2},
      {0x44, march, 197, 2},
      {0x45, {}, 4, 1},
      {0x46, Bytes(128, 0x5A), 132, 1},
      {0x47, {}, 4, 1},
      {0xA6, {}, 14, 1},
      {0xA5, {0x00, 0x84, 0x00, 0x00, 0x08}, 6, 1},
      {0xA7, {}, 4, 1},
      {0xB0, {0xA7}, 6, 8},
      {0xB1, {}, 234, 1},
      {0xB2, {0x20, 0x24, 0x03, 0x15, 0x10, 0x31, 0x00}, 4, 1},
      {0xB3, {}, 11, 1},
      {0xB4, install, 4, 1},
      {0xB5, numbers(1, 10), 4, 1},
      {0xB6, march, 4, 1},
      {0xB7, march, 4, 1},
      {0xB8, march, 4, 1},
      {0xB9, {}, 4, 1},
      {0xBA, {}, 20, 1},
      {0x86, factory_payload(), 4, 1},
      {0x3D, day, 4, 1},
  };
}

}  // namespace karvex::sim::testing
