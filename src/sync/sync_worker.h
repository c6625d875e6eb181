#pragma once
// The background sync of a service: a thread of its own with its own connection to the store file sends the
// outbox every `period`, and after failed attempts waits longer and longer (NextAttemptDelay) so that a
// central server that is down is not hammered by every register at once. The central server's slowness
// never holds up the service's own thread.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "sync/fleet_sync.h"

namespace karvex::sync {

struct WorkerStatus {
    SyncStatus last;                          // as the store's sync state has it after the last attempt
    std::chrono::milliseconds nextAttempt{};  // from the moment the snapshot was taken
    bool running = false;
};

class SyncWorker {
public:
    // `storeFile` is a store some writer of this process holds (the worker does not take the store's lock).
    SyncWorker(std::filesystem::path storeFile, SyncSettings settings,
               std::chrono::milliseconds period = std::chrono::seconds(5),
               std::chrono::milliseconds cap = std::chrono::minutes(5));
    // Stops and joins the thread.
    ~SyncWorker();
    SyncWorker(const SyncWorker&) = delete;
    SyncWorker& operator=(const SyncWorker&) = delete;

    void Start();
    // Ends the attempt under way (after its batch) and the thread; the store file is then free to compact.
    void Stop();
    WorkerStatus Snapshot() const;

private:
    void Run();

    std::filesystem::path storeFile_;
    SyncSettings settings_;
    std::chrono::milliseconds period_, cap_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    WorkerStatus status_;
    std::chrono::steady_clock::time_point next_{};
    std::thread thread_;
};

}  // namespace karvex::sync
