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
// or PGPASSWORD. TLS is used as the address's sslmode asks; an address that does not say is given
// verify-full for any host that is not this machine, and a sync that runs in clear over the network says so.
//
// The store is only read while the central server works: its writer's lock is never taken, and the local
// transaction that removes a committed batch from the outbox waits its turn like any writer's (it deletes
// at most one batch of rows). One sync per store at a time: a lock file of its own beside the store.
//
// Nothing the central server answers is trusted: every answer is checked for its status, its rows and its
// NULLs before it is read, and a server that does not answer within the time limits loses the connection;
// either ends the attempt with a result code.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
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

    // Time limits. The server ends a statement or a lock wait that takes longer (statement_timeout,
    // lock_timeout); the client gives up the connection when no answer came `answerGrace` after the
    // statement's limit, which ends an attempt even when the server's process hangs. A connection whose
    // peer vanished is noticed by TCP keepalives within idle + interval x count seconds.
    std::chrono::milliseconds connectTimeout{10000};
    std::chrono::milliseconds statementTimeout{30000};
    std::chrono::milliseconds lockTimeout{10000};
    std::chrono::milliseconds answerGrace{5000};
    int keepaliveIdle = 30, keepaliveInterval = 10, keepaliveCount = 3;
    // Set by another thread to end the attempt under way; seen within 50 ms of any wait on the server.
    const std::atomic<bool>* stop = nullptr;
    // A batch holding at least this many rows of one table goes through COPY into a staging table (a
    // register's first sync); smaller ones as one statement.
    int copyFromRows = 500;
    // Looks a host name up into its addresses (ResolveHost; tests give one that hangs). It runs in a thread
    // of its own, waited for within connectTimeout and a stop.
    std::function<std::vector<std::string>(const std::string& host)> resolve;
};

// The addresses of a host name as the system's resolver has them (at most 8); empty when it finds none.
std::vector<std::string> ResolveHost(const std::string& host);

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
    bool underWay = false;  // a sync of this store is running now
};

// How long to wait before the next attempt: `period` after a success, then doubling with every failure
// in a row, never more than `cap`. After a failure the delay is spread over its upper half by `jitter`
// (0..1, drawn by the caller) so that registers cut off by one outage do not all come back at once.
std::chrono::milliseconds NextAttemptDelay(int failures, std::chrono::milliseconds period,
                                           std::chrono::milliseconds cap, double jitter = 1.0);

// Creates the central schema, or brings it up to this program's version. kSyncSchemaMismatch when the
// database is at a newer version than this program knows.
std::int32_t InitCentral(const SyncSettings& settings, std::string& message);

// As the central schema's owner: lets `login` (a PostgreSQL role, made when missing, without a password)
// sync as the register `machine`, and as nothing else: it may write and read only rows of that machine
// number. kSyncBadRegister for a login or machine number that cannot be used.
std::int32_t AddRegister(const SyncSettings& settings, const std::string& login, const std::string& machine,
                         std::string& message);

// The present moment in UTC as the status and the central rows show it: "2026-12-07T12:00:00Z".
std::string NowUtc();

// Whether a sync of the store file is running now (in any process).
bool SyncUnderWay(const std::filesystem::path& storeFile);

class FleetSync {
public:
    // `store` is an open writer's connection to the store file.
    explicit FleetSync(StoreConnection& store) : store_(store) {}

    // Sends everything waiting. 0 when the outbox is empty at the end. The outcome is kept in the store's
    // sync state (ReadStatus). `sent` counts the rows committed centrally in this run.
    std::int32_t Push(const SyncSettings& settings, std::int64_t* sent = nullptr);
    std::int32_t ReadStatus(SyncStatus& status);
    const std::string& LastErrorText() const { return error_; }
    // Set when the last push ran unencrypted to a host that is not this machine; empty otherwise.
    const std::string& Warning() const { return warning_; }

private:
    std::int32_t Fail(std::int32_t code, std::string text);
    std::int32_t Record(std::int32_t code, const std::string& central);

    StoreConnection& store_;
    std::string error_;
    std::string warning_;
};

}  // namespace karvex::sync
