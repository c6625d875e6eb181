// The virtual tax-control processor on a line: a pseudo-terminal (default) or a serial device, served by a
// thread of its own. Tests start one in-process, open `device_path()` like a real port and talk to it.
//
//   karvex::sim::SimOptions options;
//   options.clock = karvex::sim::DateTime{2024, 3, 15, 10, 30, 0};
//   options.quiet = true;
//   karvex::sim::Simulator sim(options);
//   std::string error;
//   if (!sim.start(&error)) { ... }
//   int fd = open(sim.device_path().c_str(), O_RDWR | O_NOCTTY);
//   sim.inject({.command = 0x33, .kind = karvex::sim::FaultKind::Error, .arg = 35});
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "faults.h"
#include "processor.h"
#include "replay.h"
#include "state.h"
#include "wire.h"

namespace karvex::sim {

// Splits the incoming byte stream into request frames (1B 10, command, length, payload, CRC).
class RequestReader {
 public:
  enum class EventKind { Frame, Garbage, BadHeader };
  struct Event {
    EventKind kind;
    Bytes bytes;
  };
  void feed(const std::uint8_t* data, std::size_t size, std::vector<Event>& out);
  // True while the beginning of a request is buffered and its rest has not arrived.
  bool partial() const { return !buffer_.empty(); }
  // Gives up on the buffered beginning of a request (its sender went quiet) and returns it.
  Bytes discard();

 private:
  Bytes buffer_;
};

struct SimOptions {
  std::string device;             // serial device to serve; empty = open a pseudo-terminal
  int baud = 9600;                // line speed of `device`
  int pace_baud = 0;              // write answers no faster than this wire speed (9600, 38400); 0 = as fast as possible
  std::optional<DateTime> clock;  // fixed processor time; unset = the host's local time
  SeedOptions seed;
  std::string state_file;  // read at start when present (else written then); written when the processor acts
                           // on a command, before it answers, and at stop
  std::string log_file;    // traffic log; empty = standard error unless quiet
  bool quiet = false;
  std::function<void(const std::string&)> log_sink;  // receives every log line when set (instead of file/stderr)
  int request_timeout_ms = 500;  // a request whose rest does not come within this time is answered "ER" 34
  double random_fault_rate = 0.0;
  int random_late_ms = 0;  // > 0: random faults may also be an answer up to this many ms late
  std::uint64_t fault_seed = 1;
  std::vector<Fault> faults;
  // Play the processor from a recorded trace instead of the processor's logic (faults are not applied).
  std::optional<std::vector<TraceEntry>> replay;
  bool replay_fast = false;  // answer at once instead of with the recorded pauses
};

class Simulator {
 public:
  explicit Simulator(SimOptions options);
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Opens the line, prepares the state and starts serving. False with a message on failure.
  bool start(std::string* error = nullptr);
  // Stops serving, writes the state file when one is set and closes the line. Safe to call twice.
  void stop();
  bool running() const { return running_; }
  // Path a peer opens: the pty's slave side, or the serial device itself.
  const std::string& device_path() const { return path_; }

  void inject(const Fault& fault) { faults_.add(fault); }
  void clear_faults() { faults_.clear(); }
  void set_random_faults(double rate, std::uint64_t seed, int late_max_ms = 0) {
    faults_.set_random(rate, seed, late_max_ms);
  }
  std::size_t pending_faults() const { return faults_.pending(); }

  MachineState state() const;
  void update_state(const std::function<void(MachineState&)>& change);
  void set_clock(const DateTime& at);
  DateTime now() const;
  std::size_t requests_handled() const { return handled_; }
  // Blocks until `count` requests have been answered (or the timeout passes); true when they have.
  bool wait_handled(std::size_t count, int timeout_ms) const;
  std::vector<std::string> log_lines() const;
  // Replay only: requests answered, requests other than the recorded ones, recorded requests not asked for.
  std::size_t replay_requests() const;
  std::size_t replay_mismatches() const;
  std::size_t replay_remaining() const;
  bool save_state(std::string* error = nullptr);

 private:
  void run();
  void serve(const Bytes& request);
  void serve_replay(const Bytes& request);
  void answer(std::uint8_t command, std::vector<Bytes> frames, const std::vector<Fault>& faults);
  bool emit(const Bytes& bytes, int byte_gap_ms = -1);
  bool pause(int ms);
  bool pause_until(std::chrono::steady_clock::time_point due);
  void log(const std::string& line);

  SimOptions options_;
  std::string path_;
  int fd_ = -1;
  int slave_fd_ = -1;
  int wake_[2] = {-1, -1};
  std::thread thread_;
  std::atomic<bool> running_{false};
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;  // guards processor_
  std::optional<Processor> processor_;
  std::optional<Replay> replay_;  // guarded by mutex_
  FaultPlan faults_;
  std::mt19937_64 noise_rng_;
  mutable std::mutex log_mutex_;
  std::deque<std::string> log_lines_;
  FILE* log_file_ = nullptr;
  std::atomic<std::size_t> handled_{0};
  bool owes_refusal_ = false;  // an "NP" owed to an earlier request goes out before the next answer
  mutable std::mutex wait_mutex_;
  mutable std::condition_variable wait_cv_;
};

}  // namespace karvex::sim
