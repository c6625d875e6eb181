#include "link/frame_receiver.h"

namespace karvex {

bool FrameReceiver::IsPair(std::uint8_t a, std::uint8_t b) {
    return (a == 'O' && b == 'K') || (a == 'E' && b == 'R') || (a == 'N' && b == 'P') || (a == 'W' && b == 'T');
}

void FrameReceiver::Reset() {
    state_ = RxState::Idle;
    buffer_.clear();
    need_ = 0;
}

void FrameReceiver::Feed(const std::uint8_t* data, std::size_t size) {
    std::size_t i = 0;
    while (i < size || (state_ == RxState::WaitBody && need_ == 0)) {
        switch (state_) {
        case RxState::Idle:
            // The first byte after idle always opens a frame, whatever it is; WaitSecond judges it.
            buffer_.assign(1, data[i++]);
            state_ = RxState::WaitSecond;
            break;
        case RxState::Resync: {
            std::uint8_t b = data[i++];
            if (IsLetter(b)) {
                buffer_.assign(1, b);
                state_ = RxState::WaitSecond;
            } else {
                ++skipped_;
            }
            break;
        }
        case RxState::WaitSecond: {
            if (!IsLetter(buffer_[0])) {
                ++skipped_;
                state_ = RxState::Resync;
                break;
            }
            std::uint8_t b = data[i++];
            if (!IsPair(buffer_[0], b)) {
                // The second byte is dropped with the first, not re-examined as a possible first letter.
                skipped_ += 2;
                state_ = RxState::Resync;
                break;
            }
            buffer_.push_back(b);
            state_ = RxState::WaitLength;
            need_ = 2;
            break;
        }
        case RxState::WaitLength: {
            std::size_t take = std::min(need_, size - i);
            buffer_.insert(buffer_.end(), data + i, data + i + take);
            i += take;
            need_ -= take;
            if (need_ > 0) break;
            if (buffer_[3] < 2) {
                skipped_ += buffer_.size();
                state_ = RxState::Resync;
                break;
            }
            // L counts the bytes before the CRC and four of them are already here: L - 4 payload bytes
            // and 2 CRC bytes remain.
            need_ = static_cast<std::size_t>(buffer_[3]) - 2;
            state_ = RxState::WaitBody;
            break;
        }
        case RxState::WaitBody: {
            std::size_t take = std::min(need_, size - i);
            buffer_.insert(buffer_.end(), data + i, data + i + take);
            i += take;
            need_ -= take;
            if (need_ > 0) break;
            ReceivedFrame frame;
            frame.bytes = std::move(buffer_);
            buffer_.clear();
            frame.packetsToFollow = frame.bytes[2];
            frame.length = frame.bytes[3];
            bool wait = frame.IsWait();
            state_ = RxState::Resync;
            bool more = handler_(frame);
            if (wait) break;
            if (!more) {
                // The answer is complete: whatever else is buffered is dropped, as the input buffer was
                // emptied; the next byte opens a new frame.
                Reset();
                return;
            }
            // The handler may have reset us (e.g. the port closed while handling the frame).
            if (state_ == RxState::Idle) return;
            break;
        }
        }
    }
}

}  // namespace karvex
