#include "control/packet_progress.h"

#include <cmath>

namespace karvex {

Progress PacketProgress::Frame(const std::string& label, int received, int packetsToFollow, TimePoint now) {
    if (received <= 1 || !active_) {
        active_ = true;
        first_ = now;
    }
    Progress p;
    p.label = QString::fromStdString(label);
    p.received = received;
    p.total = received + packetsToFollow;
    const double seconds = std::chrono::duration<double>(now - first_).count();
    // The first frame only starts the clock: the processor's time to prepare the answer is not a rate.
    if (received > 1 && seconds > 0) {
        p.framesPerSecond = (received - 1) / seconds;
        p.secondsLeft = static_cast<int>(std::ceil(packetsToFollow / p.framesPerSecond));
    }
    last_ = p;
    return p;
}

Progress PacketProgress::Done() {
    active_ = false;
    Progress p = last_;
    p.done = true;
    p.secondsLeft = 0;
    if (p.total < p.received) p.total = p.received;
    last_ = Progress{};
    return p;
}

}  // namespace karvex
