// The processor's command logic: one complete request frame in, the answer frames out. No I/O here, so the
// same object serves the pty simulator and direct unit tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "state.h"
#include "wire.h"

namespace karvex::sim {

// Processor error codes the simulator produces itself.
namespace code {
inline constexpr std::uint8_t NotInitialised = 16, PastCutoff = 17, SingleLimit = 18, TotalLimit = 19, ReturnLimit = 20,
                              BadTaxItem = 25, DeclareInFuture = 26, DeclareBeforeLast = 27, BadCrc = 31,
                              BadCommand = 32, BadLength = 34, InvoicesUsedUp = 35, Overflow = 38, NoSpareRoll = 41,
                              BadHousehold = 43, NoSuchInvoice = 44, AlreadyReturned = 45, AlreadyVoided = 46,
                              NoRecord = 48, NoData = 50, ReturnMismatch = 62;
}

struct CommandInfo {
  std::uint8_t code;
  const char* name;  // identifier, e.g. "CurrentInvoice"
  int min_payload;   // request payload bytes accepted; -1 = checked by the handler itself
  int max_payload;
};

// Every command the processor knows, in code order.
const std::vector<CommandInfo>& command_table();
const CommandInfo* find_command(std::uint8_t code);
// A code from its name ("CurrentInvoice", case-insensitive) or a number ("0x33", "51").
std::optional<std::uint8_t> parse_command(std::string_view text);

// The processor's clock: fixed (tests) or following the host clock with an offset set by the time commands.
class Clock {
 public:
  Clock();  // follows the local time of the host
  static Clock fixed(const DateTime& at);
  DateTime now() const;
  void set(const DateTime& at);  // keeps the mode: a fixed clock stays fixed at the new value
  bool is_fixed() const { return fixed_; }

 private:
  bool fixed_ = false;
  DateTime at_{};
  std::int64_t offset_ = 0;  // seconds added to the host's local time
};

class Processor {
 public:
  Processor(MachineState state, Clock clock);

  // `request` is one complete frame, head through CRC. Returns at least one answer frame.
  std::vector<Bytes> handle(const Bytes& request);

  MachineState& state() { return state_; }
  const MachineState& state() const { return state_; }
  Clock& clock() { return clock_; }
  const Clock& clock() const { return clock_; }

 private:
  using Frames = std::vector<Bytes>;
  Frames dispatch(std::uint8_t command, const Bytes& p);
  Frames issue(bool is_return, const Bytes& p);
  Frames void_invoice(std::uint32_t number);
  Frames already_dispensed();
  Frames install(const Bytes& p);
  Frames roll_summary(std::uint32_t number);
  Frames card_write(std::uint32_t cutoff);
  Frames declare(std::uint32_t cutoff);
  Frames print_frames(const std::vector<const Invoice*>& list);
  Frames day_trade(std::uint32_t from, std::uint32_t to);
  Frames self_test(std::uint8_t mask);
  Frames total_sum();
  Bytes invoice_answer(const Invoice& inv) const;
  std::uint32_t period_start() const;

  MachineState state_;
  Clock clock_;
};

// Packets-to-follow byte for frame `index` of `count`: the number still to come, held at 255 for longer answers
// so that it stays non-zero until the last frame.
std::uint8_t follow_byte(std::size_t index, std::size_t count);

}  // namespace karvex::sim
