#include "store/record_set.h"

#include <sqlcipher/sqlite3.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <optional>

#include "store/store_codes.h"

namespace karvex {
namespace {

bool ParseInteger(std::string_view text, std::int64_t& out) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return false;
    auto r = std::from_chars(text.data(), text.data() + text.size(), out);
    return r.ec == std::errc() && r.ptr == text.data() + text.size();
}

bool ParseDouble(std::string_view text, double& out) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return false;
    auto r = std::from_chars(text.data(), text.data() + text.size(), out, std::chars_format::fixed);
    return r.ec == std::errc() && r.ptr == text.data() + text.size() && std::isfinite(out);
}

std::string DoubleText(double d) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, d);
    return std::string(buf, r.ptr);
}

bool RangeOf(FieldType type, std::int64_t& lo, std::int64_t& hi) {
    switch (type) {
    case FieldType::Byte:
        lo = 0;
        hi = 255;
        return true;
    case FieldType::Short:
        lo = -32768;
        hi = 32767;
        return true;
    case FieldType::Long:
        lo = std::numeric_limits<std::int32_t>::min();
        hi = std::numeric_limits<std::int32_t>::max();
        return true;
    default: return false;
    }
}

// Orders two non-null values of comparable kinds; nullopt when they cannot be compared.
std::optional<int> Compare(const FieldValue& a, const FieldValue& b) {
    auto number = [](const FieldValue& v) -> std::optional<double> {
        if (const auto* i = std::get_if<std::int64_t>(&v)) return static_cast<double>(*i);
        if (const auto* d = std::get_if<double>(&v)) return *d;
        return std::nullopt;
    };
    const auto* ia = std::get_if<std::int64_t>(&a);
    const auto* ib = std::get_if<std::int64_t>(&b);
    if (ia && ib) return *ia < *ib ? -1 : (*ia > *ib ? 1 : 0);
    auto na = number(a);
    auto nb = number(b);
    if (na && nb) return *na < *nb ? -1 : (*na > *nb ? 1 : 0);
    const auto* sa = std::get_if<std::string>(&a);
    const auto* sb = std::get_if<std::string>(&b);
    if (sa && sb) {
        int c = sa->compare(*sb);
        return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    return std::nullopt;
}

}  // namespace

FieldValue ColumnValue(sqlite3_stmt* stmt, int index) {
    switch (sqlite3_column_type(stmt, index)) {
    case SQLITE_INTEGER: return static_cast<std::int64_t>(sqlite3_column_int64(stmt, index));
    case SQLITE_FLOAT: return sqlite3_column_double(stmt, index);
    case SQLITE_TEXT: {
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt, index));
        return std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(stmt, index)));
    }
    case SQLITE_BLOB: {
        const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt, index));
        return Bytes(p, p + sqlite3_column_bytes(stmt, index));
    }
    default: return FieldValue{};
    }
}

void BindFieldValue(sqlite3_stmt* stmt, int index, const FieldValue& v) {
    if (const auto* i = std::get_if<std::int64_t>(&v)) {
        sqlite3_bind_int64(stmt, index, *i);
    } else if (const auto* d = std::get_if<double>(&v)) {
        sqlite3_bind_double(stmt, index, *d);
    } else if (const auto* s = std::get_if<std::string>(&v)) {
        sqlite3_bind_text(stmt, index, s->data(), static_cast<int>(s->size()), SQLITE_TRANSIENT);
    } else if (const auto* b = std::get_if<Bytes>(&v)) {
        sqlite3_bind_blob(stmt, index, b->data(), static_cast<int>(b->size()), SQLITE_TRANSIENT);
    } else {
        sqlite3_bind_null(stmt, index);
    }
}

std::int32_t CoerceToField(FieldType type, const FieldValue& in, FieldValue& out, std::string& why) {
    if (std::holds_alternative<std::monostate>(in)) {
        out = FieldValue{};
        return result::kSuccess;
    }
    if (type == FieldType::Text) {
        if (const auto* s = std::get_if<std::string>(&in))
            out = *s;
        else if (const auto* b = std::get_if<Bytes>(&in))
            out = std::string(b->begin(), b->end());
        else if (const auto* i = std::get_if<std::int64_t>(&in))
            out = std::to_string(*i);
        else
            out = DoubleText(std::get<double>(in));
        return result::kSuccess;
    }
    if (type == FieldType::Double) {
        double d = 0;
        if (const auto* i = std::get_if<std::int64_t>(&in))
            d = static_cast<double>(*i);
        else if (const auto* v = std::get_if<double>(&in))
            d = *v;
        else if (const auto* s = std::get_if<std::string>(&in); s && ParseDouble(*s, d)) {
        } else {
            why = "数值字段不能存放此值";
            return result::kStoreTypeMismatch;
        }
        if (!std::isfinite(d)) {
            why = "数值字段不能存放非有限数";
            return result::kStoreTypeMismatch;
        }
        out = d;
        return result::kSuccess;
    }
    std::int64_t v = 0;
    if (const auto* i = std::get_if<std::int64_t>(&in)) {
        v = *i;
    } else if (const auto* d = std::get_if<double>(&in)) {
        if (!std::isfinite(*d) || std::trunc(*d) != *d || std::fabs(*d) > 9.0e15) {
            why = "整数字段不能存放带小数的数值";
            return result::kStoreTypeMismatch;
        }
        v = static_cast<std::int64_t>(*d);
    } else if (const auto* s = std::get_if<std::string>(&in); s && ParseInteger(*s, v)) {
    } else {
        why = "整数字段不能存放此值";
        return result::kStoreTypeMismatch;
    }
    std::int64_t lo = 0, hi = 0;
    if (RangeOf(type, lo, hi) && (v < lo || v > hi)) {
        why = "数值 " + std::to_string(v) + " 超出字段范围 [" + std::to_string(lo) + ", " + std::to_string(hi) + "]";
        return result::kStoreTypeMismatch;
    }
    out = v;
    return result::kSuccess;
}

std::int32_t RecordSet::Fail(std::int32_t code, std::string text) const {
    error_ = std::move(text);
    return code;
}

std::int32_t RecordSet::FailFromConnection(std::int32_t code) const {
    error_ = conn_ ? conn_->LastErrorText() : std::string();
    return code;
}

std::int32_t RecordSet::CheckOpen() const {
    if (!IsOpen()) return Fail(result::kStoreOpenFailed, "数据库对象打开失败");
    return result::kSuccess;
}

std::int32_t RecordSet::ResolveConditions(const std::vector<Condition>& conds, std::vector<int>& columns) const {
    columns.clear();
    for (const Condition& c : conds) {
        int index = table_->FieldIndex(c.field);
        if (index < 0) return Fail(result::kNoSuchField, "数据库表中没有此字段：" + table_->name + "." + c.field);
        columns.push_back(index);
    }
    return result::kSuccess;
}

std::int32_t RecordSet::Open(std::shared_ptr<StoreConnection> conn, std::string_view selectText) {
    Selection sel;
    std::string why;
    if (ParseSelectText(selectText, sel, why) != result::kSuccess) {
        Close();
        return Fail(result::kStoreOpenFailed, why);
    }
    return Open(std::move(conn), sel);
}

std::int32_t RecordSet::Open(std::shared_ptr<StoreConnection> conn, const Selection& selection) {
    Close();
    if (!conn || !conn->IsOpen()) return Fail(result::kStoreOpenFailed, "数据库对象打开失败");
    const TableDef* table = FindStoreTable(selection.table);
    if (table == nullptr) return Fail(result::kStoreOpenFailed, "数据库中没有表：" + selection.table);
    conn_ = std::move(conn);
    table_ = table;
    selection_ = selection;
    std::int32_t code = Requery();
    if (code != result::kSuccess) {
        std::string text = error_;
        Close();
        error_ = text;
    }
    return code;
}

std::int32_t RecordSet::Requery() {
    if (std::int32_t code = CheckOpen(); code != result::kSuccess) return code;
    std::vector<int> columns;
    if (std::int32_t code = ResolveConditions(selection_.where, columns); code != result::kSuccess) return code;
    std::string sql = "SELECT " + QuoteIdentifier(kRowIdColumn);
    for (const FieldDef& f : table_->fields) sql += ", " + QuoteIdentifier(f.name);
    sql += " FROM " + QuoteIdentifier(table_->name);
    std::vector<FieldValue> binds;
    for (std::size_t i = 0; i < selection_.where.size(); ++i) {
        const Condition& c = selection_.where[i];
        const FieldDef& f = table_->fields[static_cast<std::size_t>(columns[i])];
        sql += i == 0 ? " WHERE " : " AND ";
        sql += QuoteIdentifier(f.name);
        sql += c.op == Condition::Op::Equal ? " = ?" : " BETWEEN ? AND ?";
        // A value that no row of this field can hold matches nothing; null never compares equal.
        std::string why;
        FieldValue low, high;
        if (CoerceToField(f.type, c.low, low, why) != result::kSuccess) low = FieldValue{};
        binds.push_back(low);
        if (c.op == Condition::Op::Between) {
            if (CoerceToField(f.type, c.high, high, why) != result::kSuccess) high = FieldValue{};
            binds.push_back(high);
        }
    }
    sql += " ORDER BY " + QuoteIdentifier(kRowIdColumn);
    Statement stmt(*conn_, sql);
    if (stmt.PrepareResult() != SQLITE_OK)
        return FailFromConnection(conn_->FailEngine(stmt.PrepareResult(), "打开记录集失败"));
    for (std::size_t i = 0; i < binds.size(); ++i) BindFieldValue(stmt.get(), static_cast<int>(i + 1), binds[i]);
    std::vector<Row> rows;
    int rc;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
        Row row;
        row.id = sqlite3_column_int64(stmt.get(), 0);
        row.values.reserve(table_->fields.size());
        for (std::size_t i = 0; i < table_->fields.size(); ++i)
            row.values.push_back(ColumnValue(stmt.get(), static_cast<int>(i + 1)));
        rows.push_back(std::move(row));
    }
    if (rc != SQLITE_DONE)
        return FailFromConnection(conn_->FailEngine(sqlite3_extended_errcode(conn_->Handle()), "读取记录失败"));
    rows_ = std::move(rows);
    pos_ = 0;
    CancelUpdate();
    return result::kSuccess;
}

void RecordSet::Close() {
    conn_.reset();
    table_ = nullptr;
    selection_ = Selection{};
    rows_.clear();
    pos_ = 0;
    editing_ = adding_ = false;
    buffer_.clear();
    dirty_.clear();
}

std::int32_t RecordSet::RecordCount(std::int64_t& count) const {
    count = 0;
    if (std::int32_t code = CheckOpen(); code != result::kSuccess) return code;
    count = static_cast<std::int64_t>(rows_.size());
    return result::kSuccess;
}

bool RecordSet::Bof() const { return !IsOpen() || rows_.empty() || pos_ < 0; }
bool RecordSet::Eof() const { return !IsOpen() || rows_.empty() || pos_ >= static_cast<std::ptrdiff_t>(rows_.size()); }

std::int32_t RecordSet::SaveIfEditing() {
    if (!editing_ && !adding_) return result::kSuccess;
    return Update();
}

std::int32_t RecordSet::MoveFirst() {
    if (std::int32_t code = CheckOpen(); code != result::kSuccess) return code;
    if (std::int32_t code = SaveIfEditing(); code != result::kSuccess) return code;
    if (rows_.empty()) return Fail(result::kNoCurrentRecord, "空表中不能移动记录游标");
    pos_ = 0;
    return result::kSuccess;
}

std::int32_t RecordSet::MoveNext() {
    if (std::int32_t code = CheckOpen(); code != result::kSuccess) return code;
    if (std::int32_t code = SaveIfEditing(); code != result::kSuccess) return code;
    if (Eof()) return Fail(result::kNoCurrentRecord, "空表中不能移动记录游标");
    ++pos_;
    return result::kSuccess;
}

bool RecordSet::Matches(const Row& row, const std::vector<Condition>& conds, const std::vector<int>& columns) const {
    for (std::size_t i = 0; i < conds.size(); ++i) {
        const Condition& c = conds[i];
        auto col = static_cast<std::size_t>(columns[i]);
        const FieldValue& stored = row.values[col];
        if (std::holds_alternative<std::monostate>(stored)) return false;
        std::string why;
        FieldValue low;
        if (CoerceToField(table_->fields[col].type, c.low, low, why) != result::kSuccess) return false;
        auto lo = Compare(stored, low);
        if (!lo) return false;
        if (c.op == Condition::Op::Equal) {
            if (*lo != 0) return false;
            continue;
        }
        FieldValue high;
        if (CoerceToField(table_->fields[col].type, c.high, high, why) != result::kSuccess) return false;
        auto hi = Compare(stored, high);
        if (*lo < 0 || !hi || *hi > 0) return false;
    }
    return true;
}

std::int32_t RecordSet::Find(std::string_view criterion) {
    if (std::int32_t code = CheckOpen(); code != result::kSuccess) return code;
    std::vector<Condition> conds;
    std::string why;
    if (std::int32_t code = ParseCriterion(criterion, conds, why); code != result::kSuccess) return Fail(code, why);
    std::vector<int> columns;
    if (std::int32_t code = ResolveConditions(conds, columns); code != result::kSuccess) return code;
    if (std::int32_t code = SaveIfEditing(); code != result::kSuccess) return code;
    std::ptrdiff_t i = pos_ < 0 ? 0 : pos_;
    for (; i < static_cast<std::ptrdiff_t>(rows_.size()); ++i) {
        if (Matches(rows_[static_cast<std::size_t>(i)], conds, columns)) break;
    }
    pos_ = i;
    return result::kSuccess;
}

std::int32_t RecordSet::AddNew() {
    if (std::int32_t code = CheckOpen(); code != result::kSuccess) return code;
    if (std::int32_t code = SaveIfEditing(); code != result::kSuccess) return code;
    addReturnPos_ = pos_;
    adding_ = true;
    editing_ = false;
    buffer_.assign(table_->fields.size(), FieldValue{});
    dirty_.assign(table_->fields.size(), false);
    return result::kSuccess;
}

void RecordSet::CancelUpdate() {
    if (adding_) pos_ = addReturnPos_;
    adding_ = editing_ = false;
    buffer_.clear();
    dirty_.clear();
}

std::int32_t RecordSet::Update() {
    if (std::int32_t code = CheckOpen(); code != result::kSuccess) return code;
    if (!editing_ && !adding_) return result::kSuccess;
    std::vector<std::size_t> changed;
    for (std::size_t i = 0; i < dirty_.size(); ++i)
        if (dirty_[i]) changed.push_back(i);
    const std::string table = QuoteIdentifier(table_->name);
    std::string sql;
    if (adding_) {
        if (changed.empty()) {
            sql = "INSERT INTO " + table + " DEFAULT VALUES";
        } else {
            std::string names, marks;
            for (std::size_t i : changed) {
                names += (names.empty() ? "" : ", ") + QuoteIdentifier(table_->fields[i].name);
                marks += marks.empty() ? "?" : ", ?";
            }
            sql = "INSERT INTO " + table + " (" + names + ") VALUES (" + marks + ")";
        }
    } else {
        if (changed.empty()) {
            CancelUpdate();
            return result::kSuccess;
        }
        std::string sets;
        for (std::size_t i : changed)
            sets += (sets.empty() ? "" : ", ") + QuoteIdentifier(table_->fields[i].name) + " = ?";
        sql = "UPDATE " + table + " SET " + sets + " WHERE " + QuoteIdentifier(kRowIdColumn) + " = ?";
    }
    std::int32_t code = result::kSuccess;
    {
        Statement stmt(*conn_, sql);
        if (stmt.PrepareResult() != SQLITE_OK) {
            code = FailFromConnection(conn_->FailEngine(stmt.PrepareResult(), "保存记录失败"));
        } else {
            int n = 1;
            for (std::size_t i : changed) BindFieldValue(stmt.get(), n++, buffer_[i]);
            if (!adding_) sqlite3_bind_int64(stmt.get(), n, rows_[static_cast<std::size_t>(pos_)].id);
            int rc = sqlite3_step(stmt.get());
            if (rc != SQLITE_DONE) {
                code = FailFromConnection(conn_->FailEngine(sqlite3_extended_errcode(conn_->Handle()), "保存记录失败"));
            } else if (!adding_ && sqlite3_changes(conn_->Handle()) == 0) {
                code = Fail(result::kNoCurrentRecord, "当前记录已不在表中");
            }
        }
    }
    if (code != result::kSuccess) {
        CancelUpdate();
        return code;
    }
    if (adding_) {
        Row row{sqlite3_last_insert_rowid(conn_->Handle()), std::move(buffer_)};
        rows_.push_back(std::move(row));
        pos_ = static_cast<std::ptrdiff_t>(rows_.size()) - 1;
    } else {
        rows_[static_cast<std::size_t>(pos_)].values = std::move(buffer_);
    }
    adding_ = editing_ = false;
    buffer_.clear();
    dirty_.clear();
    return result::kSuccess;
}

std::int32_t RecordSet::Delete() {
    if (std::int32_t code = CheckOpen(); code != result::kSuccess) return code;
    if (adding_) {
        CancelUpdate();
        return result::kSuccess;
    }
    CancelUpdate();
    if (Bof() || Eof()) return Fail(result::kNoCurrentRecord, "空表中不能移动记录游标");
    Statement stmt(*conn_,
                   "DELETE FROM " + QuoteIdentifier(table_->name) + " WHERE " + QuoteIdentifier(kRowIdColumn) + " = ?");
    if (stmt.PrepareResult() != SQLITE_OK)
        return FailFromConnection(conn_->FailEngine(stmt.PrepareResult(), "删除记录失败"));
    sqlite3_bind_int64(stmt.get(), 1, rows_[static_cast<std::size_t>(pos_)].id);
    if (sqlite3_step(stmt.get()) != SQLITE_DONE)
        return FailFromConnection(conn_->FailEngine(sqlite3_extended_errcode(conn_->Handle()), "删除记录失败"));
    rows_.erase(rows_.begin() + pos_);
    return result::kSuccess;
}

std::int32_t RecordSet::DeleteAll() {
    if (std::int32_t code = CheckOpen(); code != result::kSuccess) return code;
    CancelUpdate();
    if (rows_.empty()) return result::kSuccess;
    StoreTransaction tx(*conn_);
    if (tx.BeginResult() != result::kSuccess) return FailFromConnection(tx.BeginResult());
    {
        Statement stmt(*conn_, "DELETE FROM " + QuoteIdentifier(table_->name) + " WHERE " +
                                   QuoteIdentifier(kRowIdColumn) + " = ?");
        if (stmt.PrepareResult() != SQLITE_OK)
            return FailFromConnection(conn_->FailEngine(stmt.PrepareResult(), "删除记录失败"));
        for (const Row& row : rows_) {
            sqlite3_reset(stmt.get());
            sqlite3_bind_int64(stmt.get(), 1, row.id);
            if (sqlite3_step(stmt.get()) != SQLITE_DONE)
                return FailFromConnection(conn_->FailEngine(sqlite3_extended_errcode(conn_->Handle()), "删除记录失败"));
        }
    }
    if (std::int32_t code = tx.Commit(); code != result::kSuccess) return FailFromConnection(code);
    rows_.clear();
    pos_ = 0;
    return result::kSuccess;
}

std::int32_t RecordSet::Locate(std::string_view field, int& index) const {
    if (std::int32_t code = CheckOpen(); code != result::kSuccess) return code;
    index = table_->FieldIndex(field);
    if (index < 0)
        return Fail(result::kNoSuchField, "数据库表中没有此字段：" + table_->name + "." + std::string(field));
    return result::kSuccess;
}

const std::vector<FieldValue>* RecordSet::CurrentValues() const {
    if (editing_ || adding_) return &buffer_;
    if (Bof() || Eof()) return nullptr;
    return &rows_[static_cast<std::size_t>(pos_)].values;
}

std::int32_t RecordSet::Set(std::string_view field, const FieldValue& value) {
    int index = -1;
    if (std::int32_t code = Locate(field, index); code != result::kSuccess) return code;
    auto col = static_cast<std::size_t>(index);
    if (!editing_ && !adding_) {
        if (Bof() || Eof()) return Fail(result::kNoCurrentRecord, "空表中不能移动记录游标");
        buffer_ = rows_[static_cast<std::size_t>(pos_)].values;
        dirty_.assign(buffer_.size(), false);
        editing_ = true;
    }
    FieldValue stored;
    std::string why;
    if (CoerceToField(table_->fields[col].type, value, stored, why) != result::kSuccess)
        return Fail(result::kStoreTypeMismatch, table_->name + "." + table_->fields[col].name + "：" + why);
    buffer_[col] = std::move(stored);
    dirty_[col] = true;
    return result::kSuccess;
}

std::int32_t RecordSet::Get(std::string_view field, FieldValue& out) const {
    out = FieldValue{};
    int index = -1;
    if (std::int32_t code = Locate(field, index); code != result::kSuccess) return code;
    const auto* values = CurrentValues();
    if (values == nullptr) return Fail(result::kNoCurrentRecord, "空表中不能移动记录游标");
    out = (*values)[static_cast<std::size_t>(index)];
    return result::kSuccess;
}

std::int32_t RecordSet::IsNull(std::string_view field, bool& out) const {
    FieldValue v;
    std::int32_t code = Get(field, v);
    out = code == result::kSuccess && std::holds_alternative<std::monostate>(v);
    return code;
}

std::int32_t RecordSet::GetText(std::string_view field, std::string& out) const {
    out.clear();
    FieldValue v;
    if (std::int32_t code = Get(field, v); code != result::kSuccess) return code;
    FieldValue text;
    std::string why;
    CoerceToField(FieldType::Text, v, text, why);
    if (const auto* s = std::get_if<std::string>(&text)) out = *s;
    return result::kSuccess;
}

std::int32_t RecordSet::GetBytes(std::string_view field, Bytes& out) const {
    out.clear();
    std::string text;
    std::int32_t code = GetText(field, text);
    out.assign(text.begin(), text.end());
    return code;
}

std::int32_t RecordSet::GetInteger(std::string_view field, std::int64_t& out) const {
    out = 0;
    FieldValue v;
    if (std::int32_t code = Get(field, v); code != result::kSuccess) return code;
    if (std::holds_alternative<std::monostate>(v)) return result::kSuccess;
    // Wider than a long is still a valid integer to read; only non-integral values fail.
    if (const auto* i = std::get_if<std::int64_t>(&v)) {
        out = *i;
        return result::kSuccess;
    }
    if (const auto* d = std::get_if<double>(&v)) {
        if (std::isfinite(*d) && std::trunc(*d) == *d && std::fabs(*d) <= 9.0e15) {
            out = static_cast<std::int64_t>(*d);
            return result::kSuccess;
        }
    } else if (const auto* s = std::get_if<std::string>(&v); s && ParseInteger(*s, out)) {
        return result::kSuccess;
    }
    out = 0;
    return Fail(result::kStoreTypeMismatch, table_->name + "." + std::string(field) + "：字段值不是整数");
}

std::int32_t RecordSet::GetDouble(std::string_view field, double& out) const {
    out = 0;
    FieldValue v;
    if (std::int32_t code = Get(field, v); code != result::kSuccess) return code;
    if (std::holds_alternative<std::monostate>(v)) return result::kSuccess;
    FieldValue d;
    std::string why;
    if (CoerceToField(FieldType::Double, v, d, why) != result::kSuccess)
        return Fail(result::kStoreTypeMismatch, table_->name + "." + std::string(field) + "：字段值不是数值");
    out = std::get<double>(d);
    return result::kSuccess;
}

}  // namespace karvex
