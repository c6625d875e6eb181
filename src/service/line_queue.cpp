#include "service/line_queue.h"

#include <QTimer>

namespace karvex::service {

LineQueue::LineQueue(QObject* parent) : QObject(parent) {}

void LineQueue::Enqueue(std::function<void()> job) {
    jobs_.push_back(std::move(job));
    Schedule();
}

void LineQueue::Schedule() {
    if (!running_ && !jobs_.empty()) QTimer::singleShot(0, this, &LineQueue::RunNext);
}

void LineQueue::RunNext() {
    // A turn posted while a job waits inside the event loop comes back here; the running job starts the
    // next one when it is done.
    if (running_ || jobs_.empty()) return;
    running_ = true;
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    job();
    running_ = false;
    Schedule();
}

}  // namespace karvex::service
