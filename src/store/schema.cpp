#include "store/schema.h"

#include <cctype>

#include "store/journal_names.h"

namespace karvex {
namespace {

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto ca = static_cast<unsigned char>(a[i]);
        auto cb = static_cast<unsigned char>(b[i]);
        if (ca < 0x80 && cb < 0x80) {
            if (std::tolower(ca) != std::tolower(cb)) return false;
        } else if (ca != cb) {
            return false;
        }
    }
    return true;
}

constexpr FieldType T = FieldType::Text;
constexpr FieldType B = FieldType::Byte;
constexpr FieldType S = FieldType::Short;
constexpr FieldType L = FieldType::Long;
constexpr FieldType D = FieldType::Double;

// Per tax-item slot: index, accumulated normal amount, accumulated return amount, k = 1..6.
void AddTaxSlots(std::vector<FieldDef>& f) {
    for (int k = 1; k <= 6; ++k) {
        std::string n = std::to_string(k);
        f.push_back({"税种税目索引号" + n, B});
        f.push_back({"正常发票累计金额" + n, D});
        f.push_back({"退票累计金额" + n, D});
    }
}

// clang-format off
std::vector<TableDef> BuildTables() {
    std::vector<TableDef> t;
    t.push_back({"InvoiceNumber",
                 {{"发票代码", T}, {"单卷发票起始号", T}, {"单卷发票终止号", T}, {"当前发票号", T},
                  {"发票使用状态", B}, {"开始使用时间", T}, {"用完时间", T}, {"分发时间", T},
                  {"发票代码单卷发票起始号", T}},
                 "发票代码单卷发票起始号"});
    t.push_back({"MakeInvoice", {{"开票类型", B}, {"发票号", T}}, ""});
    t.push_back({"MachineData", {{"机器编号", T}, {"生产日期", T}, {"硬件版本号", T}, {"软件版本号", T}}, ""});
    t.push_back({"UserInformation",
                 {{"税控卡编号", T}, {"税控卡使用口令", T}, {"应用起用日期", T}, {"应用有效日期", T},
                  {"纳税人名称", T}, {"纳税人编码", T}, {"税号", T}, {"主管分局代码", T}, {"申报方式", B},
                  {"开票截止日期", T}, {"单张发票开票金额限额", D}, {"发票累计金额限额", D},
                  {"退票累计金额限额", D}},
                 ""});
    t.push_back({"TaxInformation",
                 {{"税种税目索引号", B}, {"税种项目代码", T}, {"税率", L}, {"经营项目中文名称", T},
                  {"经营项目英文名称", T}, {"序号", L}},
                 ""});
    {
        TableDef d{"DayTrade",
                   {{"日期", T}, {"正常发票份数", L}, {"退票份数", L}, {"废票份数", L}, {"电子签名", T}},
                   "日期"};
        AddTaxSlots(d.fields);
        t.push_back(std::move(d));
    }
    t.push_back({"InvUseSum",
                 {{"发票代码发票起始号", T}, {"发票代码", T}, {"发票起始号", T}, {"发票终止号", T},
                  {"正常发票份数", B}, {"退票份数", B}, {"废票份数", B}, {"正常发票总金额", D},
                  {"退票总金额", D}, {"开票起始时间", T}, {"开票截止时间", T}},
                 "发票代码发票起始号"});
    {
        TableDef p{"InvPrintData",
                   {{"开票日期发票号", T}, {"开票日期", T}, {"发票号", T}, {"开票类型", B}, {"开票总金额", D},
                    {"税控码", T}, {"原发票号", T}, {"保留", T}, {"付款单位", T}},
                   "开票日期发票号"};
        for (int k = 1; k <= 6; ++k) {
            std::string n = std::to_string(k);
            p.fields.push_back({"商品名称" + n, T});
            p.fields.push_back({"数量" + n, D});
            p.fields.push_back({"税种税目索引号" + n, B});
            p.fields.push_back({"金额" + n, D});
        }
        t.push_back(std::move(p));
    }
    {
        TableDef d{"DeclareData",
                   {{"税控卡编号", T}, {"数据起始日期", T}, {"数据截止日期", T}, {"正常发票份数", L},
                    {"退票份数", L}, {"废票份数", L}},
                   "数据起始日期"};
        AddTaxSlots(d.fields);
        for (FieldDef f : {FieldDef{"税控卡正常发票总累计金额", D}, FieldDef{"税控卡退票总累计金额", D},
                           FieldDef{"状态字", T}, FieldDef{"申报数据MAC1", T}, FieldDef{"电子签名", T},
                           FieldDef{"响应报文数据异或和校验", T}})
            d.fields.push_back(std::move(f));
        t.push_back(std::move(d));
    }
    t.push_back({"Idiograph", {{"签名状态", S}, {"签名数据", T}, {"电子签名", T}}, ""});
    // The frame number is a long: a print-data upload can run to far more than 32767 frames.
    t.push_back({"ARecord", {{"记录号", L}, {"记录", T}}, ""});
    t.push_back({"ComSet", {{"CommPort", S}, {"Bite", S}}, ""});
    t.push_back({"InvPDatTemp",
                 {{"序号", L}, {"税种税目索引号", B}, {"商品名称", T}, {"数量", D}, {"金额", D}}, ""});
    for (const char* name : {"DayTradeShow", "DecShowTemp"})
        t.push_back({name, {{"ID", L}, {"税种税目索引号", B}, {"正常发票累计金额", D}, {"退票累计金额", D}}, ""});
    // Nobody writes these; they are kept so that clearing and browsing find them.
    t.push_back({"IdiographShow", {{"签名状态", S}, {"签名数据", T}, {"电子签名", T}}, ""});
    for (const char* name : {"WatchCommand", "WatchAcceptData", "WatchError"})
        t.push_back({name, {{"序号", L}, {"时间", T}, {"记录", T}}, ""});
    // The sales journal: its names belong to the journal, which others read by them; no clearing flag
    // reaches it, so that a sale's record outlives an initialisation.
    {
        TableDef j{std::string(journal::kTable), {}, std::string(journal::kSaleId)};
        for (const journal::Column& c : journal::kColumns) {
            const FieldType type = c.type == "TEXT" ? T : c.type == "REAL" ? D : L;
            j.fields.push_back({std::string(c.name), type});
        }
        t.push_back(std::move(j));
    }
    return t;
}
// clang-format on

const char* SqlType(FieldType type) {
    switch (type) {
    case FieldType::Text: return "TEXT";
    case FieldType::Double: return "REAL";
    default: return "INTEGER";
    }
}

}  // namespace

int TableDef::FieldIndex(std::string_view field) const {
    for (std::size_t i = 0; i < fields.size(); ++i)
        if (SameName(fields[i].name, field)) return static_cast<int>(i);
    return -1;
}

const std::vector<TableDef>& StoreTables() {
    static const std::vector<TableDef> tables = BuildTables();
    return tables;
}

const TableDef* FindStoreTable(std::string_view name) {
    for (const TableDef& t : StoreTables())
        if (SameName(t.name, name)) return &t;
    return nullptr;
}

std::string QuoteIdentifier(std::string_view name) {
    std::string out = "\"";
    for (char c : name) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
    return out;
}

std::string CreateTableSql(const TableDef& table) {
    // The row identity column keeps a row's identity stable while record sets hold it (a deleted
    // row's number is never handed to a new row) and keeps rows in their order of arrival.
    std::string sql = "CREATE TABLE IF NOT EXISTS " + QuoteIdentifier(table.name) + " (" +
                      QuoteIdentifier(kRowIdColumn) + " INTEGER PRIMARY KEY AUTOINCREMENT";
    for (const FieldDef& f : table.fields) sql += ", " + QuoteIdentifier(f.name) + " " + SqlType(f.type);
    sql += ");";
    if (!table.uniqueKey.empty()) {
        sql += " CREATE UNIQUE INDEX IF NOT EXISTS " + QuoteIdentifier(table.name + "_key") + " ON " +
               QuoteIdentifier(table.name) + " (" + QuoteIdentifier(table.uniqueKey) + ");";
    }
    return sql;
}

}  // namespace karvex
