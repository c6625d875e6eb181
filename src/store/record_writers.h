#pragma once
// The record writers over the store: one decoded answer becomes one row of its table, positioned by the
// table's rule (add a row, overwrite the single row, or find the row by its key), with its fields in a
// fixed order. Besides the writers: the queue of a multi-frame answer in ARecord, the roll progress
// (InvoiceNumber states 1 -> 2 -> 3 following the processor's current number) and the booking of data
// submitted for signing.
//
// The writers reach the store through a StoreHandle that the control opens and closes; while it is closed
// every writer answers 91, so an answer that arrives without a store is reported, never silently lost.
//
//   auto handle = std::make_shared<StoreHandle>();
//   handle->access = std::make_unique<StoreAccess>(dataDir);  handle->access->Open();
//   StoreRecordWriters writers(handle);
//   writers.OpenCommandTables(0x44);  writers.SaveDayTrade(day);  writers.CloseCommandTables(0x44);
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "commands/answer_intake.h"
#include "store/store_access.h"

struct sqlite3;
struct sqlite3_stmt;

namespace karvex {

// The store as the answer side sees it: present while the console is loaded.
struct StoreHandle {
    std::unique_ptr<StoreAccess> access;
    StoreAccess* Open() const { return access && access->IsOpen() ? access.get() : nullptr; }
};

// Told about a writer's store failure that the operator should see: title (may be empty) and text.
using WriterNotice = std::function<void(const std::string& title, const std::string& text)>;

// Prepared statements of one connection, kept for the life of that connection.
class StatementCache {
public:
    ~StatementCache() { Release(); }
    // The statement for `sql`, reset and unbound; nullptr when it cannot be prepared (error in conn).
    sqlite3_stmt* Get(StoreConnection& conn, const std::string& sql);
    // Finalizes everything; needed before the connection closes.
    void Release();

private:
    sqlite3* db_ = nullptr;
    std::unordered_map<std::string, sqlite3_stmt*> statements_;
};

// How a writer finds the row it writes.
enum class RowPosition {
    Add,        // always a new row
    SingleRow,  // the first row, or a new one when the table is empty
    ByKey,      // the first row whose key field holds the key, or a new one
};

// Field name and value, in the order the writer sets them.
using FieldList = std::vector<std::pair<std::string, FieldValue>>;

class StoreRecordWriters final : public AnswerStore {
public:
    explicit StoreRecordWriters(std::shared_ptr<StoreHandle> store, WriterNotice notice = {});
    ~StoreRecordWriters() override;

    ResultCode OpenCommandTables(std::uint8_t command) override;
    ResultCode ClearCommandTable(std::uint8_t command) override;
    void CloseCommandTables(std::uint8_t command) override;
    void AbandonCommandTables(std::uint8_t command) override;
    bool WriteFailed() const override { return engineFailed_; }

    ResultCode SaveInvoiceNumber(const InvoiceRollRecord& roll, int mode) override;
    ResultCode SaveMachineData(const MachineDataRecord& rec) override;
    ResultCode SaveUserInformation(const UserInformationRecord& rec) override;
    ResultCode SaveTaxInformation(const TaxItemRecord& rec) override;
    ResultCode SaveInvUseSum(const InvUseSumRecord& rec) override;
    ResultCode SaveDeclareData(const DeclareDataRecord& rec) override;
    ResultCode SaveInvPrintData(const InvPrintDataRecord& rec) override;
    ResultCode SaveDayTrade(const DayTradeRecord& rec) override;
    ResultCode SaveIdiograph(const SignatureRecord& rec) override;

    // While set, OpenCommandTables and ClearCommandTable leave the tables' rows alone: the answers then
    // taken up are only read for a host (print data and roll summary queries) and store nothing.
    void KeepTables(bool keep) { keepTables_ = keep; }
    // Forgets the last failure's text, so that a text after an answer belongs to that answer.
    void ClearError() { error_.clear(); }

    // The result of the last CloseCommandTables: a failed commit loses the whole answer, and the intake
    // must report that instead of the frames' success. Reading it resets it to 0.
    ResultCode TakeCloseResult() { return std::exchange(closeResult_, 0); }

    // Roll progress for the current invoice number `current` (10 digits): the number goes into the roll
    // that holds it (起始号 <= current <= 终止号); when that is not the roll in use, the bookkeeping moves
    // to it and the roll in use is used up. `previous` receives the 当前发票号 the roll in use held
    // before. 0 when a roll took the number; 149 when the number is not the previous one plus one (it
    // is recorded all the same: the processor's number is the truth); 141 (nothing changed) when it is
    // lower than the previous one; 150 when no roll holds it (a roll in use that it is past is used up);
    // 162 when InvoiceNumber is empty; a store code otherwise.
    ResultCode SaveMakeInvoice(const std::string& current, std::string& previous);
    // The 当前发票号 of the roll in use (state 2); false when no roll is in use.
    bool CurrentNumberInUse(std::string& number);

    // The signing panel's booking after a send: the row still waiting (签名状态 1) becomes superseded (3),
    // then the typed data is added waiting for its signature. All or nothing.
    ResultCode BookSignature(const std::string& typedText);

    // Writes one row of `table`, fields in order. `keyField`/`key` are used by ByKey.
    ResultCode WriteRow(std::string_view table, RowPosition position, const FieldList& fields,
                        std::string_view keyField = {}, const std::string& key = {});

    // Drops the prepared statements (before the store is compacted or closed).
    void ReleaseStatements() {
        batch_ = {};
        cache_.Release();
    }
    const std::string& LastErrorText() const { return error_; }

private:
    StoreAccess* Store();
    ResultCode Fail(ResultCode code, std::string text);
    ResultCode Notify(ResultCode code, const std::string& title);
    ResultCode Engine(const std::string& what);
    // The karvex_row of the first row matching (field = value), or of the first row when field is empty;
    // 0 when there is none.
    // Writes the fields into row `row` (its karvex_row), or into a new row when `row` is 0.
    ResultCode WriteAt(const TableDef& table, std::int64_t row, const FieldList& fields);
    ResultCode FirstRow(const TableDef& table, std::string_view field, const FieldValue& value, std::int64_t& row);
    ResultCode CountRows(const TableDef& table, std::int64_t& count);
    ResultCode ReadText(const TableDef& table, std::int64_t row, std::string_view field, std::string& out);

    // New rows of the table an answer refills, written several to a statement. The engine journals every
    // page a statement touches (the row's, its index's, the sync copy's and the totals'), so one statement
    // per row made that journal most of the cost of storing a long answer.
    struct RowBatch {
        const TableDef* table = nullptr;       // the refilled table; nullptr when the answer refills none
        std::unordered_set<std::string> keys;  // keys written in this answer: a row exists for each
        std::vector<FieldValue> values;        // every field of each waiting row, in the table's order
        std::size_t rows = 0;
    };
    // True when the row goes into the batch: the answer emptied the table and has not written the key.
    bool Batchable(const TableDef& table, RowPosition position, std::string_view keyField,
                   const std::string& key) const;
    ResultCode AddToBatch(const TableDef& table, const FieldList& fields, const std::string& key);
    // Writes the waiting rows; 0, or the code of the first row that could not be written.
    ResultCode FlushBatch();

    std::shared_ptr<StoreHandle> store_;
    WriterNotice notice_;
    StatementCache cache_;
    RowBatch batch_;
    // An answer's transaction is open. Should the engine undo it (a full disk may), a row written after
    // that would be kept on its own, part of an answer; the writers refuse instead.
    bool inAnswer_ = false;
    ResultCode AnswerUndone();
    ResultCode closeResult_ = 0;
    bool keepTables_ = false;
    bool engineFailed_ = false;  // the engine refused a write since the answer's tables were opened
    std::string error_;
};

// The queue of a multi-frame answer in ARecord (记录号 = frame number, 记录 = the frame as hex).
// Frames are written and read in batches: the table is a scratch area that the console empties whenever
// it loads, so one transaction per frame would only cost time. The order of the frames is kept exactly.
// While an answer's frames fit in kHeldBytes they are also held in memory and taken from there: reading
// them back would decrypt every page the table wrote, which is most of the cost of storing a long answer
// after its last frame. The table still gets every frame, and Clear() empties it as before.
class StoreAnswerQueue final : public AnswerQueue {
public:
    static constexpr std::size_t kBatch = 256;
    static constexpr std::size_t kHeldBytes = std::size_t{64} << 20;

    // `heldBytes`: how much frame text an answer may hold in memory before it is read back from the table.
    explicit StoreAnswerQueue(std::shared_ptr<StoreHandle> store, std::size_t heldBytes = kHeldBytes);
    ~StoreAnswerQueue() override;

    ResultCode Append(int frame_number, const std::string& frame_hex) override;
    std::size_t Count() const override { return holding_ ? held_.size() : ahead_.size() + stored_ + pending_.size(); }
    ResultCode TakeFirst(std::string& frame_hex) override;
    void Clear() override;

    // Writes the frames still held in memory to ARecord. When that fails the frames are dropped and the
    // queue refuses every later frame with the same code until it is cleared: the answer is lost either
    // way, and writing a growing list again for every frame would only repeat the failure.
    ResultCode Flush();
    // Forgets the prepared statements and the rows counted in the table (the store is being closed).
    void Detach();
    // Why the last write failed ("" after Clear()).
    const std::string& LastErrorText() const { return error_; }

private:
    ResultCode LoadBatch();
    ResultCode FailFlush(ResultCode code, const std::string& text);

    std::shared_ptr<StoreHandle> store_;
    StatementCache cache_;
    std::deque<std::string> ahead_;                    // read from the table, already deleted there
    std::size_t stored_ = 0;                           // rows in the table
    std::deque<std::pair<int, std::string>> pending_;  // not written yet
    std::size_t heldLimit_;
    std::deque<std::string> held_;  // every frame not yet taken, while holding_
    std::size_t heldBytes_ = 0;
    bool holding_ = true;    // false once the answer outgrew kHeldBytes: frames are read back from the table
    ResultCode failed_ = 0;  // a flush failed: refused until Clear()
    std::string error_;
};

}  // namespace karvex
