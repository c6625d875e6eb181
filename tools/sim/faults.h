// Faults the virtual processor can be told to commit on the line, per command or at random.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace karvex::sim {

enum class FaultKind {
  Error,        // "ER" with code `arg` instead of the answer
  NotReady,     // "NP" instead of the answer
  Wait,         // `arg` "WT" frames (default 1), `delay_ms` apart, before the real answer
  Silent,       // no answer at all
  Cut,          // frame `arg` (default 0) cut off half-way, nothing after it
  Noise,        // `arg` noise bytes (default 3) before the answer
  BadCrc,       // CRC of frame `arg` (default 0) corrupted
  BadLength,    // frame `arg` (default 0) one payload byte short, with a CRC that fits its bytes
  PacketDelay,  // `arg` ms pause between the frames of the answer
  Slow,         // answer written one byte per write, `arg` ms apart (default 1)
  Late,         // the whole answer `arg` ms late
};

struct Fault {
  int command = -1;  // command code, -1 = any command
  FaultKind kind = FaultKind::Error;
  int arg = -1;       // -1 = the kind's default
  int delay_ms = 50;  // pause around "WT" frames
  bool persistent = false;
};

const char* fault_kind_name(FaultKind kind);
// "CMD:KIND[:ARG[:DELAY]][:always]": CMD is a command name, a code (0x33 or 51) or "*";
// KIND is er, np, wt, silent, cut, noise, crc, len, gap, slow or late.
std::optional<Fault> parse_fault(std::string_view text, std::string& error);
std::string describe_fault(const Fault& fault);

// Thread-safe list of pending faults plus the seeded random generator for --random-faults.
class FaultPlan {
 public:
  void add(const Fault& fault);
  void clear();
  void set_random(double rate, std::uint64_t seed);
  // Faults that apply to this request; one-shot faults are used up.
  std::vector<Fault> take(std::uint8_t command);
  std::size_t pending() const;

 private:
  mutable std::mutex mutex_;
  std::vector<Fault> faults_;
  double rate_ = 0.0;
  std::mt19937_64 rng_{1};
};

}  // namespace karvex::sim
