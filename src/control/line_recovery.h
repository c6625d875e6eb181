#pragma once
// Brings the serial line back by itself after its device went away (a pulled USB adapter, a processor
// switched off with its adapter) or could not be opened at all: the device is looked for every poll
// interval and, once it is there, opened; a device that is there but will not open is tried again with a
// growing pause, so that a broken adapter does not keep the system busy.
#include <QObject>
#include <QTimer>
#include <chrono>
#include <functional>

namespace karvex {

class LineRecovery : public QObject {
    Q_OBJECT
public:
    struct Hooks {
        std::function<bool()> devicePresent;  // the device node exists
        std::function<int()> reopen;          // 0 when the line is open again; any other code to try later
        std::function<void()> restored;       // after a reopen, on this thread (bring the processor on line)
    };

    explicit LineRecovery(Hooks hooks, QObject* parent = nullptr);

    // The poll interval; failed opens wait 1, 2, 4 ... up to 16 times as long.
    void SetPollInterval(std::chrono::milliseconds poll);
    std::chrono::milliseconds PollInterval() const { return poll_; }

    void Start();  // no-op while running
    void Stop();
    bool Running() const { return timer_.isActive(); }
    int FailedOpens() const { return failedOpens_; }

private:
    void Attempt();

    Hooks hooks_;
    QTimer timer_;
    std::chrono::milliseconds poll_{500};
    int failedOpens_ = 0;
};

}  // namespace karvex
