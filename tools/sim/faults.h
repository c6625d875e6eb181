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

// Where a fault strikes decides what the processor has done when the host hears nothing or garbage:
// Drop loses the request before the processor acts; Error and NotReady are refusals, so the processor does not
// act either; every other kind strikes after the processor has acted (an issue or return has taken its number
// and is in the state, the state file included) and only damages, delays or loses the answer.
enum class FaultKind {
  Error,     // "ER" with code `arg` instead of the answer; the processor does not act
  NotReady,  // "NP" instead of the answer; the processor does not act
  Wait,      // `arg` "WT" frames (default 1), `delay_ms` apart, before the real answer
  Lost,      // the processor acts, its answer never arrives
  Silent = Lost,
  Cut,          // frame `arg` (default 0) cut off half-way, nothing after it
  Noise,        // `arg` noise bytes (default 3) before the answer
  BadCrc,       // CRC of frame `arg` (default 0) corrupted
  BadLength,    // frame `arg` (default 0) one payload byte short, with a CRC that fits its bytes
  PacketDelay,  // `arg` ms pause between the frames of the answer
  Slow,         // answer written one byte per write, `arg` ms apart (default 1)
  Late,         // the whole answer `arg` ms late (default 100)
  Drop,         // the request is lost on its way: the processor neither acts nor answers
  Owed,         // the processor acts but keeps its answer back, and answers "NP" for it just before it answers
                // the next request (a late refusal of an earlier request, which names no command)
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
// KIND is er, np, wt, drop, lost (also "silent"), cut, noise, crc, len, gap, slow, late or owe.
std::optional<Fault> parse_fault(std::string_view text, std::string& error);
std::string describe_fault(const Fault& fault);

// Thread-safe list of pending faults plus the seeded random generator for --random-faults.
class FaultPlan {
 public:
  void add(const Fault& fault);
  void clear();
  // `late_max_ms` > 0 lets a random fault also be a late answer, up to that many ms late.
  void set_random(double rate, std::uint64_t seed, int late_max_ms = 0);
  // Faults that apply to this request; one-shot faults are used up.
  std::vector<Fault> take(std::uint8_t command);
  std::size_t pending() const;
  // True when one of `faults` keeps the processor from acting on the request (drop, er, np).
  static bool stops_processor(const std::vector<Fault>& faults);

 private:
  mutable std::mutex mutex_;
  std::vector<Fault> faults_;
  double rate_ = 0.0;
  int late_max_ms_ = 0;
  std::mt19937_64 rng_{1};
};

}  // namespace karvex::sim
