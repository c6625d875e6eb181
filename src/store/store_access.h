#pragma once
// The console's way into the store: the connection, the four data-control slots, the tables each
// command's answer fills, clearing by flags, and the compaction at unload.
//
// One answer is one transaction: OpenCommandTables begins it (and empties the tables the answer
// refills), the writers add rows through the slot, CloseCommandTables commits it. A process killed
// in between leaves the tables exactly as they were before the answer.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "store/record_set.h"
#include "store/store_connection.h"
#include "store/store_lock.h"

namespace karvex {

// Caption shown beside a table on the clear-store panel once it has been emptied.
inline constexpr const char* kClearedCaption = "清空完成";

// Flag bits naming tables for ClearStoreTables.
struct StoreTableFlags {
    static constexpr std::uint32_t kUserInformation = 0x08;
    static constexpr std::uint32_t kTaxInformation = 0x10;
    static constexpr std::uint32_t kDayTrade = 0x20;
    static constexpr std::uint32_t kInvPrintData = 0x40;
    static constexpr std::uint32_t kInvUseSum = 0x80;
    static constexpr std::uint32_t kMachineData = 0x100;
    static constexpr std::uint32_t kInvPDatTemp = 0x800;
    static constexpr std::uint32_t kDeclareData = 0x2000;
    static constexpr std::uint32_t kIdiograph = 0x8000;
    static constexpr std::uint32_t kIdiographShow = 0x10000;
    static constexpr std::uint32_t kInvoiceNumber = 0x20000;
    static constexpr std::uint32_t kMakeInvoice = 0x40000;
    static constexpr std::uint32_t kWatchCommand = 0x80000;
    static constexpr std::uint32_t kWatchAcceptData = 0x100000;
    static constexpr std::uint32_t kWatchError = 0x200000;
    // Everything, as cleared after a successful initialisation.
    static constexpr std::uint32_t kAfterInitialize = 0x3FFDF8;
};

// Told, in clearing order, the flag (StoreTableFlags) of each table that was emptied and the caption
// that says so. Whoever shows the clearing decides where the caption goes.
using ClearProgress = std::function<void(std::uint32_t table, const std::string& caption)>;

enum class AnswerOutcome { Keep, Discard };

// A writer is the one process that stores answers; readers (a technician's dump) only look, and may do
// so while a writer has the store.
enum class StoreMode { Write, Read };

class StoreAccess {
public:
    static constexpr int kSlotCount = 4;
    static constexpr int kAnswerQueueSlot = 1;
    static constexpr int kRollSlot = 2;

    // The store file is <dataDirectory>/FiscalMachine.mdb, encrypted with `key`. Nothing is opened yet.
    explicit StoreAccess(std::filesystem::path dataDirectory, std::string key = BuiltInStoreKey());
    // An answer still open is rolled back: it was never completed.
    ~StoreAccess();
    StoreAccess(const StoreAccess&) = delete;
    StoreAccess& operator=(const StoreAccess&) = delete;

    // Opens (creating when missing) the encrypted store with its key. 0; result::kStoreInUse when another
    // writer has the store; 91 with the path and the reason when the store cannot be opened or written
    // (a reader only needs to read an existing file).
    std::int32_t Open(StoreMode mode = StoreMode::Write);
    void Close();
    bool IsOpen() const { return conn_ && conn_->IsOpen(); }
    const std::filesystem::path& StorePath() const { return storePath_; }
    // FiscalMachine.mdb_bak.mdb: where the compacted copy is written.
    std::filesystem::path BackupPath() const;
    // The shared connection, for record sets of the data browser.
    std::shared_ptr<StoreConnection> Connection() const { return conn_; }

    // The record set of a slot 0..3 (closed when nothing is bound); nullptr for another number.
    RecordSet* Slot(int slot);

    // Binds a record set on "Select * From <table> [where ...]" to the slot, replacing what it
    // held. On failure the slot holds nothing and the code (91, 3265 ...) is returned.
    std::int32_t OpenAccess(std::string_view selectText, int slot);
    std::int32_t OpenAccess(const Selection& selection, int slot);
    // Deletes every record of the slot's record set, all or none. 0 when the slot holds nothing.
    std::int32_t ClearAccessTable(int slot);
    void ReleaseSlot(int slot);
    void ReleaseAllSlots();

    // ARecord on slot 1, emptied: done when the console loads and when the link starts.
    std::int32_t OpenAnswerQueue();

    // Opens the tables the answer to a command writes (and empties those it refills) and begins the
    // answer's transaction. Codes without tables do nothing and return 0. An earlier answer that was
    // never closed is committed first, as its rows had been written.
    // `refill` false keeps the tables' rows: for answers that are only read, not stored.
    std::int32_t OpenCommandTables(std::uint8_t code, int slot, bool refill = true);
    // Releases the slot's record set and ends the answer: Keep commits, Discard rolls back.
    // A second table the row opens beside the answer's (on slot 2) stays bound. A failed commit leaves the tables as
    // before the answer and returns the code.
    std::int32_t CloseCommandTables(std::uint8_t code, int slot, AnswerOutcome outcome = AnswerOutcome::Keep);
    bool AnswerInProgress() const { return answerOpen_; }
    // The table the answer to a command writes, or nullptr for commands whose answers store nothing.
    static const char* AnswerTableOf(std::uint8_t code);
    // True when each answer to the command replaces its table's content.
    static bool AnswerRefillsTable(std::uint8_t code);

    // Empties every flagged table through the slot, all in one transaction; labels are reported
    // once the whole clearing is saved. Unknown bits are ignored.
    std::int32_t ClearStoreTables(int slot, std::uint32_t flags, const ClearProgress& progress = {});

    // Releases every slot (an unfinished answer is rolled back), writes the compacted encrypted copy
    // to BackupPath() and puts it in the store file's place, then reopens the store.
    // result::kCompactDestinationExists when the copy file is already there; result::kStoreInUse (nothing done) when
    // another process has the store open, since it would be left with the replaced file.
    std::int32_t CompactStore();
    // As at unload: a copy left by an interrupted earlier run is deleted; the store is compacted only when
    // that pays (CompactionPays in store_upkeep.h: free pages at least a quarter of the file), otherwise
    // its slots are released and an unfinished answer rolled back, as a compaction would. A store that
    // others have open is left as it is, which is no failure (CompactionSkipped() tells).
    std::int32_t CompactStoreAtUnload();
    bool CompactionSkipped() const { return compactionSkipped_; }
    // True when the last CompactStoreAtUnload wrote a compacted copy.
    bool Compacted() const { return compacted_; }

    const std::string& LastErrorText() const { return error_; }

private:
    std::int32_t Fail(std::int32_t code, std::string text);
    std::int32_t FromSlot(int slot, std::int32_t code);
    void EndAnswer(AnswerOutcome outcome, std::int32_t& code);

    std::filesystem::path storePath_;
    std::string key_;
    StoreLock lock_;
    bool compactionSkipped_ = false;
    bool compacted_ = false;
    std::shared_ptr<StoreConnection> conn_;
    RecordSet slots_[kSlotCount];
    bool answerOpen_ = false;
    std::string error_;
};

}  // namespace karvex
