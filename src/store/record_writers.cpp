#include "store/record_writers.h"

#include <sqlcipher/sqlite3.h>

#include <charconv>

#include "convert/conversions.h"
#include "store/schema.h"
#include "store/store_codes.h"

namespace karvex {
namespace {

constexpr const char* kPrintDataTitle = "发票打印数据";
constexpr std::uint8_t kRollDispensed = 1;
constexpr std::uint8_t kRollInUse = 2;
constexpr std::uint8_t kRollUsedUp = 3;
constexpr std::int64_t kSignatureWaiting = 1;
constexpr std::int64_t kSignatureSigned = 2;
constexpr std::int64_t kSignatureSuperseded = 3;
// The marker row of MakeInvoice that follows the current invoice number.
constexpr std::int64_t kMakeInvoiceMarker = 4;

std::string ColumnText(sqlite3_stmt* stmt, int index) {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt, index));
    return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(stmt, index))) : std::string();
}

bool ParseNumber(const std::string& text, std::uint64_t& out) {
    if (text.empty()) return false;
    auto r = std::from_chars(text.data(), text.data() + text.size(), out);
    return r.ec == std::errc() && r.ptr == text.data() + text.size();
}

FieldValue Int(std::int64_t v) { return v; }

void AddTaxSlots(FieldList& f, const std::array<TaxSlot, kAnswerSlots>& slots) {
    for (int k = 0; k < kAnswerSlots; ++k) {
        const std::string n = std::to_string(k + 1);
        const TaxSlot& s = slots[static_cast<std::size_t>(k)];
        f.emplace_back("税种税目索引号" + n, Int(s.tax_index));
        f.emplace_back("正常发票累计金额" + n, s.normal_total);
        f.emplace_back("退票累计金额" + n, s.return_total);
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// Statement cache

sqlite3_stmt* StatementCache::Get(StoreConnection& conn, const std::string& sql) {
    if (db_ != conn.Handle()) {
        Release();
        db_ = conn.Handle();
    }
    auto it = statements_.find(sql);
    if (it != statements_.end()) {
        sqlite3_reset(it->second);
        sqlite3_clear_bindings(it->second);
        return it->second;
    }
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v2(conn.Handle(), sql.c_str(), static_cast<int>(sql.size()), &stmt, nullptr);
    if (rc != SQLITE_OK) {
        conn.FailEngine(rc, "准备语句失败");
        sqlite3_finalize(stmt);
        return nullptr;
    }
    statements_.emplace(sql, stmt);
    return stmt;
}

void StatementCache::Release() {
    for (auto& [sql, stmt] : statements_) sqlite3_finalize(stmt);
    statements_.clear();
    db_ = nullptr;
}

// ---------------------------------------------------------------------------------------------------------
// Writers

StoreRecordWriters::StoreRecordWriters(std::shared_ptr<StoreHandle> store, WriterNotice notice)
    : store_(std::move(store)), notice_(std::move(notice)) {}

StoreRecordWriters::~StoreRecordWriters() = default;

StoreAccess* StoreRecordWriters::Store() { return store_ ? store_->Open() : nullptr; }

ResultCode StoreRecordWriters::Fail(ResultCode code, std::string text) {
    error_ = std::move(text);
    return code;
}

ResultCode StoreRecordWriters::Engine(const std::string& what) {
    StoreAccess* s = Store();
    if (s == nullptr) return Fail(result::kStoreOpenFailed, "数据库对象打开失败");
    StoreConnection& conn = *s->Connection();
    // Two statements: the text must be read after FailEngine has set it.
    const int engine = sqlite3_extended_errcode(conn.Handle());
    const ResultCode code = conn.FailEngine(engine, what);
    // A row the table refuses (a constraint, a value too big) is that frame's alone; a store that cannot
    // write at all fails the whole answer.
    switch (engine & 0xff) {
    case SQLITE_CONSTRAINT:
    case SQLITE_MISMATCH:
    case SQLITE_TOOBIG:
    case SQLITE_RANGE: break;
    default: engineFailed_ = true; break;
    }
    return Fail(code, conn.LastErrorText());
}

ResultCode StoreRecordWriters::Notify(ResultCode code, const std::string& title) {
    if (code != result::kSuccess && notice_) notice_(title, error_);
    return code;
}

ResultCode StoreRecordWriters::OpenCommandTables(std::uint8_t command) {
    // Rows of an answer left open are kept with it, as the store keeps its other writes.
    FlushBatch();
    batch_ = {};
    closeResult_ = 0;
    engineFailed_ = false;
    error_.clear();
    StoreAccess* s = Store();
    if (s == nullptr) {
        // A command without tables needs no store.
        return StoreAccess::AnswerTableOf(command) == nullptr ? result::kSuccess
                                                              : Fail(result::kStoreOpenFailed, "数据库对象打开失败");
    }
    std::int32_t rc = s->OpenCommandTables(command, 0, !keepTables_);
    if (rc != result::kSuccess) error_ = s->LastErrorText();
    inAnswer_ = rc == result::kSuccess && StoreAccess::AnswerTableOf(command) != nullptr;
    return rc;
}

ResultCode StoreRecordWriters::AnswerUndone() {
    StoreAccess* s = inAnswer_ ? Store() : nullptr;
    if (s == nullptr || !sqlite3_get_autocommit(s->Connection()->Handle())) return result::kSuccess;
    engineFailed_ = true;
    return Fail(result::kExecutionFailed, "事务已被存储引擎撤销，修改没有保存");
}

ResultCode StoreRecordWriters::ClearCommandTable(std::uint8_t command) {
    // Only the tables each answer refills are emptied: the single rows, the rolls counted by the
    // current-number answer and the signing rows are kept whatever the answer's frame count.
    if (keepTables_ || !StoreAccess::AnswerRefillsTable(command)) return result::kSuccess;
    StoreAccess* s = Store();
    if (s == nullptr) return Fail(result::kStoreOpenFailed, "数据库对象打开失败");
    std::int32_t rc = s->ClearAccessTable(0);
    if (rc != result::kSuccess) {
        error_ = s->LastErrorText();
        return rc;
    }
    if (const char* name = StoreAccess::AnswerTableOf(command)) batch_.table = FindStoreTable(name);
    return rc;
}

void StoreRecordWriters::CloseCommandTables(std::uint8_t command) {
    StoreAccess* s = Store();
    if (s == nullptr) return;
    // A waiting row that cannot be written fails the answer, as it would have failed its frame; the rows
    // that could be written are kept with the others.
    const ResultCode flushed = FlushBatch();
    const std::string flushError = flushed != result::kSuccess ? error_ : std::string();
    batch_ = {};
    inAnswer_ = false;
    std::int32_t rc = s->CloseCommandTables(command, 0, AnswerOutcome::Keep);
    if (rc == result::kSuccess && flushed != result::kSuccess) {
        rc = flushed;
        error_ = flushError;
    }
    if (rc != result::kSuccess) {
        // A writer's failure tells more than the commit that followed it (a full disk makes the engine
        // undo the whole transaction, and the commit only finds it gone).
        if (error_.empty()) error_ = s->LastErrorText();
        closeResult_ = rc;
    }
}

void StoreRecordWriters::AbandonCommandTables(std::uint8_t command) {
    batch_ = {};
    inAnswer_ = false;
    if (StoreAccess* s = Store()) s->CloseCommandTables(command, 0, AnswerOutcome::Discard);
}

ResultCode StoreRecordWriters::FirstRow(const TableDef& table, std::string_view field, const FieldValue& value,
                                        std::int64_t& row) {
    row = 0;
    StoreAccess* s = Store();
    if (s == nullptr) return Fail(result::kStoreOpenFailed, "数据库对象打开失败");
    std::string sql = "SELECT " + QuoteIdentifier(kRowIdColumn) + " FROM " + QuoteIdentifier(table.name);
    FieldValue bound;
    if (!field.empty()) {
        const int index = table.FieldIndex(field);
        if (index < 0)
            return Fail(result::kNoSuchField, "数据库表中没有此字段：" + table.name + "." + std::string(field));
        std::string why;
        if (CoerceToField(table.fields[static_cast<std::size_t>(index)].type, value, bound, why) != result::kSuccess)
            return result::kSuccess;  // no row can hold this value
        sql += " WHERE " + QuoteIdentifier(table.fields[static_cast<std::size_t>(index)].name) + " = ?1";
    }
    sql += " ORDER BY " + QuoteIdentifier(kRowIdColumn) + " LIMIT 1";
    sqlite3_stmt* stmt = cache_.Get(*s->Connection(), sql);
    if (stmt == nullptr) return Fail(result::kExecutionFailed, s->Connection()->LastErrorText());
    if (!field.empty()) BindFieldValue(stmt, 1, bound);
    int rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW)
        row = sqlite3_column_int64(stmt, 0);
    else if (rc != SQLITE_DONE)
        return Engine("查找记录失败");
    sqlite3_reset(stmt);
    return result::kSuccess;
}

ResultCode StoreRecordWriters::CountRows(const TableDef& table, std::int64_t& count) {
    count = 0;
    StoreAccess* s = Store();
    if (s == nullptr) return Fail(result::kStoreOpenFailed, "数据库对象打开失败");
    sqlite3_stmt* stmt = cache_.Get(*s->Connection(), "SELECT count(*) FROM " + QuoteIdentifier(table.name));
    if (stmt == nullptr) return Fail(result::kExecutionFailed, s->Connection()->LastErrorText());
    if (sqlite3_step(stmt) != SQLITE_ROW) return Engine("读取记录数失败");
    count = sqlite3_column_int64(stmt, 0);
    sqlite3_reset(stmt);
    return result::kSuccess;
}

ResultCode StoreRecordWriters::ReadText(const TableDef& table, std::int64_t row, std::string_view field,
                                        std::string& out) {
    out.clear();
    StoreAccess* s = Store();
    if (s == nullptr) return Fail(result::kStoreOpenFailed, "数据库对象打开失败");
    const int index = table.FieldIndex(field);
    if (index < 0) return Fail(result::kNoSuchField, "数据库表中没有此字段：" + table.name + "." + std::string(field));
    sqlite3_stmt* stmt = cache_.Get(
        *s->Connection(), "SELECT " + QuoteIdentifier(table.fields[static_cast<std::size_t>(index)].name) + " FROM " +
                              QuoteIdentifier(table.name) + " WHERE " + QuoteIdentifier(kRowIdColumn) + " = ?1");
    if (stmt == nullptr) return Fail(result::kExecutionFailed, s->Connection()->LastErrorText());
    sqlite3_bind_int64(stmt, 1, row);
    int rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW)
        out = ColumnText(stmt, 0);
    else if (rc == SQLITE_DONE)
        return Fail(result::kNoCurrentRecord, "当前记录已不在表中");
    else
        return Engine("读取记录失败");
    sqlite3_reset(stmt);
    return result::kSuccess;
}

ResultCode StoreRecordWriters::WriteRow(std::string_view tableName, RowPosition position, const FieldList& fields,
                                        std::string_view keyField, const std::string& key) {
    StoreAccess* s = Store();
    if (s == nullptr) return Fail(result::kStoreOpenFailed, "数据库对象打开失败");
    const TableDef* table = FindStoreTable(tableName);
    if (table == nullptr) return Fail(result::kStoreOpenFailed, "数据库中没有表：" + std::string(tableName));
    if (ResultCode rc = AnswerUndone(); rc != result::kSuccess) return rc;
    if (Batchable(*table, position, keyField, key)) return AddToBatch(*table, fields, key);
    // Whatever is read or written next sees the rows written before it.
    if (ResultCode rc = FlushBatch(); rc != result::kSuccess) return rc;

    std::int64_t row = 0;
    if (position == RowPosition::SingleRow) {
        if (ResultCode rc = FirstRow(*table, {}, {}, row); rc != result::kSuccess) return rc;
    } else if (position == RowPosition::ByKey) {
        if (ResultCode rc = FirstRow(*table, keyField, key, row); rc != result::kSuccess) return rc;
    }
    return WriteAt(*table, row, fields);
}

bool StoreRecordWriters::Batchable(const TableDef& table, RowPosition position, std::string_view keyField,
                                   const std::string& key) const {
    return batch_.table == &table && position == RowPosition::ByKey && keyField == table.uniqueKey && !key.empty() &&
           batch_.keys.count(key) == 0;
}

ResultCode StoreRecordWriters::AddToBatch(const TableDef& table, const FieldList& fields, const std::string& key) {
    // A field the row does not set is written as NULL: what a new row holds without it (no field has a
    // default). Every value is checked before the row joins the batch, as for a row written alone.
    std::vector<FieldValue> row(table.fields.size());
    for (const auto& [name, value] : fields) {
        const int index = table.FieldIndex(name);
        if (index < 0) return Fail(result::kNoSuchField, "数据库表中没有此字段：" + table.name + "." + name);
        const FieldDef& def = table.fields[static_cast<std::size_t>(index)];
        std::string why;
        if (CoerceToField(def.type, value, row[static_cast<std::size_t>(index)], why) != result::kSuccess)
            return Fail(result::kStoreTypeMismatch, table.name + "." + def.name + "：" + why);
    }
    for (FieldValue& v : row) batch_.values.push_back(std::move(v));
    ++batch_.rows;
    batch_.keys.insert(key);
    // The engine takes at most 999 values in one statement.
    if ((batch_.rows + 1) * table.fields.size() > 999) return FlushBatch();
    return result::kSuccess;
}

ResultCode StoreRecordWriters::FlushBatch() {
    if (batch_.rows == 0 || batch_.table == nullptr) return result::kSuccess;
    const TableDef& table = *batch_.table;
    const std::size_t width = table.fields.size();
    std::vector<FieldValue> values = std::move(batch_.values);
    const std::size_t rows = std::exchange(batch_.rows, 0);
    batch_.values.clear();
    StoreAccess* s = Store();
    if (s == nullptr) return Fail(result::kStoreOpenFailed, "数据库对象打开失败");
    if (ResultCode rc = AnswerUndone(); rc != result::kSuccess) return rc;
    StoreConnection& conn = *s->Connection();
    std::string columns, marks;
    for (std::size_t i = 0; i < width; ++i) {
        columns += (i ? ", " : "") + QuoteIdentifier(table.fields[i].name);
        marks += (i ? ", ?" : "(?");
    }
    marks += ")";
    std::string sql = "INSERT INTO " + QuoteIdentifier(table.name) + " (" + columns + ") VALUES " + marks;
    for (std::size_t r = 1; r < rows; ++r) sql += ", " + marks;
    sqlite3_stmt* stmt = cache_.Get(conn, sql);
    if (stmt == nullptr) return Fail(result::kExecutionFailed, conn.LastErrorText());
    for (std::size_t i = 0; i < values.size(); ++i) BindFieldValue(stmt, static_cast<int>(i + 1), values[i]);
    const int rc = sqlite3_step(stmt);
    if (rc == SQLITE_DONE) {
        sqlite3_reset(stmt);
        return result::kSuccess;
    }
    ResultCode code = Engine("保存记录失败");
    sqlite3_reset(stmt);
    // The engine undid the statement alone when the answer's transaction is still open: the rows are then
    // written one by one, so that only a row that cannot be written is missing, as when each went alone.
    // With the transaction gone there is nothing left to add them to.
    if (sqlite3_get_autocommit(conn.Handle())) return code;
    ResultCode first = result::kSuccess;
    for (std::size_t r = 0; r < rows; ++r) {
        FieldList row;
        for (std::size_t i = 0; i < width; ++i) {
            FieldValue& v = values[r * width + i];
            if (!std::holds_alternative<std::monostate>(v)) row.emplace_back(table.fields[i].name, std::move(v));
        }
        if (ResultCode one = WriteAt(table, 0, row); one != result::kSuccess && first == result::kSuccess) first = one;
    }
    return first != result::kSuccess ? first : code;
}

ResultCode StoreRecordWriters::WriteAt(const TableDef& tableDef, std::int64_t row, const FieldList& fields) {
    StoreAccess* s = Store();
    if (s == nullptr) return Fail(result::kStoreOpenFailed, "数据库对象打开失败");
    const TableDef* table = &tableDef;
    // Every value is checked against its field before anything is written, so a bad value leaves the
    // row unsaved rather than half written.
    std::vector<FieldValue> values;
    std::vector<std::string> names;
    values.reserve(fields.size());
    for (const auto& [name, value] : fields) {
        const int index = table->FieldIndex(name);
        if (index < 0) return Fail(result::kNoSuchField, "数据库表中没有此字段：" + table->name + "." + name);
        const FieldDef& def = table->fields[static_cast<std::size_t>(index)];
        FieldValue stored;
        std::string why;
        if (CoerceToField(def.type, value, stored, why) != result::kSuccess)
            return Fail(result::kStoreTypeMismatch, table->name + "." + def.name + "：" + why);
        values.push_back(std::move(stored));
        names.push_back(def.name);
    }

    std::string sql;
    if (row == 0) {
        std::string columns, marks;
        for (std::size_t i = 0; i < names.size(); ++i) {
            columns += (i ? ", " : "") + QuoteIdentifier(names[i]);
            marks += (i ? ", ?" : "?");
        }
        sql = "INSERT INTO " + QuoteIdentifier(table->name) + " (" + columns + ") VALUES (" + marks + ")";
    } else {
        std::string sets;
        for (std::size_t i = 0; i < names.size(); ++i) sets += (i ? ", " : "") + QuoteIdentifier(names[i]) + " = ?";
        sql = "UPDATE " + QuoteIdentifier(table->name) + " SET " + sets + " WHERE " + QuoteIdentifier(kRowIdColumn) +
              " = ?";
    }
    sqlite3_stmt* stmt = cache_.Get(*s->Connection(), sql);
    if (stmt == nullptr) return Fail(result::kExecutionFailed, s->Connection()->LastErrorText());
    int n = 1;
    for (const FieldValue& v : values) BindFieldValue(stmt, n++, v);
    if (row != 0) sqlite3_bind_int64(stmt, n, row);
    const int rc = sqlite3_step(stmt);
    if (rc != SQLITE_DONE) {
        ResultCode code = Engine("保存记录失败");
        sqlite3_reset(stmt);
        return code;
    }
    sqlite3_reset(stmt);
    return result::kSuccess;
}

ResultCode StoreRecordWriters::SaveInvoiceNumber(const InvoiceRollRecord& roll, int mode) {
    FieldList f{{"发票代码", roll.invoice_code},       {"单卷发票起始号", roll.first_number},
                {"单卷发票终止号", roll.last_number},  {"当前发票号", roll.current_number},
                {"发票使用状态", Int(roll.use_state)}, {"开始使用时间", roll.start_time},
                {"用完时间", roll.used_up_time},       {"分发时间", roll.dispensed_time},
                {"发票代码单卷发票起始号", roll.key}};
    const RowPosition pos = mode == kRollByKey ? RowPosition::ByKey : RowPosition::Add;
    return Notify(WriteRow("InvoiceNumber", pos, f, "发票代码单卷发票起始号", roll.key), "");
}

ResultCode StoreRecordWriters::SaveMachineData(const MachineDataRecord& rec) {
    FieldList f{{"机器编号", rec.machine_number},
                {"生产日期", rec.production_date},
                {"硬件版本号", rec.hardware_version},
                {"软件版本号", rec.software_version}};
    return WriteRow("MachineData", RowPosition::SingleRow, f);
}

ResultCode StoreRecordWriters::SaveUserInformation(const UserInformationRecord& rec) {
    FieldList f{{"税控卡编号", rec.card_number},
                {"税控卡使用口令", rec.card_password},
                {"应用起用日期", rec.start_date},
                {"应用有效日期", rec.valid_date},
                {"纳税人名称", rec.taxpayer_name},
                {"纳税人编码", rec.taxpayer_code},
                {"税号", rec.tax_number},
                {"主管分局代码", rec.tax_office_code},
                {"申报方式", Int(rec.declare_method)},
                {"开票截止日期", rec.invoice_end_date},
                {"单张发票开票金额限额", rec.single_invoice_limit},
                {"发票累计金额限额", rec.invoice_total_limit},
                {"退票累计金额限额", rec.return_total_limit}};
    return WriteRow("UserInformation", RowPosition::SingleRow, f);
}

ResultCode StoreRecordWriters::SaveTaxInformation(const TaxItemRecord& rec) {
    const TableDef* table = FindStoreTable("TaxInformation");
    std::int64_t n = 0;
    if (ResultCode rc = CountRows(*table, n); rc != result::kSuccess) return rc;
    FieldList f{{"税种税目索引号", Int(rec.index)}, {"税种项目代码", rec.item_code},   {"税率", Int(rec.tax_rate)},
                {"经营项目中文名称", rec.name_cn},  {"经营项目英文名称", rec.name_en}, {"序号", Int(n + 1)}};
    return WriteRow("TaxInformation", RowPosition::Add, f);
}

ResultCode StoreRecordWriters::SaveDayTrade(const DayTradeRecord& rec) {
    FieldList f{{"日期", rec.date},
                {"正常发票份数", Int(rec.normal_count)},
                {"退票份数", Int(rec.return_count)},
                {"废票份数", Int(rec.void_count)},
                {"电子签名", rec.signature}};
    AddTaxSlots(f, rec.slots);
    return WriteRow("DayTrade", RowPosition::ByKey, f, "日期", rec.date);
}

ResultCode StoreRecordWriters::SaveInvUseSum(const InvUseSumRecord& rec) {
    const std::string key = rec.invoice_code + rec.first_number;
    FieldList f{
        {"发票代码发票起始号", key},       {"发票代码", rec.invoice_code},          {"发票起始号", rec.first_number},
        {"发票终止号", rec.last_number},   {"正常发票份数", Int(rec.normal_count)}, {"退票份数", Int(rec.return_count)},
        {"废票份数", Int(rec.void_count)}, {"正常发票总金额", rec.normal_total},    {"退票总金额", rec.return_total},
        {"开票起始时间", rec.first_date},  {"开票截止时间", rec.last_date}};
    return WriteRow("InvUseSum", RowPosition::ByKey, f, "发票代码发票起始号", key);
}

ResultCode StoreRecordWriters::SaveInvPrintData(const InvPrintDataRecord& rec) {
    FieldList f{{"开票日期发票号", rec.key},         {"开票日期", rec.issue_date}, {"发票号", rec.invoice_number},
                {"开票类型", Int(rec.invoice_type)}, {"开票总金额", rec.total},    {"税控码", rec.tax_code},
                {"原发票号", rec.original_number},   {"保留", rec.reserved},       {"付款单位", rec.payer}};
    // A slot without goods leaves its four fields as they were.
    for (int k = 0; k < kAnswerSlots; ++k) {
        const auto& line = rec.goods[static_cast<std::size_t>(k)];
        if (!line || line->name.empty()) continue;
        const std::string n = std::to_string(k + 1);
        f.emplace_back("商品名称" + n, line->name);
        f.emplace_back("数量" + n, line->quantity);
        f.emplace_back("税种税目索引号" + n, Int(line->tax_index));
        f.emplace_back("金额" + n, line->amount);
    }
    return Notify(WriteRow("InvPrintData", RowPosition::ByKey, f, "开票日期发票号", rec.key), kPrintDataTitle);
}

ResultCode StoreRecordWriters::SaveDeclareData(const DeclareDataRecord& rec) {
    FieldList f{{"税控卡编号", rec.card_number},     {"数据起始日期", rec.start_date},
                {"数据截止日期", rec.end_date},      {"正常发票份数", Int(rec.normal_count)},
                {"退票份数", Int(rec.return_count)}, {"废票份数", Int(rec.void_count)}};
    AddTaxSlots(f, rec.slots);
    f.emplace_back("税控卡正常发票总累计金额", rec.card_normal_total);
    f.emplace_back("税控卡退票总累计金额", rec.card_return_total);
    f.emplace_back("状态字", rec.status_text);
    f.emplace_back("申报数据MAC1", rec.mac1);
    f.emplace_back("电子签名", rec.signature);
    f.emplace_back("响应报文数据异或和校验", rec.xor_check_text);
    return Notify(WriteRow("DeclareData", RowPosition::ByKey, f, "数据起始日期", rec.start_date), "");
}

ResultCode StoreRecordWriters::SaveIdiograph(const SignatureRecord& rec) {
    const TableDef* table = FindStoreTable("Idiograph");
    std::int64_t row = 0;
    if (ResultCode rc = FirstRow(*table, "签名状态", Int(kSignatureWaiting), row); rc != result::kSuccess) return rc;
    if (row == 0) return Fail(result::kSignatureRowMissing, "需签名数据在数据库中丢失");
    StoreAccess* s = Store();
    sqlite3_stmt* stmt =
        cache_.Get(*s->Connection(), "UPDATE \"Idiograph\" SET \"签名状态\" = ?1, \"电子签名\" = ?2 WHERE " +
                                         QuoteIdentifier(kRowIdColumn) + " = ?3");
    if (stmt == nullptr) return Fail(result::kExecutionFailed, s->Connection()->LastErrorText());
    sqlite3_bind_int64(stmt, 1, kSignatureSigned);
    sqlite3_bind_text(stmt, 2, rec.signature.data(), static_cast<int>(rec.signature.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(stmt, 3, row);
    if (sqlite3_step(stmt) != SQLITE_DONE) {
        ResultCode code = Engine("保存签名失败");
        sqlite3_reset(stmt);
        return code;
    }
    sqlite3_reset(stmt);
    return result::kSuccess;
}

ResultCode StoreRecordWriters::BookSignature(const std::string& typedText) {
    if (ResultCode rc = FlushBatch(); rc != result::kSuccess) return rc;
    StoreAccess* s = Store();
    if (s == nullptr) return Fail(result::kStoreOpenFailed, "数据库对象打开失败");
    const TableDef* table = FindStoreTable("Idiograph");
    // A savepoint inside an answer, a transaction of its own otherwise: all or nothing either way.
    StoreTransaction tx(*s->Connection());
    if (tx.BeginResult() != result::kSuccess) return Fail(tx.BeginResult(), s->Connection()->LastErrorText());
    std::int64_t waiting = 0;
    if (ResultCode rc = FirstRow(*table, "签名状态", Int(kSignatureWaiting), waiting); rc != result::kSuccess)
        return rc;
    if (waiting != 0) {
        sqlite3_stmt* stmt = cache_.Get(*s->Connection(), "UPDATE \"Idiograph\" SET \"签名状态\" = ?1 WHERE " +
                                                              QuoteIdentifier(kRowIdColumn) + " = ?2");
        if (stmt == nullptr) return Fail(result::kExecutionFailed, s->Connection()->LastErrorText());
        sqlite3_bind_int64(stmt, 1, kSignatureSuperseded);
        sqlite3_bind_int64(stmt, 2, waiting);
        const int rc = sqlite3_step(stmt);
        sqlite3_reset(stmt);
        if (rc != SQLITE_DONE) return Engine("保存签名数据失败");
    }
    FieldList f{{"签名数据", typedText}, {"签名状态", Int(kSignatureWaiting)}};
    if (ResultCode rc = WriteRow("Idiograph", RowPosition::Add, f); rc != result::kSuccess) return rc;
    if (std::int32_t rc = tx.Commit(); rc != result::kSuccess) return Fail(rc, s->Connection()->LastErrorText());
    return result::kSuccess;
}

bool StoreRecordWriters::CurrentNumberInUse(std::string& number) {
    number.clear();
    const TableDef* table = FindStoreTable("InvoiceNumber");
    std::int64_t row = 0;
    if (FirstRow(*table, "发票使用状态", Int(kRollInUse), row) != result::kSuccess || row == 0) return false;
    return ReadText(*table, row, "当前发票号", number) == result::kSuccess;
}

ResultCode StoreRecordWriters::SaveMakeInvoice(const std::string& current, std::string& previous) {
    if (ResultCode rc = FlushBatch(); rc != result::kSuccess) return rc;
    previous.clear();
    StoreAccess* s = Store();
    if (s == nullptr) return Fail(result::kStoreOpenFailed, "数据库对象打开失败");
    std::uint64_t p = 0;
    if (current.size() != 10 || !ParseNumber(current, p))
        return Fail(result::kRollNumberNotFound, "发票库中找不到当前发票号");
    const TableDef* rolls = FindStoreTable("InvoiceNumber");
    const TableDef* made = FindStoreTable("MakeInvoice");

    // A savepoint inside an answer, a transaction of its own otherwise: all or nothing either way.
    StoreTransaction tx(*s->Connection());
    if (tx.BeginResult() != result::kSuccess) return Fail(tx.BeginResult(), s->Connection()->LastErrorText());
    auto commit = [&](ResultCode result) -> ResultCode {
        if (std::int32_t rc = tx.Commit(); rc != result::kSuccess) return Fail(rc, s->Connection()->LastErrorText());
        return result;
    };

    // 1. The marker row follows the current number.
    std::int64_t marker = 0;
    if (ResultCode rc = FirstRow(*made, "开票类型", Int(kMakeInvoiceMarker), marker); rc != result::kSuccess) return rc;
    if (marker != 0) {
        sqlite3_stmt* stmt = cache_.Get(*s->Connection(), "UPDATE \"MakeInvoice\" SET \"发票号\" = ?1 WHERE " +
                                                              QuoteIdentifier(kRowIdColumn) + " = ?2");
        if (stmt == nullptr) return Fail(result::kExecutionFailed, s->Connection()->LastErrorText());
        sqlite3_bind_text(stmt, 1, current.data(), static_cast<int>(current.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(stmt, 2, marker);
        const int rc = sqlite3_step(stmt);
        sqlite3_reset(stmt);
        if (rc != SQLITE_DONE) return Engine("保存开票记录失败");
    }

    // 2. No rolls at all.
    std::int64_t count = 0;
    if (ResultCode rc = CountRows(*rolls, count); rc != result::kSuccess) return rc;
    if (count == 0) return Fail(commit(result::kStoreTableEmpty), "数据库中的表为空表");

    // 3. The roll in use: the number goes into it when it holds the number.
    std::int64_t inUse = 0;
    std::string inUseLast;
    if (ResultCode rc = FirstRow(*rolls, "发票使用状态", Int(kRollInUse), inUse); rc != result::kSuccess) return rc;
    if (inUse != 0) {
        std::string first;
        if (ResultCode rc = ReadText(*rolls, inUse, "当前发票号", previous); rc != result::kSuccess) return rc;
        if (ResultCode rc = ReadText(*rolls, inUse, "单卷发票起始号", first); rc != result::kSuccess) return rc;
        if (ResultCode rc = ReadText(*rolls, inUse, "单卷发票终止号", inUseLast); rc != result::kSuccess) return rc;
        std::uint64_t before = 0;
        const bool known = ParseNumber(previous, before);
        if (known && before == p) return commit(result::kSuccess);  // asked again, nothing moved
        // The processor never hands out a number below one it has handed out: a lower one is a stale or
        // wrong answer and must not move the bookkeeping back.
        std::uint64_t lowest = 0;
        if ((known && p < before) || (!known && ParseNumber(first, lowest) && p < lowest))
            return Fail(commit(result::kRollNumberLower), "当前发票号小于已记录的发票号");
        if (first <= current && current <= inUseLast) {
            ResultCode rc = WriteAt(*rolls, inUse, {{"当前发票号", current}});
            if (rc != result::kSuccess) return rc;
            // The processor's number is recorded even after a jump (a voided blank form uses one up):
            // holding on to the old number would stall the bookkeeping for every later answer.
            if (known && p != before + 1)
                return Fail(commit(result::kRollNotNextNumber), "当前发票号不是原来发票号加一");
            return commit(result::kSuccess);
        }
    }

    // 4. The first distributed roll that holds the number is taken into use; the roll in use before it is
    // used up.
    std::int64_t found = 0;
    {
        sqlite3_stmt* stmt = cache_.Get(
            *s->Connection(),
            "SELECT " + QuoteIdentifier(kRowIdColumn) +
                ", \"单卷发票起始号\", \"单卷发票终止号\" FROM \"InvoiceNumber\" WHERE \"发票使用状态\" = ?1 "
                "ORDER BY " +
                QuoteIdentifier(kRowIdColumn));
        if (stmt == nullptr) return Fail(result::kExecutionFailed, s->Connection()->LastErrorText());
        sqlite3_bind_int64(stmt, 1, kRollDispensed);
        int rc;
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
            const std::string first = ColumnText(stmt, 1);
            const std::string last = ColumnText(stmt, 2);
            if (first <= current && current <= last) {
                found = sqlite3_column_int64(stmt, 0);
                break;
            }
        }
        sqlite3_reset(stmt);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) return Engine("查找发票卷失败");
    }
    if (inUse != 0 && (found != 0 || current > inUseLast)) {
        FieldList usedUp{{"用完时间", NowStamp()}, {"发票使用状态", Int(kRollUsedUp)}};
        if (ResultCode rc = WriteAt(*rolls, inUse, usedUp); rc != result::kSuccess) return rc;
    }
    if (found == 0) return Fail(commit(result::kRollNumberNotFound), "发票库中找不到当前发票号");
    FieldList take{{"发票使用状态", Int(kRollInUse)}, {"当前发票号", current}, {"开始使用时间", NowStamp()}};
    if (ResultCode w = WriteAt(*rolls, found, take); w != result::kSuccess) return w;
    return commit(result::kSuccess);
}

// ---------------------------------------------------------------------------------------------------------
// Queue

StoreAnswerQueue::StoreAnswerQueue(std::shared_ptr<StoreHandle> store, std::size_t heldBytes)
    : store_(std::move(store)), heldLimit_(heldBytes) {}

StoreAnswerQueue::~StoreAnswerQueue() = default;

ResultCode StoreAnswerQueue::Append(int frame_number, const std::string& frame_hex) {
    if (failed_ != result::kSuccess) return failed_;
    if (store_ == nullptr || store_->Open() == nullptr)
        return FailFlush(result::kStoreOpenFailed, "数据库对象打开失败");
    pending_.emplace_back(frame_number, frame_hex);
    if (holding_) {
        if (heldBytes_ + frame_hex.size() <= heldLimit_) {
            held_.push_back(frame_hex);
            heldBytes_ += frame_hex.size();
        } else {
            // Too long to hold: from here on the frames are read back from the table, all of them, in order.
            holding_ = false;
            held_.clear();
            heldBytes_ = 0;
        }
    }
    if (pending_.size() >= kBatch) return Flush();
    return result::kSuccess;
}

ResultCode StoreAnswerQueue::FailFlush(ResultCode code, const std::string& text) {
    pending_.clear();
    held_.clear();
    heldBytes_ = 0;
    holding_ = true;
    failed_ = code;
    error_ = text;
    return code;
}

ResultCode StoreAnswerQueue::Flush() {
    if (failed_ != result::kSuccess) return failed_;
    if (pending_.empty()) return result::kSuccess;
    StoreAccess* s = store_ ? store_->Open() : nullptr;
    if (s == nullptr) return FailFlush(result::kStoreOpenFailed, "数据库对象打开失败");
    StoreConnection& conn = *s->Connection();
    StoreTransaction tx(conn);
    if (tx.BeginResult() != result::kSuccess) return FailFlush(tx.BeginResult(), conn.LastErrorText());
    sqlite3_stmt* stmt = cache_.Get(conn, "INSERT INTO \"ARecord\" (\"记录号\", \"记录\") VALUES (?1, ?2)");
    if (stmt == nullptr) return FailFlush(result::kExecutionFailed, conn.LastErrorText());
    for (const auto& [number, hex] : pending_) {
        sqlite3_reset(stmt);
        sqlite3_bind_int64(stmt, 1, number);
        sqlite3_bind_text(stmt, 2, hex.data(), static_cast<int>(hex.size()), SQLITE_STATIC);
        if (sqlite3_step(stmt) != SQLITE_DONE) {
            std::int32_t code = conn.FailEngine(sqlite3_extended_errcode(conn.Handle()), "保存数据包失败");
            sqlite3_reset(stmt);
            return FailFlush(code, conn.LastErrorText());
        }
    }
    sqlite3_reset(stmt);
    if (std::int32_t rc = tx.Commit(); rc != result::kSuccess) return FailFlush(rc, conn.LastErrorText());
    stored_ += pending_.size();
    pending_.clear();
    return result::kSuccess;
}

ResultCode StoreAnswerQueue::LoadBatch() {
    StoreAccess* s = store_ ? store_->Open() : nullptr;
    if (s == nullptr) return result::kStoreOpenFailed;
    StoreConnection& conn = *s->Connection();
    // Inside an answer this is part of the answer's transaction: a frame counts as taken only when
    // what it wrote is kept.
    StoreTransaction tx(conn);
    if (tx.BeginResult() != result::kSuccess) return tx.BeginResult();
    sqlite3_stmt* read =
        cache_.Get(conn, "SELECT \"karvex_row\", \"记录\" FROM \"ARecord\" ORDER BY \"karvex_row\" LIMIT ?1");
    if (read == nullptr) return result::kExecutionFailed;
    sqlite3_bind_int64(read, 1, static_cast<std::int64_t>(kBatch));
    std::int64_t lastRow = 0;
    std::deque<std::string> rows;
    int rc;
    while ((rc = sqlite3_step(read)) == SQLITE_ROW) {
        lastRow = sqlite3_column_int64(read, 0);
        rows.push_back(ColumnText(read, 1));
    }
    sqlite3_reset(read);
    if (rc != SQLITE_DONE) return conn.FailEngine(sqlite3_extended_errcode(conn.Handle()), "读取数据包失败");
    if (rows.empty()) {
        // The table holds fewer rows than counted (emptied elsewhere): nothing more to take from it.
        stored_ = 0;
        return result::kNoCurrentRecord;
    }
    sqlite3_stmt* del = cache_.Get(conn, "DELETE FROM \"ARecord\" WHERE \"karvex_row\" <= ?1");
    if (del == nullptr) return result::kExecutionFailed;
    sqlite3_bind_int64(del, 1, lastRow);
    rc = sqlite3_step(del);
    sqlite3_reset(del);
    if (rc != SQLITE_DONE) return conn.FailEngine(sqlite3_extended_errcode(conn.Handle()), "删除数据包失败");
    if (std::int32_t c = tx.Commit(); c != result::kSuccess) return c;
    stored_ = rows.size() >= stored_ ? 0 : stored_ - rows.size();
    for (std::string& r : rows) ahead_.push_back(std::move(r));
    return result::kSuccess;
}

ResultCode StoreAnswerQueue::TakeFirst(std::string& frame_hex) {
    if (holding_) {
        if (held_.empty()) return result::kNoCurrentRecord;
        frame_hex = std::move(held_.front());
        held_.pop_front();
        return result::kSuccess;
    }
    if (ahead_.empty() && stored_ > 0) {
        ResultCode rc = LoadBatch();
        // A table that turned out emptier than counted still leaves the frames held in memory.
        if (rc != result::kSuccess && rc != result::kNoCurrentRecord) return rc;
    }
    if (!ahead_.empty()) {
        frame_hex = std::move(ahead_.front());
        ahead_.pop_front();
        return result::kSuccess;
    }
    if (!pending_.empty()) {
        // Never written: taken straight from memory, in order after everything in the table.
        frame_hex = std::move(pending_.front().second);
        pending_.pop_front();
        return result::kSuccess;
    }
    return result::kNoCurrentRecord;
}

void StoreAnswerQueue::Clear() {
    ahead_.clear();
    pending_.clear();
    held_.clear();
    heldBytes_ = 0;
    holding_ = true;
    stored_ = 0;
    failed_ = result::kSuccess;
    error_.clear();
    StoreAccess* s = store_ ? store_->Open() : nullptr;
    if (s == nullptr) return;
    StoreConnection& conn = *s->Connection();
    // The engine overwrites what it deletes by default, which for the queue's scratch pages (their frames
    // are in the answer's table of the same encrypted file, and go with the next compaction) cost twice
    // what reading them does: a long answer's queue is emptied without it.
    int secure = -1;
    if (sqlite3_stmt* mode = cache_.Get(conn, "PRAGMA secure_delete")) {
        if (sqlite3_step(mode) == SQLITE_ROW) secure = sqlite3_column_int(mode, 0);
        sqlite3_reset(mode);
    }
    if (secure > 0) sqlite3_exec(conn.Handle(), "PRAGMA secure_delete = 0", nullptr, nullptr, nullptr);
    if (sqlite3_stmt* del = cache_.Get(conn, "DELETE FROM \"ARecord\"")) {
        sqlite3_step(del);
        sqlite3_reset(del);
    }
    if (secure > 0) sqlite3_exec(conn.Handle(), "PRAGMA secure_delete = 1", nullptr, nullptr, nullptr);
}

void StoreAnswerQueue::Detach() {
    ahead_.clear();
    pending_.clear();
    held_.clear();
    heldBytes_ = 0;
    holding_ = true;
    stored_ = 0;
    failed_ = result::kSuccess;
    error_.clear();
    cache_.Release();
}

}  // namespace karvex
