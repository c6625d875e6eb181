#pragma once
// One keyed connection to the encrypted store file. Record sets and the store access layer share
// it, so that everything written for one answer can sit in one transaction.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "store/store_key.h"

struct sqlite3;
struct sqlite3_stmt;

namespace karvex {

// The key a store is encrypted with when the installation gives none of its own (KARVEX_STORE_KEY).
std::string BuiltInStoreKey();

class StoreConnection {
public:
    StoreConnection() = default;
    ~StoreConnection();
    StoreConnection(const StoreConnection&) = delete;
    StoreConnection& operator=(const StoreConnection&) = delete;

    // Opens (or creates) the file with the key, checks that the key reads it, and runs the open steps
    // (open_steps.h: every table of the schema, the one ComSet row, and whatever else is created when missing). Returns
    // 0, or result::kStoreOpenFailed / an engine code with the reason in LastErrorText(). An existing file is never
    // rewritten when the key fails.
    std::int32_t Open(const std::filesystem::path& file, const std::string& key);
    // Opens an existing file for reading what others wrote: nothing is created or changed, and a file
    // that is not there is result::kStoreOpenFailed.
    std::int32_t OpenForReading(const std::filesystem::path& file, const std::string& key);
    // A second writer's connection to the file `other` has open, with its key: for work done beside that
    // connection's, in another thread.
    std::int32_t OpenBeside(const StoreConnection& other);
    // An empty database in memory with everything the open steps make: what a store may hold at most.
    std::int32_t OpenScratch();
    // Closes the handle; an open transaction is rolled back. Record sets on it then report 91.
    void Close();
    bool IsOpen() const { return db_ != nullptr; }
    // True when this opening found the store under the built-in key and gave it the one it was opened with.
    bool RekeyedFromBuiltIn() const { return rekeyed_; }
    const std::filesystem::path& File() const { return file_; }
    sqlite3* Handle() const { return db_; }

    // Transactions nest: the outermost is BEGIN IMMEDIATE (the write lock is taken at once, so a
    // busy file fails before anything is touched), inner ones are savepoints.
    std::int32_t Begin();
    // Commits the innermost level; a failed COMMIT rolls the whole transaction back and reports.
    std::int32_t Commit();
    void Rollback();
    int TransactionDepth() const { return static_cast<int>(levels_.size()); }

    // Writes an encrypted, compacted copy of the store (same key) to a new file. Fails with
    // result::kCompactDestinationExists when the file is there already; a partial copy of a failed run is removed.
    std::int32_t ExportTo(const std::filesystem::path& destination);

    // True when the store writes ahead into its log (FiscalMachine.mdb-wal); false with a rollback journal,
    // kept when the log cannot be used (a file system without shared memory, a busy store at the switch).
    bool WritesAhead() const { return writesAhead_; }
    // Copies the log's committed pages into the file and empties the log. 0, or the reason when a reader
    // kept part of it.
    std::int32_t Checkpoint();
    // Until the guard ends, commits outside any transaction skip their own sync when the store writes
    // ahead: a power cut may lose them but never damages the store, and the next synced commit makes them
    // durable with it. A killed process loses nothing. For writes whose loss the next load repairs.
    class UnsyncedCommits {
    public:
        explicit UnsyncedCommits(StoreConnection& conn);
        ~UnsyncedCommits();
        UnsyncedCommits(const UnsyncedCommits&) = delete;
        UnsyncedCommits& operator=(const UnsyncedCommits&) = delete;

    private:
        StoreConnection& conn_;
        bool active_ = false;
    };

    // Runs SQL without parameters (only for fixed texts built from the schema).
    std::int32_t Exec(const std::string& sql);
    // Turns an engine return code into a store code and sets the error text.
    std::int32_t FailEngine(int rc, const std::string& what);
    std::int32_t Fail(std::int32_t code, std::string text);
    const std::string& LastErrorText() const { return error_; }

private:
    std::int32_t OpenFile(const std::filesystem::path& file, const std::string& key, bool writer);
    // Closes the engine's handle only; the key and its lease stay for the next try of the same opening.
    void CloseHandle();
    // Opens the file, gives the engine `engineKey` and reads the schema: SQLITE_ROW when the key reads the
    // file, the engine's code otherwise (with the connection closed), -1 when the file does not open at all.
    int OpenWithKey(const std::filesystem::path& file, const std::string& engineKey, bool writer);
    // `checked`: the store's triggers and views are compared with what the steps make before the commit.
    std::int32_t RunOpenSteps(bool checked);

    sqlite3* db_ = nullptr;
    std::filesystem::path file_;
    std::string key_;
    StoreKeyLease lease_;
    bool rekeyed_ = false;
    std::string error_;
    bool writesAhead_ = false;
    std::vector<bool> levels_;  // true: BEGIN, false: SAVEPOINT
};

// A prepared statement that finalizes itself.
class Statement {
public:
    Statement(StoreConnection& conn, const std::string& sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    int PrepareResult() const { return prepareRc_; }
    sqlite3_stmt* get() const { return stmt_; }

private:
    sqlite3_stmt* stmt_ = nullptr;
    int prepareRc_ = 0;
};

// Rolls back unless committed: the guard for internal multi-statement changes.
class StoreTransaction {
public:
    explicit StoreTransaction(StoreConnection& conn) : conn_(conn), rc_(conn.Begin()), open_(rc_ == 0) {}
    ~StoreTransaction() {
        if (open_) conn_.Rollback();
    }
    StoreTransaction(const StoreTransaction&) = delete;
    StoreTransaction& operator=(const StoreTransaction&) = delete;
    std::int32_t BeginResult() const { return rc_; }
    std::int32_t Commit() {
        open_ = false;
        return conn_.Commit();
    }

private:
    StoreConnection& conn_;
    std::int32_t rc_;
    bool open_;
};

}  // namespace karvex
