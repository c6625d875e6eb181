#include "control/line_recovery.h"

#include <algorithm>

namespace karvex {

LineRecovery::LineRecovery(Hooks hooks, QObject* parent) : QObject(parent), hooks_(std::move(hooks)) {
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &LineRecovery::Attempt);
}

void LineRecovery::SetPollInterval(std::chrono::milliseconds poll) {
    poll_ = std::max(poll, std::chrono::milliseconds(1));
}

void LineRecovery::Start() {
    if (timer_.isActive()) return;
    failedOpens_ = 0;
    timer_.start(poll_);
}

void LineRecovery::Stop() {
    timer_.stop();
    failedOpens_ = 0;
}

void LineRecovery::Attempt() {
    // A missing device costs one stat a poll: it is looked for at the same pace until it comes back.
    if (hooks_.devicePresent && !hooks_.devicePresent()) {
        timer_.start(poll_);
        return;
    }
    if (hooks_.reopen && hooks_.reopen() != 0) {
        ++failedOpens_;
        const int factor = 1 << std::min(failedOpens_, 4);
        timer_.start(poll_ * factor);
        return;
    }
    failedOpens_ = 0;
    if (hooks_.restored) hooks_.restored();
}

}  // namespace karvex
