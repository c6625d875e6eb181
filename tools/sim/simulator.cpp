#include "simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace karvex::sim {

// ---- request framing ----

void RequestReader::feed(const std::uint8_t* data, std::size_t size, std::vector<Event>& out) {
  buffer_.insert(buffer_.end(), data, data + size);
  while (!buffer_.empty()) {
    std::size_t head = 0;
    while (head < buffer_.size() &&
           !(buffer_[head] == 0x1B && (head + 1 == buffer_.size() || buffer_[head + 1] == 0x10))) {
      ++head;
    }
    if (head > 0) {
      out.push_back({EventKind::Garbage, Bytes(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(head))});
      buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(head));
      continue;
    }
    if (buffer_.size() < 5) break;
    const std::size_t length = (static_cast<std::size_t>(buffer_[3]) << 8) | buffer_[4];
    if (length < 5 || length > 253) {
      // No frame can be that long or short: answer it and look for the next head after this one.
      out.push_back({EventKind::BadHeader, Bytes(buffer_.begin(), buffer_.begin() + 5)});
      buffer_.erase(buffer_.begin(), buffer_.begin() + 2);
      continue;
    }
    if (buffer_.size() < length + 2) break;
    out.push_back(
        {EventKind::Frame, Bytes(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(length + 2))});
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(length + 2));
  }
}

Bytes RequestReader::discard() {
  Bytes dropped;
  dropped.swap(buffer_);
  return dropped;
}

// ---- simulator ----

namespace {

speed_t speed_of(int baud) {
  switch (baud) {
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    default:
      return B0;
  }
}

bool make_raw(int fd, int baud, std::string& error) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) {
    error = std::string("tcgetattr: ") + std::strerror(errno);
    return false;
  }
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  if (baud > 0) {
    const speed_t speed = speed_of(baud);
    if (speed == B0) {
      error = "unsupported baud rate " + std::to_string(baud);
      return false;
    }
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
  }
  if (tcsetattr(fd, TCSANOW, &tio) != 0) {
    error = std::string("tcsetattr: ") + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace

Simulator::Simulator(SimOptions options) : options_(std::move(options)), noise_rng_(options_.fault_seed) {}

Simulator::~Simulator() { stop(); }

bool Simulator::start(std::string* error) {
  std::string why;
  auto fail = [&](const std::string& message) {
    if (error) *error = message;
    if (fd_ >= 0) ::close(fd_);
    if (slave_fd_ >= 0) ::close(slave_fd_);
    for (int& w : wake_) {
      if (w >= 0) ::close(w);
      w = -1;
    }
    if (log_file_) std::fclose(log_file_);
    log_file_ = nullptr;
    fd_ = slave_fd_ = -1;
    return false;
  };
  if (running_) return fail("already running");
  if (!options_.log_file.empty()) {
    log_file_ = std::fopen(options_.log_file.c_str(), "a");
    if (!log_file_) return fail("cannot open log file " + options_.log_file + ": " + std::strerror(errno));
  }

  // State: the file when it exists, otherwise a freshly seeded processor.
  Clock clock = options_.clock ? Clock::fixed(*options_.clock) : Clock();
  MachineState state;
  bool loaded = false;
  if (!options_.state_file.empty() && ::access(options_.state_file.c_str(), F_OK) == 0) {
    auto s = load_state_file(options_.state_file, why);
    if (!s) return fail(why);
    state = std::move(*s);
    loaded = true;
  }
  if (!loaded) {
    state = make_default_state();
    seed_state(state, options_.seed, clock.now().ymd());
  }
  processor_.emplace(std::move(state), clock);
  // Written at once, so that the file tells the processor's state even before a command it acts on.
  if (!options_.state_file.empty() && !loaded && !save_state(&why)) log("!! " + why);
  if (options_.replay) replay_.emplace(*options_.replay);
  for (const auto& f : options_.faults) faults_.add(f);
  if (options_.random_fault_rate > 0)
    faults_.set_random(options_.random_fault_rate, options_.fault_seed, options_.random_late_ms);

  if (options_.device.empty()) {
    fd_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (fd_ < 0) return fail(std::string("posix_openpt: ") + std::strerror(errno));
    char name[128];
    if (grantpt(fd_) != 0 || unlockpt(fd_) != 0 || ptsname_r(fd_, name, sizeof name) != 0) {
      return fail(std::string("cannot prepare the pseudo-terminal: ") + std::strerror(errno));
    }
    path_ = name;
    // Holding the slave open keeps the master alive while a peer closes and reopens the line.
    slave_fd_ = ::open(name, O_RDWR | O_NOCTTY);
    if (slave_fd_ < 0) return fail("cannot open " + path_ + ": " + std::strerror(errno));
    if (!make_raw(slave_fd_, 0, why)) return fail(why);
  } else {
    path_ = options_.device;
    fd_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd_ < 0) return fail("cannot open " + path_ + ": " + std::strerror(errno));
    if (!make_raw(fd_, options_.baud, why)) return fail(why);
  }
  ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
  if (::pipe(wake_) != 0) return fail(std::string("pipe: ") + std::strerror(errno));
  stopping_ = false;
  running_ = true;
  thread_ = std::thread([this] { run(); });
  return true;
}

void Simulator::stop() {
  if (thread_.joinable()) {
    stopping_ = true;
    { std::lock_guard lock(wait_mutex_); }
    wait_cv_.notify_all();
    const char byte = 'q';
    [[maybe_unused]] auto n = ::write(wake_[1], &byte, 1);
    thread_.join();
  }
  if (running_ && !options_.state_file.empty()) {
    std::string why;
    if (!save_state(&why)) log("!! " + why);
  }
  running_ = false;
  for (int* fd : {&fd_, &slave_fd_, &wake_[0], &wake_[1]}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
  if (log_file_) std::fclose(log_file_);
  log_file_ = nullptr;
}

MachineState Simulator::state() const {
  std::lock_guard lock(mutex_);
  return processor_ ? processor_->state() : MachineState{};
}

void Simulator::update_state(const std::function<void(MachineState&)>& change) {
  std::lock_guard lock(mutex_);
  if (processor_) change(processor_->state());
}

void Simulator::set_clock(const DateTime& at) {
  std::lock_guard lock(mutex_);
  if (processor_) processor_->clock().set(at);
  options_.clock = at;
}

DateTime Simulator::now() const {
  std::lock_guard lock(mutex_);
  return processor_ ? processor_->clock().now() : DateTime{};
}

bool Simulator::wait_handled(std::size_t count, int timeout_ms) const {
  std::unique_lock lock(wait_mutex_);
  return wait_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return handled_ >= count; });
}

std::vector<std::string> Simulator::log_lines() const {
  std::lock_guard lock(log_mutex_);
  return {log_lines_.begin(), log_lines_.end()};
}

bool Simulator::save_state(std::string* error) {
  if (options_.state_file.empty()) {
    if (error) *error = "no state file set";
    return false;
  }
  std::string why;
  bool ok;
  {
    std::lock_guard lock(mutex_);
    ok = processor_ && save_state_file(processor_->state(), options_.state_file, why);
  }
  if (!ok && error) *error = why;
  return ok;
}

void Simulator::log(const std::string& line) {
  std::lock_guard lock(log_mutex_);
  log_lines_.push_back(line);
  if (log_lines_.size() > 2000) log_lines_.pop_front();
  if (options_.log_sink) {
    options_.log_sink(line);
  } else if (log_file_) {
    std::fprintf(log_file_, "%s\n", line.c_str());
    std::fflush(log_file_);
  } else if (!options_.quiet) {
    std::fprintf(stderr, "%s\n", line.c_str());
  }
}

bool Simulator::pause(int ms) {
  if (ms <= 0) return !stopping_;
  std::unique_lock lock(wait_mutex_);
  wait_cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stopping_.load(); });
  return !stopping_;
}

// Waits until `due` (or a stop), to the microsecond the clock gives.
bool Simulator::pause_until(std::chrono::steady_clock::time_point due) {
  std::unique_lock lock(wait_mutex_);
  wait_cv_.wait_until(lock, due, [&] { return stopping_.load(); });
  return !stopping_;
}

// Writes bytes to the line, paced at the configured wire speed, or one byte per write `byte_gap_ms` apart.
// Paced bytes go out when their last bit would have arrived on a real line, not when their first bit leaves:
// the host then sees an answer complete at its wire time, and the processor is free for the next request at
// that moment, as a real one is.
bool Simulator::emit(const Bytes& bytes, int byte_gap_ms) {
  using clock = std::chrono::steady_clock;
  const auto started = clock::now();
  const std::size_t step = byte_gap_ms >= 0 ? 1 : (options_.pace_baud > 0 ? 8 : bytes.size());
  std::size_t done = 0;
  while (done < bytes.size()) {
    if (stopping_) return false;
    const std::size_t want = std::min(step, bytes.size() - done);
    if (byte_gap_ms < 0 && options_.pace_baud > 0) {
      // Ten bits per byte on an 8N1 line.
      const auto due = started + std::chrono::microseconds(static_cast<long long>(done + want) * 10 * 1000000 /
                                                           options_.pace_baud);
      if (due > clock::now() && !pause_until(due)) return false;
    }
    const ssize_t n = ::write(fd_, bytes.data() + done, want);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        log("!! write failed: " + std::string(std::strerror(errno)));
        return false;
      }
      pollfd p{fd_, POLLOUT, 0};
      ::poll(&p, 1, 50);
      continue;
    }
    done += static_cast<std::size_t>(n);
    if (byte_gap_ms > 0 && done < bytes.size() && !pause(byte_gap_ms)) return false;
  }
  return true;
}

void Simulator::run() {
  RequestReader reader;
  std::vector<RequestReader::Event> events;
  std::uint8_t buffer[512];
  auto last_byte = std::chrono::steady_clock::now();
  while (!stopping_) {
    int timeout = -1;
    if (reader.partial()) {
      const auto idle =
          std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - last_byte).count();
      timeout = std::max<int>(0, options_.request_timeout_ms - static_cast<int>(idle));
    }
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    const int ready = ::poll(fds, 2, timeout);
    if (stopping_) break;
    if (ready < 0) {
      if (errno == EINTR) continue;
      log("!! poll failed: " + std::string(std::strerror(errno)));
      break;
    }
    if (ready == 0) {
      if (reader.partial()) {
        const Bytes dropped = reader.discard();
        log("<< " + hex_spaced(dropped) + "  ; incomplete request");
        answer(0xFF, {er_frame(code::BadLength)}, {});
      }
      continue;
    }
    if (fds[0].revents & (POLLHUP | POLLERR)) {
      // Only reachable on a serial device that went away, or a pty whose slave we no longer hold.
      if (!(fds[0].revents & POLLIN)) {
        if (!pause(20)) break;
        continue;
      }
    }
    if (!(fds[0].revents & POLLIN)) continue;
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n <= 0) {
      if (n < 0 && (errno == EAGAIN || errno == EINTR || errno == EIO)) {
        if (errno == EIO && !pause(20)) break;
        continue;
      }
      if (!pause(20)) break;
      continue;
    }
    last_byte = std::chrono::steady_clock::now();
    events.clear();
    reader.feed(buffer, static_cast<std::size_t>(n), events);
    for (const auto& ev : events) {
      switch (ev.kind) {
        case RequestReader::EventKind::Garbage:
          log("<< " + hex_spaced(ev.bytes) + "  ; skipped");
          break;
        case RequestReader::EventKind::BadHeader:
          log("<< " + hex_spaced(ev.bytes) + "  ; impossible length");
          answer(ev.bytes[2], {er_frame(code::BadLength)}, {});
          break;
        case RequestReader::EventKind::Frame:
          serve(ev.bytes);
          break;
      }
      if (stopping_) break;
    }
  }
}

std::size_t Simulator::replay_requests() const {
  std::lock_guard lock(mutex_);
  return replay_ ? replay_->requests() : 0;
}

std::size_t Simulator::replay_mismatches() const {
  std::lock_guard lock(mutex_);
  return replay_ ? replay_->mismatches() : 0;
}

std::size_t Simulator::replay_remaining() const {
  std::lock_guard lock(mutex_);
  return replay_ ? replay_->remaining() : 0;
}

void Simulator::serve_replay(const Bytes& request) {
  Replay::Step step;
  {
    std::lock_guard lock(mutex_);
    step = replay_->next(request);
  }
  if (!step.recorded) {
    log(";; replay: request " + std::to_string(replay_requests()) + " was never recorded; no answer");
  } else if (!step.matched) {
    log(";; replay: request " + std::to_string(replay_requests()) + " differs from the recorded " +
        hex_spaced(step.expected));
  }
  for (const auto& fragment : step.answer) {
    if (!options_.replay_fast && !pause(fragment.delay_ms)) return;
    log(">> " + hex_spaced(fragment.bytes));
    if (!emit(fragment.bytes)) return;
  }
  {
    std::lock_guard lock(wait_mutex_);
    ++handled_;
  }
  wait_cv_.notify_all();
}

void Simulator::serve(const Bytes& request) {
  log("<< " + hex_spaced(request));
  if (replay_) {
    serve_replay(request);
    return;
  }
  const std::uint8_t command = request[2];
  if (owes_refusal_) {
    owes_refusal_ = false;
    const Bytes np = answer_frame('N', 'P', 0, {});
    log(">> " + hex_spaced(np) + "  ; owed to the request before");
    if (!emit(np)) return;
  }
  const std::vector<Fault> faults = faults_.take(command);
  std::vector<Bytes> frames;
  if (!FaultPlan::stops_processor(faults)) {
    {
      std::lock_guard lock(mutex_);
      frames = processor_->handle(request);
    }
    // What the processor did is kept before its answer goes out, as the real unit's memory keeps an invoice
    // whose answer never reaches the host: a simulator stopped or killed while answering late still has it.
    if (!options_.state_file.empty()) {
      std::string why;
      if (!save_state(&why)) log("!! " + why);
    }
  }
  answer(command, std::move(frames), faults);
}

void Simulator::answer(std::uint8_t command, std::vector<Bytes> frames, const std::vector<Fault>& faults) {
  int wait_frames = 0, wait_delay = 0, noise = 0, gap = 0, slow = -1, cut = -1;
  bool lost = false, dropped = false;
  for (const auto& f : faults) {
    log(";; fault " + describe_fault(f));
    switch (f.kind) {
      case FaultKind::Error:
        frames = {er_frame(static_cast<std::uint8_t>(f.arg))};
        break;
      case FaultKind::NotReady:
        frames = {answer_frame('N', 'P', 0, {})};
        break;
      case FaultKind::Wait:
        wait_frames += f.arg >= 0 ? f.arg : 1;
        wait_delay = f.delay_ms;
        break;
      case FaultKind::Lost:
        lost = true;
        break;
      case FaultKind::Drop:
        dropped = true;
        break;
      case FaultKind::Cut:
        cut = f.arg >= 0 ? f.arg : 0;
        break;
      case FaultKind::Noise:
        noise += f.arg >= 0 ? f.arg : 3;
        break;
      case FaultKind::BadCrc: {
        const std::size_t at = static_cast<std::size_t>(f.arg >= 0 ? f.arg : 0);
        if (at < frames.size()) frames[at].back() ^= 0xFF;
        break;
      }
      case FaultKind::BadLength: {
        const std::size_t at = static_cast<std::size_t>(f.arg >= 0 ? f.arg : 0);
        if (at < frames.size()) {
          Bytes& fr = frames[at];
          Bytes payload(fr.begin() + 4, fr.end() - 2);
          if (payload.empty())
            payload.push_back(0x00);
          else
            payload.pop_back();
          fr = answer_frame(static_cast<char>(fr[0]), static_cast<char>(fr[1]), fr[2], payload);
        }
        break;
      }
      case FaultKind::PacketDelay:
        gap = f.arg >= 0 ? f.arg : 100;
        break;
      case FaultKind::Slow:
        slow = f.arg >= 0 ? f.arg : 1;
        break;
      case FaultKind::Late:
        if (!pause(f.arg >= 0 ? f.arg : 100)) return;
        break;
      case FaultKind::Owed:
        lost = true;
        owes_refusal_ = true;
        break;
    }
  }
  if (dropped) {
    log(";; request lost, the processor did not act");
  } else if (!lost) {
    if (noise > 0) {
      Bytes junk;
      while (static_cast<int>(junk.size()) < noise) {
        // Noise never holds a status letter, so a receiver can always resynchronise on the frame after it.
        const auto b = static_cast<std::uint8_t>(noise_rng_());
        if (b != 'O' && b != 'E' && b != 'N' && b != 'W') junk.push_back(b);
      }
      log(">> " + hex_spaced(junk) + "  ; noise");
      if (!emit(junk, slow)) return;
    }
    for (int i = 0; i < wait_frames; ++i) {
      const Bytes wt = answer_frame('W', 'T', 0, {});
      log(">> " + hex_spaced(wt));
      if (!emit(wt, slow) || !pause(wait_delay)) return;
    }
    for (std::size_t i = 0; i < frames.size(); ++i) {
      if (i > 0 && gap > 0 && !pause(gap)) return;
      if (cut >= 0 && static_cast<std::size_t>(cut) == i) {
        const Bytes half(frames[i].begin(), frames[i].begin() + static_cast<std::ptrdiff_t>(frames[i].size() / 2));
        log(">> " + hex_spaced(half) + "  ; cut off");
        emit(half, slow);
        break;
      }
      log(">> " + hex_spaced(frames[i]));
      if (!emit(frames[i], slow)) return;
    }
  } else {
    log(";; no answer");
  }
  (void)command;
  {
    std::lock_guard lock(wait_mutex_);
    ++handled_;
  }
  wait_cv_.notify_all();
}

}  // namespace karvex::sim
