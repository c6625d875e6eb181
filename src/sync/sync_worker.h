#pragma once
// The background sync of a service: a thread of its own with its own connection to the store file sends the
// outbox every `period`, and after failed attempts waits longer and longer (NextAttemptDelay, with jitter)
// so that a central server that is down is not hammered by every register at once. The central server's
// slowness never holds up the service's own thread, and Stop() ends an attempt under way within a fraction
// of a second whatever the server does.
//
// Quiet when there is nothing to say: with an empty outbox no connection is made, except a heartbeat every
// `heartbeat` (which moves the register's last_seen centrally), so an idle fleet costs the centre nothing.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "sync/fleet_sync.h"

namespace karvex::sync {

struct WorkerStatus {
    SyncStatus last;                          // as the store's sync state has it after the last attempt
    std::chrono::milliseconds nextAttempt{};  // from the moment the snapshot was taken
    bool running = false;
    bool underWay = false;      // an attempt is running now (last shows the one before it)
    std::string attemptSince;   // UTC, when the attempt under way began
    std::string lastContact;    // UTC, the last attempt that reached the centre, rows or heartbeat
    std::int64_t attempts = 0;  // connections made since Start, heartbeats included
    std::int64_t rounds = 0;    // times the worker looked at the outbox since Start
    std::string warning;        // the last attempt ran in clear over the network
};

struct WorkerTiming {
    std::chrono::milliseconds period = std::chrono::seconds(5);
    std::chrono::milliseconds cap = std::chrono::minutes(5);
    std::chrono::milliseconds heartbeat = std::chrono::minutes(15);
};

class SyncWorker {
public:
    // `storeFile` is a store some writer of this process holds (the worker does not take the store's lock).
    SyncWorker(std::filesystem::path storeFile, SyncSettings settings, WorkerTiming timing = {});
    SyncWorker(std::filesystem::path storeFile, SyncSettings settings, std::chrono::milliseconds period,
               std::chrono::milliseconds cap = std::chrono::minutes(5))
        : SyncWorker(std::move(storeFile), std::move(settings), WorkerTiming{period, cap}) {}
    // Stops and joins the thread.
    ~SyncWorker();
    SyncWorker(const SyncWorker&) = delete;
    SyncWorker& operator=(const SyncWorker&) = delete;

    void Start();
    // Ends the attempt under way (its uncommitted batch stays in the outbox) and the thread; the store file
    // is then free to compact.
    void Stop();
    // Asks the thread to end without waiting for it (many workers are stopped together this way; Stop
    // then joins each).
    void RequestStop();
    WorkerStatus Snapshot() const;

private:
    void Run();

    std::filesystem::path storeFile_;
    SyncSettings settings_;
    WorkerTiming timing_;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    WorkerStatus status_;
    std::chrono::steady_clock::time_point next_{};
    std::chrono::steady_clock::time_point nextHeartbeat_{};
    std::minstd_rand random_;
    std::thread thread_;
};

}  // namespace karvex::sync
