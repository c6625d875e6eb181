#pragma once
// A record set over one table of the store: a static snapshot of the selected rows with a current
// row, read and written by field name. Every operation returns a store code (0 = success) and never
// throws; values always travel as bound parameters.
//
//   RecordSet rs;
//   rs.Open(conn, "Select * From DayTrade");          // or Selection::Of("DayTrade").Where("日期", "20240101")
//   rs.MoveFirst();  rs.Find("日期='20240101'");
//   if (rs.Eof()) rs.AddNew();
//   rs.SetText("日期", "20240101");  rs.SetInteger("正常发票份数", 3);
//   std::int32_t rc = rs.Update();                   // result::kDuplicateKey if the key exists
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "store/schema.h"
#include "store/selection.h"
#include "store/store_connection.h"

struct sqlite3_stmt;

namespace karvex {

// The value of one result column as the record sets hold it.
FieldValue ColumnValue(sqlite3_stmt* stmt, int index);

// Binds one field value to parameter `index` (1-based) of a prepared statement; values never enter SQL text.
void BindFieldValue(sqlite3_stmt* stmt, int index, const FieldValue& v);

class RecordSet {
public:
    RecordSet() = default;

    // Opens on a selection; an open record set is closed first. The current row is the first.
    // Codes: 91 (no connection, unknown table, bad select text), 3265 (unknown filter field),
    // 4098 (engine failure). A filter value that cannot be a value of its field selects nothing.
    std::int32_t Open(std::shared_ptr<StoreConnection> conn, const Selection& selection);
    // "Select * From <table> [where <criterion>]".
    std::int32_t Open(std::shared_ptr<StoreConnection> conn, std::string_view selectText);
    // Reads the selection again (rows changed elsewhere become visible).
    std::int32_t Requery();
    // Closes; a pending edit is dropped.
    void Close();
    bool IsOpen() const { return table_ != nullptr && conn_ && conn_->IsOpen(); }
    const TableDef* Table() const { return table_; }

    // Rows of the selection (91 when not open).
    std::int32_t RecordCount(std::int64_t& count) const;
    // Both true when nothing is selected or the record set is not open.
    bool Bof() const;
    bool Eof() const;
    // 3021 when the selection is empty (MoveFirst) or already at EOF (MoveNext). A pending edit is
    // saved first, as a move always does; its failure code is returned and the cursor stays.
    std::int32_t MoveFirst();
    std::int32_t MoveNext();
    // Searches forward from the current row (from the first row when at BOF) for a criterion
    // "field = 'text'" / "field = number" [and ...]. No match leaves EOF and returns 0.
    // Codes: 91, 3075 (malformed criterion), 3265 (unknown field).
    std::int32_t Find(std::string_view criterion);

    // Starts a new row (all fields null); it becomes current when Update saves it.
    std::int32_t AddNew();
    // Saves the new row or the changes to the current row. Codes: 91, 3021, result::kDuplicateKey,
    // 4098. On failure the row is left unsaved and the pending edit is dropped.
    std::int32_t Update();
    void CancelUpdate();
    // Deletes the current row; the next row (or EOF) becomes current. 3021 without a current row.
    std::int32_t Delete();
    // Deletes every row of the selection in one step (all or nothing).
    std::int32_t DeleteAll();

    // Field access by name. Setting converts to the field's type when that loses nothing
    // (number to text, integral double to integer, numeric text to number) and otherwise fails
    // with 3464, as does a number outside a byte/short/long field's range. Reading a null gives
    // the empty value ("", 0, 0.0, no bytes) with result 0; IsNull tells them apart.
    // Codes: 91, 3021 (no current row), 3265 (no such field), 3464 (type mismatch).
    std::int32_t Set(std::string_view field, const FieldValue& value);
    std::int32_t SetText(std::string_view field, std::string_view value) { return Set(field, std::string(value)); }
    std::int32_t SetInteger(std::string_view field, std::int64_t value) { return Set(field, value); }
    std::int32_t SetDouble(std::string_view field, double value) { return Set(field, value); }
    std::int32_t SetBytes(std::string_view field, const Bytes& value) { return Set(field, value); }
    std::int32_t SetNull(std::string_view field) { return Set(field, FieldValue{}); }

    std::int32_t Get(std::string_view field, FieldValue& out) const;
    std::int32_t GetText(std::string_view field, std::string& out) const;
    std::int32_t GetInteger(std::string_view field, std::int64_t& out) const;
    std::int32_t GetDouble(std::string_view field, double& out) const;
    // The stored text's bytes exactly as written.
    std::int32_t GetBytes(std::string_view field, Bytes& out) const;
    std::int32_t IsNull(std::string_view field, bool& out) const;

    const std::string& LastErrorText() const { return error_; }

private:
    struct Row {
        std::int64_t id = 0;
        std::vector<FieldValue> values;
    };

    std::int32_t Fail(std::int32_t code, std::string text) const;
    std::int32_t FailFromConnection(std::int32_t code) const;
    std::int32_t CheckOpen() const;
    std::int32_t Locate(std::string_view field, int& index) const;
    const std::vector<FieldValue>* CurrentValues() const;
    std::int32_t SaveIfEditing();
    bool Matches(const Row& row, const std::vector<Condition>& conds, const std::vector<int>& columns) const;
    std::int32_t ResolveConditions(const std::vector<Condition>& conds, std::vector<int>& columns) const;

    std::shared_ptr<StoreConnection> conn_;
    const TableDef* table_ = nullptr;
    Selection selection_;
    std::vector<Row> rows_;
    std::ptrdiff_t pos_ = 0;  // -1: BOF; rows_.size(): EOF
    bool editing_ = false;
    bool adding_ = false;
    std::ptrdiff_t addReturnPos_ = 0;
    std::vector<FieldValue> buffer_;
    std::vector<bool> dirty_;
    mutable std::string error_;
};

// Converts a value to what a field of that type stores (null stays null). Returns 0 or 3464.
std::int32_t CoerceToField(FieldType type, const FieldValue& in, FieldValue& out, std::string& why);

}  // namespace karvex
