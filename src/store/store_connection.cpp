#include "store/store_connection.h"

#include <sqlcipher/sqlite3.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "store/open_steps.h"
#include "store/schema.h"
#include "store/schema_check.h"
#include "store/store_codes.h"
#include "store/store_file.h"
#include "store/store_key.h"

namespace karvex {
namespace {

// Used when the installation does not give its own key through KARVEX_STORE_KEY.
constexpr const char* kBuiltInStoreKey = "Karvex:FiscalMachine:7c1e94b2d05a";

void RemoveWithCompanions(const std::filesystem::path& file) {
    std::error_code ec;
    std::filesystem::remove(file, ec);
    for (const char* suffix : {"-journal", "-wal", "-shm"}) {
        std::filesystem::remove(std::filesystem::path(file.string() + suffix), ec);
    }
}

}  // namespace

std::string BuiltInStoreKey() { return kBuiltInStoreKey; }

StoreConnection::~StoreConnection() { Close(); }

std::int32_t StoreConnection::Fail(std::int32_t code, std::string text) {
    error_ = std::move(text);
    return code;
}

std::int32_t StoreConnection::FailEngine(int rc, const std::string& what) {
    int primary = rc & 0xFF;
    if (rc == SQLITE_CONSTRAINT_UNIQUE || rc == SQLITE_CONSTRAINT_PRIMARYKEY) {
        return Fail(result::kDuplicateKey, DuplicateKeyMessage());
    }
    std::string detail = EngineErrorText(rc, db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(rc));
    if (primary == SQLITE_NOTADB) return Fail(result::kStoreOpenFailed, what + "：" + detail);
    if (primary == SQLITE_FULL) return Fail(result::kDiskFull, what + "：" + detail);
    return Fail(result::kExecutionFailed, what + "：" + detail);
}

std::int32_t StoreConnection::Exec(const std::string& sql) {
    if (db_ == nullptr) return Fail(result::kStoreOpenFailed, std::string("数据库对象打开失败"));
    char* msg = nullptr;
    int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &msg);
    sqlite3_free(msg);
    if (rc != SQLITE_OK) return FailEngine(sqlite3_extended_errcode(db_), "执行失败");
    return result::kSuccess;
}

std::int32_t StoreConnection::Open(const std::filesystem::path& file, const std::string& key) {
    return OpenFile(file, key, true);
}

std::int32_t StoreConnection::OpenForReading(const std::filesystem::path& file, const std::string& key) {
    return OpenFile(file, key, false);
}

std::int32_t StoreConnection::OpenBeside(const StoreConnection& other) {
    if (!other.IsOpen()) return Fail(result::kStoreOpenFailed, "数据库对象打开失败");
    return OpenFile(other.file_, other.key_, true);
}

std::int32_t StoreConnection::OpenFile(const std::filesystem::path& file, const std::string& key, bool writer) {
    Close();
    error_.clear();
    file_ = file;
    key_ = key;
    if (key.empty()) return Fail(result::kStoreOpenFailed, std::string("存储密钥为空，拒绝以明文打开存储文件"));
    GuardEngineOpens();
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        std::string why;
        if (CheckOwnFile(file.string() + suffix, why) != result::kSuccess) return Fail(result::kUnsafeStoreFile, why);
    }
    if (writer) {
        // Made here rather than by the engine, so that it is the owner's alone whatever the umask; the engine
        // gives its log and index the store's mode and owner.
        const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            std::string why;
            const std::int32_t settled = SettleNewFile(fd, file.parent_path(), why);
            ::close(fd);
            if (settled != result::kSuccess) {
                std::error_code ec;
                std::filesystem::remove(file, ec);
                return Fail(settled, "存储文件 " + file.string() + "：" + why);
            }
        }
    }
    // The key is derived from the passphrase and the file's salt once in this process: the derivation is
    // nearly all of an opening's cost, and the writer, every reader and every load open the same file.
    // Should the derived key not read the file (one made with other key settings), the engine is given the
    // passphrase to derive from as it would.
    std::string engineKey = EngineKeyFor(file, key, lease_);
    int step = OpenWithKey(file, engineKey, writer);
    if ((step & 0xFF) == SQLITE_NOTADB && engineKey != key) {
        ReleaseStoreKey(lease_);
        step = OpenWithKey(file, key, writer);
    }
    WipeText(engineKey);
    // A store made before the installation had a key of its own is still under the built-in one: it opens
    // with that, and a writer gives it the installation's key below.
    bool underBuiltInKey = false;
    if ((step & 0xFF) == SQLITE_NOTADB && key != kBuiltInStoreKey) {
        std::string builtIn = EngineKeyFor(file, kBuiltInStoreKey, lease_);
        step = OpenWithKey(file, builtIn, writer);
        WipeText(builtIn);
        underBuiltInKey = step == SQLITE_ROW;
        if (!underBuiltInKey) ReleaseStoreKey(lease_);
    }
    if (step == -1) return result::kStoreOpenFailed;
    if (step != SQLITE_ROW)
        return Fail(result::kStoreOpenFailed, UnreadableStoreText(file, step, sqlite3_errstr(step)));
    // Before anything is written, and before a reader reads: a planted object runs its own SQL.
    if (std::int32_t code = CheckStoreObjects(*this); code != result::kSuccess) {
        std::string text = error_;
        Close();
        error_ = text;
        return code;
    }
    // A reader that wrote would bypass the writer's lock.
    if (!writer) return Exec("PRAGMA query_only=1");
    if (underBuiltInKey) {
        // The engine re-keys a file with a rollback journal only; the log comes back below.
        const bool journal = Exec("PRAGMA journal_mode=DELETE") == result::kSuccess;
        if (journal && sqlite3_rekey(db_, key.data(), static_cast<int>(key.size())) == SQLITE_OK) {
            rekeyed_ = true;
            ReleaseStoreKey(lease_);
        } else {
            // Tried again at the next opening; until then the store stays readable under the built-in key.
            key_ = kBuiltInStoreKey;
        }
    }
    if (sqlite3_db_readonly(db_, "main") == 1) {
        Close();
        return Fail(result::kStoreOpenFailed, "存储文件 " + file.string() + " 只能读取，不能写入");
    }
    // Write-ahead log with a sync on every commit: a commit is on disk when it returns, at the cost of one
    // sync of the log instead of the several a rollback journal needs. A killed writer leaves its log,
    // which the next opening applies; compaction empties the log and closes before it replaces the file
    // (StoreAccess::CompactStore). Where the log cannot be used the rollback journal stays: slower, as safe.
    {
        Statement mode(*this, "PRAGMA journal_mode=WAL");
        if (mode.PrepareResult() == SQLITE_OK && sqlite3_step(mode.get()) == SQLITE_ROW) {
            const unsigned char* text = sqlite3_column_text(mode.get(), 0);
            writesAhead_ = text != nullptr && std::string(reinterpret_cast<const char*>(text)) == "wal";
        }
    }
    std::int32_t code =
        Exec(writesAhead_ ? "PRAGMA synchronous=FULL;" : "PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL;");
    if (code == result::kSuccess) code = RunOpenSteps(true);
    if (code != result::kSuccess) {
        std::string text = error_;
        Close();
        error_ = text;
        return code;
    }
    return result::kSuccess;
}

int StoreConnection::OpenWithKey(const std::filesystem::path& file, const std::string& engineKey, bool writer) {
    CloseHandle();
    // A reader opens read-write all the same (without creating anything) so that the journal of a writer
    // killed mid-answer can be rolled back, or its log applied; it only reads.
    int rc = sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE | (writer ? SQLITE_OPEN_CREATE : 0), nullptr);
    if (rc != SQLITE_OK) {
        std::string detail = EngineErrorText(rc, db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(rc));
        CloseHandle();
        Fail(result::kStoreOpenFailed, "无法打开存储文件 " + file.string() + "：" + detail);
        return -1;
    }
    sqlite3_extended_result_codes(db_, 1);
    // Waits for a transaction of another connection (a reader's, or the writer's while a reader reads)
    // instead of failing at once.
    sqlite3_busy_timeout(db_, 1000);
    if (sqlite3_key(db_, engineKey.data(), static_cast<int>(engineKey.size())) != SQLITE_OK) {
        CloseHandle();
        Fail(result::kStoreOpenFailed, std::string("无法设置存储密钥"));
        return -1;
    }
    int step = SQLITE_OK;
    {
        // The key is only tried on the first read; a wrong key shows up here as "not a database".
        Statement probe(*this, "SELECT count(*) FROM sqlite_master");
        step = probe.PrepareResult() == SQLITE_OK ? sqlite3_step(probe.get()) : probe.PrepareResult();
    }
    if (step != SQLITE_ROW) CloseHandle();
    return step;
}

std::int32_t StoreConnection::RunOpenSteps(bool checked) {
    StoreTransaction tx(*this);
    if (tx.BeginResult() != result::kSuccess) return tx.BeginResult();
    for (const StoreOpenStep& step : StoreOpenSteps()) {
        if (std::int32_t code = step.run(*this); code != result::kSuccess) return code;
    }
    if (checked) {
        if (std::int32_t code = CheckStoreObjectTexts(*this); code != result::kSuccess) return code;
    }
    return tx.Commit();
}

std::int32_t StoreConnection::OpenScratch() {
    Close();
    error_.clear();
    file_ = ":memory:";
    if (int rc = sqlite3_open_v2(":memory:", &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
        rc != SQLITE_OK) {
        Close();
        return Fail(result::kStoreOpenFailed, EngineErrorText(rc, sqlite3_errstr(rc)));
    }
    sqlite3_extended_result_codes(db_, 1);
    std::int32_t code = RunOpenSteps(false);
    if (code != result::kSuccess) {
        std::string text = error_;
        Close();
        error_ = text;
    }
    return code;
}

void StoreConnection::Close() {
    CloseHandle();
    ReleaseStoreKey(lease_);
    WipeText(key_);
    rekeyed_ = false;
}

void StoreConnection::CloseHandle() {
    if (db_ != nullptr) {
        if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
    writesAhead_ = false;
    levels_.clear();
}

std::int32_t StoreConnection::Checkpoint() {
    if (db_ == nullptr) return Fail(result::kStoreOpenFailed, std::string("数据库对象打开失败"));
    if (!writesAhead_) return result::kSuccess;
    int logFrames = 0;
    int copied = 0;
    int rc = sqlite3_wal_checkpoint_v2(db_, "main", SQLITE_CHECKPOINT_TRUNCATE, &logFrames, &copied);
    if (rc != SQLITE_OK) return FailEngine(sqlite3_extended_errcode(db_), "写入数据库日志失败");
    if (logFrames > 0)
        return Fail(result::kExecutionFailed, std::string("数据库日志仍被其他连接使用，未能写入数据库文件"));
    return result::kSuccess;
}

StoreConnection::UnsyncedCommits::UnsyncedCommits(StoreConnection& conn) : conn_(conn) {
    // The level of syncing cannot change inside a transaction; an enclosing one keeps its syncs.
    if (!conn_.writesAhead_ || conn_.db_ == nullptr || !sqlite3_get_autocommit(conn_.db_)) return;
    active_ = sqlite3_exec(conn_.db_, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr) == SQLITE_OK;
}

StoreConnection::UnsyncedCommits::~UnsyncedCommits() {
    if (active_ && conn_.db_ != nullptr) sqlite3_exec(conn_.db_, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
}

std::int32_t StoreConnection::Begin() {
    if (db_ == nullptr) return Fail(result::kStoreOpenFailed, std::string("数据库对象打开失败"));
    if (sqlite3_get_autocommit(db_)) {
        levels_.clear();
        std::int32_t code = Exec("BEGIN IMMEDIATE");
        if (code == result::kSuccess) levels_.push_back(true);
        return code;
    }
    std::int32_t code = Exec("SAVEPOINT karvex_level");
    if (code == result::kSuccess) levels_.push_back(false);
    return code;
}

std::int32_t StoreConnection::Commit() {
    if (db_ == nullptr) return Fail(result::kStoreOpenFailed, std::string("数据库对象打开失败"));
    if (levels_.empty()) return Fail(result::kExecutionFailed, std::string("没有进行中的事务"));
    bool outer = levels_.back();
    levels_.pop_back();
    if (sqlite3_get_autocommit(db_)) {
        levels_.clear();
        return Fail(result::kExecutionFailed, std::string("事务已被存储引擎撤销，修改没有保存"));
    }
    if (!outer) return Exec("RELEASE karvex_level");
    std::int32_t code = Exec("COMMIT");
    if (code != result::kSuccess) {
        std::string text = error_;
        if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        levels_.clear();
        error_ = text;
    }
    return code;
}

void StoreConnection::Rollback() {
    if (db_ == nullptr || levels_.empty()) return;
    bool outer = levels_.back();
    levels_.pop_back();
    if (sqlite3_get_autocommit(db_)) {
        levels_.clear();
        return;
    }
    if (outer) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    } else {
        sqlite3_exec(db_, "ROLLBACK TO karvex_level; RELEASE karvex_level;", nullptr, nullptr, nullptr);
    }
}

std::int32_t StoreConnection::ExportTo(const std::filesystem::path& destination) {
    if (db_ == nullptr) return Fail(result::kStoreOpenFailed, std::string("数据库对象打开失败"));
    std::error_code ec;
    bool exists = std::filesystem::exists(destination, ec);
    if (ec) return Fail(result::kExecutionFailed, "压缩数据库失败，无法检查目标文件：" + ec.message());
    if (exists)
        return Fail(result::kCompactDestinationExists, "压缩数据库失败，目标文件已经存在：" + destination.string());
    if (!sqlite3_get_autocommit(db_)) {
        return Fail(result::kExecutionFailed, std::string("有未完成的事务，不能压缩数据库"));
    }
    // A journal without its database file is left from an interrupted copy; applied to the new
    // copy it would corrupt it.
    RemoveWithCompanions(destination);
    {
        // The copy replaces the store: it is made the owner's alone (and, for root, the directory owner's)
        // before the engine writes a page into it.
        const int fd = ::open(destination.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0)
            return Fail(result::kUnsafeStoreFile,
                        "压缩数据库失败，无法建立文件 " + destination.string() + "：" + std::strerror(errno));
        std::string why;
        const std::int32_t settled = SettleNewFile(fd, destination.parent_path(), why);
        ::close(fd);
        if (settled != result::kSuccess) {
            RemoveWithCompanions(destination);
            return Fail(settled, "压缩数据库失败：" + why);
        }
    }
    {
        Statement attach(*this, "ATTACH DATABASE ?1 AS karvex_copy KEY ?2");
        if (attach.PrepareResult() != SQLITE_OK) return FailEngine(attach.PrepareResult(), "压缩数据库失败");
        std::string target = destination.string();
        sqlite3_bind_text(attach.get(), 1, target.c_str(), static_cast<int>(target.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(attach.get(), 2, key_.data(), static_cast<int>(key_.size()), SQLITE_TRANSIENT);
        int rc = sqlite3_step(attach.get());
        if (rc != SQLITE_DONE) {
            std::int32_t code = FailEngine(sqlite3_extended_errcode(db_), "压缩数据库失败");
            RemoveWithCompanions(destination);
            return code;
        }
    }
    // The copy takes a rollback journal, whatever the store uses: a log beside the copy would not follow it
    // through the rename.
    std::int32_t code = Exec(
        "PRAGMA karvex_copy.journal_mode=DELETE; BEGIN IMMEDIATE; SELECT sqlcipher_export('karvex_copy'); COMMIT;");
    if (code != result::kSuccess) {
        std::string text = error_;
        if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        error_ = text;
    }
    sqlite3_exec(db_, "DETACH DATABASE karvex_copy", nullptr, nullptr, nullptr);
    if (code != result::kSuccess) RemoveWithCompanions(destination);
    return code;
}

Statement::Statement(StoreConnection& conn, const std::string& sql) {
    if (!conn.IsOpen() || sql.empty()) {
        prepareRc_ = SQLITE_MISUSE;
        return;
    }
    prepareRc_ = sqlite3_prepare_v2(conn.Handle(), sql.c_str(), static_cast<int>(sql.size()), &stmt_, nullptr);
}

Statement::~Statement() { sqlite3_finalize(stmt_); }

}  // namespace karvex
