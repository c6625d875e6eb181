#pragma once
// The figures of a multi-packet answer's progress: frames received, the total the processor announces,
// the rate since the first frame and the time left. Pure bookkeeping with the clock handed in, so that the
// figures can be checked without waiting.
#include <chrono>
#include <string>

#include "karvex/fiscal.h"

namespace karvex {

class PacketProgress {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    // The processor's packets-to-follow byte holds at this while more remain.
    static constexpr int kFollowCap = 255;

    // A frame of the answer came: `received` counts it (1 for the first, which starts a new answer),
    // `packetsToFollow` is its byte.
    Progress Frame(const std::string& label, int received, int packetsToFollow, TimePoint now);
    // The answer ended; `Active` is false afterwards.
    Progress Done();
    bool Active() const { return active_; }

private:
    bool active_ = false;
    TimePoint first_{};
    Progress last_;
};

}  // namespace karvex
