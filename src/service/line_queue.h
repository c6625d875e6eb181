#pragma once
// The one serial line serves many clients: every request that uses it becomes a job, and the jobs run one
// at a time in the order they came, on the control's thread. A job waits for its command inside the event
// loop, so requests that only read go on being answered meanwhile; a job that arrives then waits its turn,
// and the next job starts from the outer loop once the running one has returned.
#include <QObject>

#include <deque>
#include <functional>

namespace karvex::service {

class LineQueue : public QObject {
    Q_OBJECT
public:
    explicit LineQueue(QObject* parent = nullptr);
    void Enqueue(std::function<void()> job);
    // Jobs waiting, without the one running.
    int Waiting() const { return static_cast<int>(jobs_.size()); }
    bool Running() const { return running_; }

private:
    void Schedule();
    void RunNext();

    std::deque<std::function<void()>> jobs_;
    bool running_ = false;
};

}  // namespace karvex::service
