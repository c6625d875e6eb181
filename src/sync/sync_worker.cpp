#include "sync/sync_worker.h"

#include "store/store_connection.h"
#include "store/store_codes.h"

namespace karvex::sync {

SyncWorker::SyncWorker(std::filesystem::path storeFile, SyncSettings settings, std::chrono::milliseconds period,
                       std::chrono::milliseconds cap)
    : storeFile_(std::move(storeFile)), settings_(std::move(settings)), period_(period), cap_(cap) {}

SyncWorker::~SyncWorker() { Stop(); }

void SyncWorker::Start() {
    if (thread_.joinable()) return;
    {
        std::lock_guard lock(mutex_);
        stop_ = false;
        status_.running = true;
        next_ = std::chrono::steady_clock::now();
    }
    thread_ = std::thread([this] { Run(); });
}

void SyncWorker::Stop() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    std::lock_guard lock(mutex_);
    status_.running = false;
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
        std::int32_t rc = store.IsOpen() ? result::kSuccess
                                         : store.Open(storeFile_, settings_.storeKey.empty() ? BuiltInStoreKey()
                                                                                             : settings_.storeKey);
        if (rc == result::kSuccess) {
            FleetSync fleet(store);
            rc = fleet.Push(settings_);
            fleet.ReadStatus(status);
        } else {
            status.lastCode = rc;
            status.lastError = store.LastErrorText();
        }
        if (rc != result::kSuccess) store.Close();  // a store connection in trouble is opened afresh
        std::lock_guard lock(mutex_);
        status.failures = rc == result::kSuccess ? 0 : std::max(status.failures, status_.last.failures + 1);
        status_.last = status;
        next_ = std::chrono::steady_clock::now() + NextAttemptDelay(status.failures, period_, cap_);
    }
}

}  // namespace karvex::sync
