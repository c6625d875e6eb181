#include "store/store_access.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

#include "commands/catalogue.h"
#include "store/schema.h"
#include "store/store_codes.h"
#include "store/store_file.h"
#include "store/store_upkeep.h"

namespace karvex {
namespace {

// The tables a command's answer writes are in its catalogue row.
const AnswerTables* CommandTableOf(std::uint8_t code) {
    const CommandInfo* row = FindCommand(code);
    return row != nullptr && !row->store.table.empty() ? &row->store : nullptr;
}

struct ClearRow {
    std::uint32_t bit;
    const char* table;
};

// In the order the tables are cleared.
constexpr ClearRow kClearRows[] = {
    {StoreTableFlags::kDayTrade, "DayTrade"},
    {StoreTableFlags::kDeclareData, "DeclareData"},
    {StoreTableFlags::kInvoiceNumber, "InvoiceNumber"},
    {StoreTableFlags::kInvPrintData, "InvPrintData"},
    {StoreTableFlags::kInvUseSum, "InvUseSum"},
    {StoreTableFlags::kInvPDatTemp, "InvPDatTemp"},
    {StoreTableFlags::kMachineData, "MachineData"},
    {StoreTableFlags::kMakeInvoice, "MakeInvoice"},
    {StoreTableFlags::kTaxInformation, "TaxInformation"},
    {StoreTableFlags::kUserInformation, "UserInformation"},
    {StoreTableFlags::kIdiograph, "Idiograph"},
    {StoreTableFlags::kIdiographShow, "IdiographShow"},
    {StoreTableFlags::kWatchCommand, "WatchCommand"},
    {StoreTableFlags::kWatchAcceptData, "WatchAcceptData"},
    {StoreTableFlags::kWatchError, "WatchError"},
};

void RemoveWithCompanions(const std::filesystem::path& file) {
    std::error_code ec;
    std::filesystem::remove(file, ec);
    for (const char* suffix : {"-journal", "-wal", "-shm"}) std::filesystem::remove(file.string() + suffix, ec);
}

// Makes the rename that swapped the store file survive a power cut.
void SyncDirectory(const std::filesystem::path& dir) {
    int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

}  // namespace

const char* StoreAccess::AnswerTableOf(std::uint8_t code) {
    const AnswerTables* entry = CommandTableOf(code);
    // The row's names are literals, so their text ends where a C string must.
    return entry ? entry->table.data() : nullptr;
}

bool StoreAccess::AnswerRefillsTable(std::uint8_t code) {
    const AnswerTables* entry = CommandTableOf(code);
    return entry != nullptr && entry->refills;
}

StoreAccess::StoreAccess(std::filesystem::path dataDirectory, std::string key)
    : storePath_(std::move(dataDirectory) / kStoreFileName), key_(std::move(key)) {}

StoreAccess::~StoreAccess() { Close(); }

std::filesystem::path StoreAccess::BackupPath() const { return storePath_.string() + "_bak.mdb"; }

std::int32_t StoreAccess::Fail(std::int32_t code, std::string text) {
    error_ = std::move(text);
    return code;
}

std::int32_t StoreAccess::FromSlot(int slot, std::int32_t code) {
    if (code != result::kSuccess) error_ = slots_[slot].LastErrorText();
    return code;
}

std::int32_t StoreAccess::Open(StoreMode mode) {
    Close();
    const std::filesystem::path dir = storePath_.parent_path();
    // No directory at all (no home and no writable library directory): never whatever the current one is.
    if (dir.empty()) return Fail(result::kNoDataDirectory, "没有可用的数据目录，请用 KARVEX_DATA_DIR 指定");
    std::error_code ec;
    // A writer makes a missing directory (the owner's alone); a reader only reads what is there.
    if (mode == StoreMode::Read && !std::filesystem::is_directory(dir.empty() ? "." : dir, ec)) {
        const std::string reason = ec ? ec.message() : std::string("不是目录");
        return Fail(result::kStoreOpenFailed, "数据目录 " + dir.string() + " 不能使用：" + reason);
    }
    {
        std::string why;
        if (std::int32_t rc = PrepareDataDirectory(dir, why); rc != result::kSuccess) return Fail(rc, why);
    }
    if (mode == StoreMode::Write) {
        if (::access(dir.empty() ? "." : dir.c_str(), W_OK | X_OK) != 0) {
            return Fail(result::kStoreOpenFailed, "数据目录 " + dir.string() + " 不能写入：" + std::strerror(errno));
        }
        std::string why;
        if (std::int32_t rc = lock_.AcquireWriter(storePath_, why); rc != result::kSuccess) return Fail(rc, why);
    } else {
        lock_.AcquireReader(storePath_);
    }
    auto conn = std::make_shared<StoreConnection>();
    std::int32_t code =
        mode == StoreMode::Write ? conn->Open(storePath_, key_) : conn->OpenForReading(storePath_, key_);
    if (code != result::kSuccess) {
        lock_.Release();
        std::string text = conn->LastErrorText();
        if (text.find(storePath_.string()) == std::string::npos) text = storePath_.string() + "：" + text;
        // Whatever stops the store from opening (a full disk, a file that cannot be written) means the
        // same to the caller: there is no store here. A store refused for what it is keeps its own code.
        const bool refused = code == result::kUnsafeStoreFile || code == result::kForeignSchemaObject;
        return Fail(refused ? code : result::kStoreOpenFailed, text);
    }
    conn_ = std::move(conn);
    error_.clear();
    return result::kSuccess;
}

void StoreAccess::Close() {
    ReleaseAllSlots();
    if (conn_) {
        if (answerOpen_) {
            std::int32_t ignored = result::kSuccess;
            EndAnswer(AnswerOutcome::Discard, ignored);
        }
        conn_->Close();
        conn_.reset();
    }
    answerOpen_ = false;
    lock_.Release();
}

RecordSet* StoreAccess::Slot(int slot) {
    if (slot < 0 || slot >= kSlotCount) return nullptr;
    return &slots_[slot];
}

std::int32_t StoreAccess::OpenAccess(std::string_view selectText, int slot) {
    Selection sel;
    std::string why;
    if (Slot(slot) == nullptr) return Fail(result::kStoreOpenFailed, "没有此数据控件：" + std::to_string(slot));
    if (ParseSelectText(selectText, sel, why) != result::kSuccess) {
        slots_[slot].Close();
        return Fail(result::kStoreOpenFailed, why);
    }
    return OpenAccess(sel, slot);
}

std::int32_t StoreAccess::OpenAccess(const Selection& selection, int slot) {
    if (Slot(slot) == nullptr) return Fail(result::kStoreOpenFailed, "没有此数据控件：" + std::to_string(slot));
    if (!IsOpen()) {
        slots_[slot].Close();
        return Fail(result::kStoreOpenFailed, "数据库对象打开失败");
    }
    return FromSlot(slot, slots_[slot].Open(conn_, selection));
}

std::int32_t StoreAccess::ClearAccessTable(int slot) {
    if (Slot(slot) == nullptr) return Fail(result::kStoreOpenFailed, "没有此数据控件：" + std::to_string(slot));
    // A slot without a record set has nothing to clear.
    if (!slots_[slot].IsOpen()) return result::kSuccess;
    return FromSlot(slot, slots_[slot].DeleteAll());
}

void StoreAccess::ReleaseSlot(int slot) {
    if (RecordSet* rs = Slot(slot)) rs->Close();
}

void StoreAccess::ReleaseAllSlots() {
    for (RecordSet& rs : slots_) rs.Close();
}

std::int32_t StoreAccess::OpenAnswerQueue() {
    std::int32_t code = OpenAccess(Selection::Of("ARecord"), kAnswerQueueSlot);
    if (code != result::kSuccess) return code;
    return ClearAccessTable(kAnswerQueueSlot);
}

void StoreAccess::EndAnswer(AnswerOutcome outcome, std::int32_t& code) {
    answerOpen_ = false;
    if (!conn_) return;
    if (outcome == AnswerOutcome::Keep) {
        std::int32_t rc = conn_->Commit();
        if (rc != result::kSuccess && code == result::kSuccess) code = Fail(rc, conn_->LastErrorText());
    } else {
        conn_->Rollback();
    }
}

std::int32_t StoreAccess::OpenCommandTables(std::uint8_t code, int slot, bool refill) {
    const AnswerTables* entry = CommandTableOf(code);
    if (entry == nullptr) return result::kSuccess;
    if (Slot(slot) == nullptr) return Fail(result::kStoreOpenFailed, "没有此数据控件：" + std::to_string(slot));
    if (!IsOpen()) return Fail(result::kStoreOpenFailed, "数据库对象打开失败");
    if (answerOpen_) {
        std::int32_t rc = result::kSuccess;
        EndAnswer(AnswerOutcome::Keep, rc);
        if (rc != result::kSuccess) return rc;
    }
    if (std::int32_t rc = conn_->Begin(); rc != result::kSuccess) return Fail(rc, conn_->LastErrorText());
    answerOpen_ = true;
    std::int32_t rc = result::kSuccess;
    refill = refill && entry->refills;
    if (refill) {
        // Emptied in one statement before the record set is bound: reading the old rows into the slot
        // only to delete them one by one costs memory and time in proportion to the last answer.
        const TableDef* table = FindStoreTable(entry->table);
        rc = EmptyTable(*conn_, table->name);
        if (rc != result::kSuccess) error_ = conn_->LastErrorText();
    }
    if (rc == result::kSuccess) rc = OpenAccess(Selection::Of(std::string(entry->table)), slot);
    if (rc == result::kSuccess && refill) rc = ClearAccessTable(slot);
    if (rc == result::kSuccess && !entry->alsoOpens.empty()) {
        rc = OpenAccess(Selection::Of(std::string(entry->alsoOpens)), kRollSlot);
    }
    if (rc != result::kSuccess) {
        std::string text = error_;
        ReleaseSlot(slot);
        std::int32_t ignored = result::kSuccess;
        EndAnswer(AnswerOutcome::Discard, ignored);
        error_ = text;
    }
    return rc;
}

std::int32_t StoreAccess::CloseCommandTables(std::uint8_t code, int slot, AnswerOutcome outcome) {
    if (CommandTableOf(code) == nullptr) return result::kSuccess;
    ReleaseSlot(slot);
    std::int32_t rc = result::kSuccess;
    if (answerOpen_) EndAnswer(outcome, rc);
    return rc;
}

std::int32_t StoreAccess::ClearStoreTables(int slot, std::uint32_t flags, const ClearProgress& progress) {
    if (Slot(slot) == nullptr) return Fail(result::kStoreOpenFailed, "没有此数据控件：" + std::to_string(slot));
    if (!IsOpen()) return Fail(result::kStoreOpenFailed, "数据库对象打开失败");
    std::vector<std::uint32_t> emptied;
    {
        StoreTransaction tx(*conn_);
        if (tx.BeginResult() != result::kSuccess) return Fail(tx.BeginResult(), conn_->LastErrorText());
        for (const ClearRow& row : kClearRows) {
            if ((flags & row.bit) == 0) continue;
            std::int32_t rc = OpenAccess(Selection::Of(row.table), slot);
            if (rc == result::kSuccess) rc = ClearAccessTable(slot);
            ReleaseSlot(slot);
            if (rc != result::kSuccess) return rc;
            emptied.push_back(row.bit);
        }
        if (std::int32_t rc = tx.Commit(); rc != result::kSuccess) return Fail(rc, conn_->LastErrorText());
    }
    if (progress) {
        for (std::uint32_t table : emptied) progress(table, kClearedCaption);
    }
    return result::kSuccess;
}

std::int32_t StoreAccess::CompactStore() {
    if (!IsOpen()) return Fail(result::kStoreOpenFailed, "数据库对象打开失败");
    if (!lock_.HeldAsWriter()) return Fail(result::kStoreInUse, "只读打开的数据库不能压缩：" + storePath_.string());
    if (!lock_.BeginAlone()) return Fail(result::kStoreInUse, "数据库正被其他程序打开，未压缩：" + storePath_.string());
    struct EndAlone {
        StoreLock& lock;
        ~EndAlone() { lock.EndAlone(); }
    } endAlone{lock_};
    ReleaseAllSlots();
    if (answerOpen_) {
        std::int32_t ignored = result::kSuccess;
        EndAnswer(AnswerOutcome::Discard, ignored);
    }
    const std::filesystem::path copy = BackupPath();
    if (std::int32_t rc = conn_->ExportTo(copy); rc != result::kSuccess) return Fail(rc, conn_->LastErrorText());
    // Everything the log holds goes into the file before the copy replaces it: the log belongs to the old
    // file, and applied to the copy it would corrupt it.
    std::int32_t emptied = conn_->Checkpoint();
    const std::string emptiedText = conn_->LastErrorText();
    conn_->Close();
    conn_.reset();

    std::int32_t result = result::kSuccess;
    std::error_code ec;
    const std::string log = storePath_.string() + "-wal";
    const bool logHoldsPages = std::filesystem::exists(log, ec) && std::filesystem::file_size(log, ec) > 0;
    if (emptied != result::kSuccess || logHoldsPages || std::filesystem::exists(storePath_.string() + "-journal", ec)) {
        // A journal or log still beside the store belongs to it; pairing it with the copy would corrupt
        // the copy, so the store stays as it is.
        RemoveWithCompanions(copy);
        result = Fail(result::kExecutionFailed, emptied != result::kSuccess
                                                    ? "存储文件的日志未能写入存储文件，未替换存储文件：" + emptiedText
                                                    : std::string("存储文件旁有未完成的日志文件，未替换存储文件"));
    } else {
        // An empty log and its index are the old file's; the copy starts without them.
        std::filesystem::remove(log, ec);
        std::filesystem::remove(storePath_.string() + "-shm", ec);
        // Replacing by rename is atomic: at every moment either the old or the compacted store is
        // in place, never neither.
        std::filesystem::rename(copy, storePath_, ec);
        if (ec) {
            RemoveWithCompanions(copy);
            result = Fail(result::kExecutionFailed, "压缩后的数据库无法替换存储文件：" + ec.message());
        } else {
            SyncDirectory(storePath_.parent_path());
        }
    }
    auto conn = std::make_shared<StoreConnection>();
    std::int32_t rc = conn->Open(storePath_, key_);
    if (rc != result::kSuccess) return result != result::kSuccess ? result : Fail(rc, conn->LastErrorText());
    conn_ = std::move(conn);
    return result;
}

std::int32_t StoreAccess::CompactStoreAtUnload() {
    compactionSkipped_ = false;
    compacted_ = false;
    if (!IsOpen()) return Fail(result::kStoreOpenFailed, "数据库对象打开失败");
    // A copy left by an interrupted run is stale, whether or not this unload compacts: the store file is the
    // current data.
    if (lock_.HeldAsWriter()) RemoveWithCompanions(BackupPath());
    PageCounts counts;
    if (ReadPageCounts(*conn_, counts) == result::kSuccess && !CompactionPays(counts)) {
        // Closing at once costs the same at a million rows as at ten; what an unfinished answer wrote is
        // undone as a compaction would.
        ReleaseAllSlots();
        if (answerOpen_) {
            std::int32_t ignored = result::kSuccess;
            EndAnswer(AnswerOutcome::Discard, ignored);
        }
        return result::kSuccess;
    }
    std::int32_t rc = CompactStore();
    compacted_ = rc == result::kSuccess;
    if (rc == result::kStoreInUse) {
        // Compacting is only tidying; the store as it is holds every answer.
        compactionSkipped_ = true;
        return result::kSuccess;
    }
    if (rc == result::kCompactDestinationExists) {
        // A copy left by an interrupted run: it is stale, the store file is the current data.
        RemoveWithCompanions(BackupPath());
        rc = CompactStore();
        compacted_ = rc == result::kSuccess;
    }
    return rc;
}

}  // namespace karvex
