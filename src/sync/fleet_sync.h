#pragma once
// Sends the store's outbox to the central PostgreSQL database.
//
// Rows go in batches, in the order they were captured; each batch is one central transaction of upserts
// keyed by the machine number and the table's own key, and its outbox rows are deleted only after the
// central COMMIT. A batch that never committed is sent again by the next sync; one that committed but
// whose rows were not yet deleted (a killed sync) is sent again and changes nothing. So a server that is
// down, a connection cut mid-batch or a killed process loses and doubles nothing.
//
// A row the central database refuses (a value one of its columns does not take) stops the sync: the rows
// before it are committed, it and every row after it stay in the outbox, and the message names it.
//
// Credentials never travel in the address: an address carrying a password is refused. libpq finds the
// password in the password file (--passfile, PGPASSFILE, ~/.pgpass), a service file (PGSERVICEFILE, service=)
// or PGPASSWORD. TLS is used as the address's sslmode asks.
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace karvex {
class StoreConnection;
}

namespace karvex::sync {

struct SyncSettings {
    // A PostgreSQL URL (postgresql://user@host:port/db?sslmode=require) or key=value text (service=central).
    std::string address;
    // A password file in the format of ~/.pgpass; empty: libpq's own search.
    std::string passwordFile;
    int batchRows = 2000;
    // The key of the store a worker opens on its own (SyncWorker); empty: the built-in key.
    std::string storeKey;
    // Called after each committed batch with the rows sent so far in this run (tests stop the server here).
    std::function<void(std::int64_t sent)> afterBatch;
};

// libpq's connection parameters for the address, with the password file added; `shown` is what may be
// printed or logged of it (user, host, port, database, TLS mode; never a password). 0 or kSyncBadAddress.
std::int32_t ParseCentralAddress(const SyncSettings& settings, std::vector<std::pair<std::string, std::string>>& params,
                                 std::string& shown, std::string& why);

struct SyncStatus {
    std::int64_t waiting = 0;  // outbox rows not yet committed centrally
    std::string central;       // the address of the last attempt, as ParseCentralAddress shows it
    std::string lastSuccess;   // UTC, ISO 8601; empty: never
    std::string lastAttempt;
    std::int32_t lastCode = 0;
    std::string lastError;
    int failures = 0;  // failed attempts since the last success
    std::int64_t rowsSent = 0;
};

// How long to wait before the next attempt: `period` after a success, then doubling with every failure
// in a row, never more than `cap`.
std::chrono::milliseconds NextAttemptDelay(int failures, std::chrono::milliseconds period,
                                           std::chrono::milliseconds cap);

// Creates the central schema, or brings it up to this program's version. kSyncSchemaMismatch when the
// database is at a newer version than this program knows.
std::int32_t InitCentral(const SyncSettings& settings, std::string& message);

class FleetSync {
public:
    // `store` is an open writer's connection to the store file.
    explicit FleetSync(StoreConnection& store) : store_(store) {}

    // Sends everything waiting. 0 when the outbox is empty at the end. The outcome is kept in the store's
    // sync state (ReadStatus). `sent` counts the rows committed centrally in this run.
    std::int32_t Push(const SyncSettings& settings, std::int64_t* sent = nullptr);
    std::int32_t ReadStatus(SyncStatus& status);
    const std::string& LastErrorText() const { return error_; }

private:
    std::int32_t Fail(std::int32_t code, std::string text);
    std::int32_t Record(std::int32_t code, const std::string& central);

    StoreConnection& store_;
    std::string error_;
};

}  // namespace karvex::sync
