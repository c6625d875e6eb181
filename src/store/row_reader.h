#pragma once
// Reading a selection of a table without holding it: its row count, a window of rows at any position,
// and totals and per-key sums computed by the engine. What the data browser's grids, totals and charts
// and the tool's dump read, so that none of them grows with the table.
//
//   RowReader reader;
//   reader.Open(conn, Selection::Of("InvPrintData").Between("开票日期", "20240101", "20240131"));
//   std::int64_t n = 0;  reader.Count(n);
//   std::vector<StoredRow> rows;  reader.ReadWindow(n - 50, 50, rows);   // the last 50 rows
//
// Rows come in order of arrival, or, when the selection has a condition, in the order of its first
// condition's field (and then of arrival): the order its index keeps, so that a window anywhere in a range
// of a million rows is found without sorting.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "store/schema.h"
#include "store/selection.h"

struct sqlite3_stmt;

namespace karvex {

class StoreConnection;

struct StoredRow {
    std::int64_t id = 0;             // the row identity
    std::vector<FieldValue> values;  // in the table's field order
};

// One total: the sum of `fields` over the rows of the selection, only those whose `kindField` equals `kind`
// when `kindField` is set.
struct TotalWanted {
    std::vector<std::string> fields;
    std::string kindField;
    std::int64_t kind = 0;
};

// A key of the per-key sums with one sum per requested list of fields.
struct KeyedSums {
    std::string key;
    std::vector<double> sums;
};

class RowReader {
public:
    // Checks the table and the condition fields. 91 (no connection, unknown table), 3265 (unknown field).
    std::int32_t Open(std::shared_ptr<StoreConnection> conn, const Selection& selection);
    void Close();
    bool IsOpen() const;
    const TableDef* Table() const { return table_; }
    const Selection& Of() const { return selection_; }

    // Rows of the selection.
    std::int32_t Count(std::int64_t& count);
    // Up to `limit` rows from position `offset` (0-based) of the selection's order.
    std::int32_t ReadWindow(std::int64_t offset, int limit, std::vector<StoredRow>& out);
    // Every row in order, handed one at a time to `take` (false from it stops): constant memory.
    std::int32_t ForEach(const std::function<bool(const StoredRow&)>& take);
    // One query for all totals; `out` has one sum per wanted total (0 for no rows).
    std::int32_t Totals(const std::vector<TotalWanted>& wanted, std::vector<double>& out);
    // Sums per distinct value of `keyField`, for the last `limit` keys in key order (returned in key order).
    std::int32_t SumsByKey(std::string_view keyField, const std::vector<std::vector<std::string>>& sums, int limit,
                           std::vector<KeyedSums>& out);

    const std::string& LastErrorText() const { return error_; }

private:
    std::int32_t Fail(std::int32_t code, std::string text);
    std::int32_t Engine(const char* what);
    std::int32_t Column(std::string_view field, std::string& quoted);
    void Bind(sqlite3_stmt* stmt, int first) const;
    std::int32_t ReadRows(const std::string& sql, const std::vector<std::int64_t>& extra, bool reverse,
                          const std::function<bool(const StoredRow&)>& take);
    std::string SelectList() const;

    std::shared_ptr<StoreConnection> conn_;
    const TableDef* table_ = nullptr;
    Selection selection_;
    std::string where_;              // " WHERE ..." or ""
    std::vector<FieldValue> binds_;  // the condition values, bound in order
    std::string order_;              // the ORDER BY columns, ascending
    std::string orderDesc_;          // the same, descending
    std::string error_;
    // Arrival order without a condition: when the row identities are one unbroken run (a table filled and
    // never thinned), position p is identity first + p and is found at once.
    bool dense_ = false;
    std::int64_t firstId_ = 0;
    std::int64_t count_ = -1;
};

}  // namespace karvex
