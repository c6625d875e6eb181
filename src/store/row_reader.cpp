#include "store/row_reader.h"

#include <sqlcipher/sqlite3.h>

#include <algorithm>

#include "store/record_set.h"
#include "store/store_codes.h"
#include "store/store_connection.h"
#include "store/store_upkeep.h"

namespace karvex {

std::int32_t RowReader::Fail(std::int32_t code, std::string text) {
    error_ = std::move(text);
    return code;
}

std::int32_t RowReader::Engine(const char* what) {
    std::int32_t code = conn_->FailEngine(sqlite3_extended_errcode(conn_->Handle()), what);
    error_ = conn_->LastErrorText();
    return code;
}

bool RowReader::IsOpen() const { return table_ != nullptr && conn_ && conn_->IsOpen(); }

void RowReader::Close() {
    conn_.reset();
    table_ = nullptr;
    selection_ = Selection{};
    where_.clear();
    binds_.clear();
    count_ = -1;
    dense_ = false;
}

std::int32_t RowReader::Column(std::string_view field, std::string& quoted) {
    const int index = table_->FieldIndex(field);
    if (index < 0)
        return Fail(result::kNoSuchField, "数据库表中没有此字段：" + table_->name + "." + std::string(field));
    quoted = QuoteIdentifier(table_->fields[static_cast<std::size_t>(index)].name);
    return result::kSuccess;
}

std::int32_t RowReader::Open(std::shared_ptr<StoreConnection> conn, const Selection& selection) {
    Close();
    if (!conn || !conn->IsOpen()) return Fail(result::kStoreOpenFailed, "数据库对象打开失败");
    const TableDef* table = FindStoreTable(selection.table);
    if (table == nullptr) return Fail(result::kStoreOpenFailed, "数据库中没有表：" + selection.table);
    table_ = table;
    std::string where, firstColumn;
    std::vector<FieldValue> binds;
    for (std::size_t i = 0; i < selection.where.size(); ++i) {
        const Condition& c = selection.where[i];
        std::string column;
        if (std::int32_t rc = Column(c.field, column); rc != result::kSuccess) {
            table_ = nullptr;
            return rc;
        }
        if (i == 0) firstColumn = column;
        const FieldType type = table->fields[static_cast<std::size_t>(table->FieldIndex(c.field))].type;
        where += (i == 0 ? " WHERE " : " AND ") + column + (c.op == Condition::Op::Equal ? " = ?" : " BETWEEN ? AND ?");
        // A value no row of this field can hold matches nothing; null never compares equal.
        std::string why;
        FieldValue low, high;
        if (CoerceToField(type, c.low, low, why) != result::kSuccess) low = FieldValue{};
        binds.push_back(low);
        if (c.op == Condition::Op::Between) {
            if (CoerceToField(type, c.high, high, why) != result::kSuccess) high = FieldValue{};
            binds.push_back(high);
        }
    }
    conn_ = std::move(conn);
    selection_ = selection;
    where_ = std::move(where);
    binds_ = std::move(binds);
    const std::string row = QuoteIdentifier(kRowIdColumn);
    order_ = firstColumn.empty() ? row : firstColumn + ", " + row;
    orderDesc_ = firstColumn.empty() ? row + " DESC" : firstColumn + " DESC, " + row + " DESC";
    error_.clear();
    return result::kSuccess;
}

void RowReader::Bind(sqlite3_stmt* stmt, int first) const {
    for (std::size_t i = 0; i < binds_.size(); ++i) BindFieldValue(stmt, first + static_cast<int>(i), binds_[i]);
}

std::string RowReader::SelectList() const {
    std::string sql = "SELECT " + QuoteIdentifier(kRowIdColumn);
    for (const FieldDef& f : table_->fields) sql += ", " + QuoteIdentifier(f.name);
    return sql + " FROM " + QuoteIdentifier(table_->name);
}

std::int32_t RowReader::Count(std::int64_t& count) {
    count = 0;
    if (!IsOpen()) return Fail(result::kStoreOpenFailed, "数据库对象打开失败");
    // The whole table's count is kept by its triggers where it has them (a store read before a writer
    // opened it since has not, and is counted).
    const MaintainedTotals* kept = where_.empty() ? MaintainedTotalsOf(table_->name) : nullptr;
    std::unique_ptr<Statement> keptCount;
    if (kept != nullptr)
        keptCount =
            std::make_unique<Statement>(*conn_, "SELECT total(rows) FROM " + QuoteIdentifier(kept->totalsTable));
    if (keptCount && keptCount->PrepareResult() == SQLITE_OK) {
        if (sqlite3_step(keptCount->get()) != SQLITE_ROW) return Engine("读取记录数失败");
        count_ = static_cast<std::int64_t>(sqlite3_column_double(keptCount->get(), 0));
    } else {
        // A bare count is the engine's quickest: it counts the entries of the smallest index.
        Statement stmt(*conn_, "SELECT count(*) FROM " + QuoteIdentifier(table_->name) + where_);
        if (stmt.PrepareResult() != SQLITE_OK) return Engine("读取记录数失败");
        Bind(stmt.get(), 1);
        if (sqlite3_step(stmt.get()) != SQLITE_ROW) return Engine("读取记录数失败");
        count_ = sqlite3_column_int64(stmt.get(), 0);
    }
    dense_ = false;
    if (where_.empty() && count_ > 0) {
        const std::string row = QuoteIdentifier(kRowIdColumn);
        Statement ends(*conn_, "SELECT (SELECT min(" + row + ") FROM " + QuoteIdentifier(table_->name) +
                                   "), (SELECT max(" + row + ") FROM " + QuoteIdentifier(table_->name) + ")");
        if (ends.PrepareResult() != SQLITE_OK || sqlite3_step(ends.get()) != SQLITE_ROW)
            return Engine("读取记录数失败");
        firstId_ = sqlite3_column_int64(ends.get(), 0);
        dense_ = sqlite3_column_int64(ends.get(), 1) - firstId_ + 1 == count_;
    }
    count = count_;
    return result::kSuccess;
}

std::int32_t RowReader::ReadRows(const std::string& sql, const std::vector<std::int64_t>& extra, bool reverse,
                                 const std::function<bool(const StoredRow&)>& take) {
    Statement stmt(*conn_, sql);
    if (stmt.PrepareResult() != SQLITE_OK) return Engine("读取记录失败");
    // The condition values come first (a dense read has none), then the numbers the caller adds.
    Bind(stmt.get(), 1);
    int index = 1 + static_cast<int>(binds_.size());
    for (std::int64_t v : extra) sqlite3_bind_int64(stmt.get(), index++, v);
    std::vector<StoredRow> held;  // only for a window read backwards
    StoredRow row;
    row.values.resize(table_->fields.size());
    int rc;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
        row.id = sqlite3_column_int64(stmt.get(), 0);
        for (std::size_t i = 0; i < row.values.size(); ++i)
            row.values[i] = ColumnValue(stmt.get(), static_cast<int>(i + 1));
        if (reverse) {
            held.push_back(row);
        } else if (!take(row)) {
            return result::kSuccess;
        }
    }
    if (rc != SQLITE_DONE) return Engine("读取记录失败");
    for (auto it = held.rbegin(); it != held.rend(); ++it)
        if (!take(*it)) break;
    return result::kSuccess;
}

std::int32_t RowReader::ReadWindow(std::int64_t offset, int limit, std::vector<StoredRow>& out) {
    out.clear();
    if (!IsOpen()) return Fail(result::kStoreOpenFailed, "数据库对象打开失败");
    if (count_ < 0) {
        std::int64_t n = 0;
        if (std::int32_t rc = Count(n); rc != result::kSuccess) return rc;
    }
    if (offset < 0 || limit <= 0 || offset >= count_) return result::kSuccess;
    const std::int64_t n = std::min<std::int64_t>(limit, count_ - offset);
    auto take = [&out](const StoredRow& r) {
        out.push_back(r);
        return true;
    };
    std::int32_t rc;
    if (dense_) {
        rc =
            ReadRows(SelectList() + " WHERE " + QuoteIdentifier(kRowIdColumn) + " >= ? ORDER BY " + order_ + " LIMIT ?",
                     {firstId_ + offset, n}, false, take);
    } else if (offset <= count_ - offset - n) {
        rc = ReadRows(SelectList() + where_ + " ORDER BY " + order_ + " LIMIT ? OFFSET ?", {n, offset}, false, take);
    } else {
        // Nearer the end: counted from there, so that the last rows are found as quickly as the first.
        rc = ReadRows(SelectList() + where_ + " ORDER BY " + orderDesc_ + " LIMIT ? OFFSET ?", {n, count_ - offset - n},
                      true, take);
    }
    if (rc != result::kSuccess) out.clear();
    if (rc == result::kSuccess && dense_ && static_cast<std::int64_t>(out.size()) != n) {
        // Rows came or went since the count: read by position instead.
        dense_ = false;
        return ReadWindow(offset, limit, out);
    }
    return rc;
}

std::int32_t RowReader::ForEach(const std::function<bool(const StoredRow&)>& take) {
    if (!IsOpen()) return Fail(result::kStoreOpenFailed, "数据库对象打开失败");
    return ReadRows(SelectList() + where_ + " ORDER BY " + order_, {}, false, take);
}

std::int32_t RowReader::Totals(const std::vector<TotalWanted>& wanted, std::vector<double>& out) {
    out.assign(wanted.size(), 0.0);
    if (!IsOpen()) return Fail(result::kStoreOpenFailed, "数据库对象打开失败");
    if (wanted.empty()) return result::kSuccess;
    const MaintainedTotals* kept = where_.empty() ? MaintainedTotalsOf(table_->name) : nullptr;
    for (const TotalWanted& w : wanted)
        if (kept && (w.fields.size() != 1 || w.fields[0] != kept->amountField || w.kindField != kept->kindField))
            kept = nullptr;
    std::unique_ptr<Statement> keptTotals;
    if (kept != nullptr)
        keptTotals = std::make_unique<Statement>(
            *conn_, "SELECT amount FROM " + QuoteIdentifier(kept->totalsTable) + " WHERE kind = ?1");
    if (keptTotals && keptTotals->PrepareResult() == SQLITE_OK) {
        Statement& stmt = *keptTotals;
        for (std::size_t i = 0; i < wanted.size(); ++i) {
            sqlite3_bind_int64(stmt.get(), 1, wanted[i].kind);
            const int rc = sqlite3_step(stmt.get());
            if (rc == SQLITE_ROW)
                out[i] = sqlite3_column_double(stmt.get(), 0);
            else if (rc != SQLITE_DONE)
                return Engine("计算合计失败");
            sqlite3_reset(stmt.get());
        }
        return result::kSuccess;
    }
    std::string sql = "SELECT ";
    std::vector<std::int64_t> kinds;
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        std::string sum;
        for (const std::string& f : wanted[i].fields) {
            std::string column;
            if (std::int32_t rc = Column(f, column); rc != result::kSuccess) return rc;
            sum += (sum.empty() ? "" : " + ") + std::string("coalesce(") + column + ", 0)";
        }
        if (sum.empty()) sum = "0";
        if (!wanted[i].kindField.empty()) {
            std::string kind;
            if (std::int32_t rc = Column(wanted[i].kindField, kind); rc != result::kSuccess) return rc;
            sum = "CASE WHEN " + kind + " = ? THEN " + sum + " END";
            kinds.push_back(wanted[i].kind);
        }
        sql += (i ? ", total(" : "total(") + sum + ")";
    }
    sql += " FROM " + QuoteIdentifier(table_->name) + where_;
    Statement stmt(*conn_, sql);
    if (stmt.PrepareResult() != SQLITE_OK) return Engine("计算合计失败");
    int index = 1;
    for (std::int64_t k : kinds) sqlite3_bind_int64(stmt.get(), index++, k);
    Bind(stmt.get(), index);
    if (sqlite3_step(stmt.get()) != SQLITE_ROW) return Engine("计算合计失败");
    for (std::size_t i = 0; i < wanted.size(); ++i) out[i] = sqlite3_column_double(stmt.get(), static_cast<int>(i));
    return result::kSuccess;
}

std::int32_t RowReader::SumsByKey(std::string_view keyField, const std::vector<std::vector<std::string>>& sums,
                                  int limit, std::vector<KeyedSums>& out) {
    out.clear();
    if (!IsOpen()) return Fail(result::kStoreOpenFailed, "数据库对象打开失败");
    std::string key;
    if (std::int32_t rc = Column(keyField, key); rc != result::kSuccess) return rc;
    std::string sql = "SELECT " + key;
    for (const auto& fields : sums) {
        std::string sum;
        for (const std::string& f : fields) {
            std::string column;
            if (std::int32_t rc = Column(f, column); rc != result::kSuccess) return rc;
            // Numbers kept as text (invoice numbers) count by their value.
            sum += (sum.empty() ? "" : " + ") + std::string("total(CAST(") + column + " AS REAL))";
        }
        sql += ", " + (sum.empty() ? std::string("0") : sum);
    }
    sql +=
        " FROM " + QuoteIdentifier(table_->name) + where_ + " GROUP BY " + key + " ORDER BY " + key + " DESC LIMIT ?";
    Statement stmt(*conn_, sql);
    if (stmt.PrepareResult() != SQLITE_OK) return Engine("计算合计失败");
    Bind(stmt.get(), 1);
    sqlite3_bind_int(stmt.get(), static_cast<int>(binds_.size()) + 1, std::max(limit, 0));
    int rc;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
        KeyedSums k;
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt.get(), 0));
        k.key = text ? text : "";
        for (std::size_t i = 0; i < sums.size(); ++i)
            k.sums.push_back(sqlite3_column_double(stmt.get(), static_cast<int>(i + 1)));
        out.push_back(std::move(k));
    }
    if (rc != SQLITE_DONE) {
        out.clear();
        return Engine("计算合计失败");
    }
    std::reverse(out.begin(), out.end());
    return result::kSuccess;
}

}  // namespace karvex
