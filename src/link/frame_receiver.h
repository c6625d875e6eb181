#pragma once
// Assembles answer frames from the processor's byte stream.
//
// The states follow the way the processor's answers were always read: a first byte starts a frame, the
// status letters must be one of "OK", "ER", "NP", "WT", the length byte decides how much more to read, and
// anything else is skipped one byte at a time until the next O, E, N or W. The class only sees bytes; the
// serial port and the timers drive it, so it can be tested on its own.
#include <cstddef>
#include <cstdint>
#include <functional>

#include "convert/bytes.h"

namespace karvex {

enum class RxState { Idle, WaitSecond, WaitLength, WaitBody, Resync };

struct ReceivedFrame {
    Bytes bytes;  // the whole frame: letters, packets to follow, length, payload, CRC
    std::uint8_t packetsToFollow = 0;
    std::uint8_t length = 0;  // frame byte 3: bytes before the CRC
    bool IsWait() const { return bytes.size() >= 2 && bytes[0] == 'W' && bytes[1] == 'T'; }
};

class FrameReceiver {
public:
    // Decides what happens after a completed frame: return true to keep reading for more packets of the
    // same answer (the receiver goes to Resync), false to stop (the receiver drops whatever else is
    // buffered and goes idle, as emptying the port's input buffer did).
    using FrameHandler = std::function<bool(const ReceivedFrame&)>;

    explicit FrameReceiver(FrameHandler handler) : handler_(std::move(handler)) {}

    // Feeds bytes as they arrive from the port. Completed "WT" frames are handed over too (the driver
    // restarts its time-out on them) and the receiver always goes on reading after one.
    void Feed(const std::uint8_t* data, std::size_t size);
    void Feed(const Bytes& data) { Feed(data.data(), data.size()); }

    // Back to idle, dropping a partly assembled frame (time-out, port closed, new command).
    void Reset();

    RxState State() const { return state_; }
    // Bytes skipped as line noise so far (for diagnostics).
    std::size_t SkippedBytes() const { return skipped_; }

private:
    static bool IsLetter(std::uint8_t b) { return b == 'O' || b == 'E' || b == 'N' || b == 'W'; }
    static bool IsPair(std::uint8_t a, std::uint8_t b);

    FrameHandler handler_;
    RxState state_ = RxState::Idle;
    Bytes buffer_;
    std::size_t need_ = 0;
    std::size_t skipped_ = 0;
};

}  // namespace karvex
