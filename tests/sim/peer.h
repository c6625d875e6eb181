// The host's end of the line in tests: opens the simulator's device like a serial port and reads answer frames
// with bounded waits.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "simulator.h"

namespace karvex::sim::testing {

class Peer {
 public:
  explicit Peer(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd_ >= 0) {
      termios tio{};
      tcgetattr(fd_, &tio);
      cfmakeraw(&tio);
      tcsetattr(fd_, TCSANOW, &tio);
    }
  }
  ~Peer() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }

  void send(const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (n > 0)
        done += static_cast<std::size_t>(n);
      else if (!wait(POLLOUT, 1000))
        return;
    }
  }

  // Reads exactly `count` bytes unless `timeout_ms` passes first; returns what arrived.
  Bytes read_exact(std::size_t count, int timeout_ms = 2000) {
    Bytes out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (out.size() < count) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0 || !wait(POLLIN, static_cast<int>(left))) break;
      std::uint8_t b[256];
      const ssize_t n = ::read(fd_, b, std::min(sizeof b, count - out.size()));
      if (n > 0) out.insert(out.end(), b, b + n);
    }
    return out;
  }

  // One answer frame: four head bytes, then the rest that the length byte announces. Empty on time-out.
  Bytes read_frame(int timeout_ms = 2000) {
    Bytes head = read_exact(4, timeout_ms);
    if (head.size() < 4) return {};
    Bytes rest = read_exact(head[3] + 2u - 4u, timeout_ms);
    head.insert(head.end(), rest.begin(), rest.end());
    return head;
  }

  // Every byte that arrives until the line has been quiet for `quiet_ms`.
  Bytes drain(int quiet_ms = 100) {
    Bytes out;
    while (wait(POLLIN, quiet_ms)) {
      std::uint8_t b[256];
      const ssize_t n = ::read(fd_, b, sizeof b);
      if (n <= 0) break;
      out.insert(out.end(), b, b + n);
    }
    return out;
  }

  // Reads frames of one answer until one with packets-to-follow 0 arrives.
  std::vector<Bytes> read_answer(int timeout_ms = 2000) {
    std::vector<Bytes> frames;
    while (true) {
      Bytes f = read_frame(timeout_ms);
      if (f.size() < 6) break;
      frames.push_back(f);
      if (f[2] == 0) break;
    }
    return frames;
  }

 private:
  bool wait(short events, int timeout_ms) {
    pollfd p{fd_, events, 0};
    return ::poll(&p, 1, timeout_ms) > 0 && (p.revents & events);
  }
  int fd_ = -1;
};

}  // namespace karvex::sim::testing
