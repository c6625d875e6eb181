#include "sync/sync_worker.h"

#include <ctime>
#include <exception>

#include "store/store_codes.h"
#include "store/store_connection.h"

namespace karvex::sync {

SyncWorker::SyncWorker(std::filesystem::path storeFile, SyncSettings settings, WorkerTiming timing)
    : storeFile_(std::move(storeFile)),
      settings_(std::move(settings)),
      timing_(timing),
      random_(std::random_device{}()) {
    settings_.stop = &stopping_;
}

SyncWorker::~SyncWorker() { Stop(); }

void SyncWorker::Start() {
    if (thread_.joinable()) return;
    {
        std::lock_guard lock(mutex_);
        stop_ = false;
        stopping_ = false;
        status_.running = true;
        next_ = std::chrono::steady_clock::now();
        nextHeartbeat_ = next_;
    }
    thread_ = std::thread([this] { Run(); });
}

void SyncWorker::RequestStop() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        stopping_ = true;
    }
    wake_.notify_all();
}

void SyncWorker::Stop() {
    RequestStop();
    if (thread_.joinable()) thread_.join();
    std::lock_guard lock(mutex_);
    status_.running = false;
    status_.underWay = false;
}

WorkerStatus SyncWorker::Snapshot() const {
    std::lock_guard lock(mutex_);
    WorkerStatus s = status_;
    const auto left = next_ - std::chrono::steady_clock::now();
    s.nextAttempt = std::max(std::chrono::milliseconds(0), std::chrono::duration_cast<std::chrono::milliseconds>(left));
    return s;
}

void SyncWorker::Run() {
    StoreConnection store;
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            wake_.wait_until(lock, next_, [this] { return stop_; });
            if (stop_) return;
        }
        SyncStatus status;
        std::string warning;
        bool contacted = false;
        std::int32_t rc = store.IsOpen() ? result::kSuccess
                                         : store.Open(storeFile_, settings_.storeKey.empty() ? BuiltInStoreKey()
                                                                                             : settings_.storeKey);
        if (rc == result::kSuccess) {
            FleetSync fleet(store);
            fleet.ReadStatus(status);
            const auto now = std::chrono::steady_clock::now();
            // Nothing waiting and the last attempt fine: no connection until the heartbeat is due.
            const bool quiet =
                status.waiting == 0 && status.lastCode == 0 && status_.last.failures == 0 && now < nextHeartbeat_;
            if (!quiet) {
                {
                    std::lock_guard lock(mutex_);
                    status_.underWay = true;
                    status_.attemptSince = NowUtc();
                    ++status_.attempts;
                }
                try {
                    rc = fleet.Push(settings_);
                } catch (const std::exception&) {
                    // FleetSync keeps its own failures in codes; this is the last guard of the thread.
                    rc = result::kExecutionFailed;
                }
                contacted = rc == result::kSuccess;
                warning = fleet.Warning();
                fleet.ReadStatus(status);
                if (contacted) nextHeartbeat_ = std::chrono::steady_clock::now() + timing_.heartbeat;
            }
        } else {
            status.lastCode = rc;
            status.lastError = store.LastErrorText();
        }
        // A store connection in trouble is opened afresh; the centre's troubles are not the store's, and
        // reopening (the open steps, the key) after every failed attempt of a fleet cut off costs the
        // register more than the attempt.
        const bool central = (rc >= result::kSyncConnectFailed && rc <= result::kSyncServerRefused) ||
                             (rc >= result::kSyncTimedOut && rc <= result::kSyncBadRegister);
        if (rc != result::kSuccess && !central) store.Close();
        std::lock_guard lock(mutex_);
        status.failures = rc == result::kSuccess ? 0 : std::max(status.failures, status_.last.failures + 1);
        status.underWay = false;
        status_.last = status;
        ++status_.rounds;
        status_.underWay = false;
        status_.warning = warning.empty() && !contacted ? status_.warning : warning;
        if (contacted) status_.lastContact = NowUtc();
        const double jitter = std::uniform_real_distribution<double>(0.0, 1.0)(random_);
        next_ =
            std::chrono::steady_clock::now() + NextAttemptDelay(status.failures, timing_.period, timing_.cap, jitter);
    }
}

}  // namespace karvex::sync
