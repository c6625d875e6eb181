#include <sqlcipher/sqlite3.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "store/schema.h"
#include "store/selection.h"
#include "store/store_codes.h"
#include "store_test_support.h"

namespace karvex {
namespace {

using testing::StoreDirTest;

std::set<std::string> Columns(sqlite3* db, const std::string& table) {
    std::set<std::string> out;
    sqlite3_stmt* st = nullptr;
    std::string sql = "PRAGMA table_info(" + QuoteIdentifier(table) + ")";
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) return out;
    while (sqlite3_step(st) == SQLITE_ROW) out.insert(reinterpret_cast<const char*>(sqlite3_column_text(st, 1)));
    sqlite3_finalize(st);
    return out;
}

class SchemaTest : public StoreDirTest {};

TEST_F(SchemaTest, NewStoreHasEveryTableWithItsChineseFields) {
    StoreAccess store(dir_);
    ASSERT_EQ(store.Open(), 0) << store.LastErrorText();
    EXPECT_TRUE(std::filesystem::exists(dir_ / "FiscalMachine.mdb"));
    sqlite3* db = store.Connection()->Handle();
    const char* names[] = {"InvoiceNumber", "MakeInvoice",  "MachineData",     "UserInformation", "TaxInformation",
                           "DayTrade",      "InvUseSum",    "InvPrintData",    "DeclareData",     "Idiograph",
                           "ARecord",       "ComSet",       "InvPDatTemp",     "DayTradeShow",    "DecShowTemp",
                           "IdiographShow", "WatchCommand", "WatchAcceptData", "WatchError"};
    for (const char* name : names) EXPECT_FALSE(Columns(db, name).empty()) << name;

    // clang-format off
    struct Expect {
        const char* table;
        const char* field;
    } fields[] = {
        {"InvoiceNumber", "发票代码单卷发票起始号"}, {"InvoiceNumber", "发票使用状态"},
        {"UserInformation", "单张发票开票金额限额"}, {"DayTrade", "退票累计金额6"},
        {"DeclareData", "响应报文数据异或和校验"},   {"DeclareData", "申报数据MAC1"},
        {"InvPrintData", "金额6"},                   {"InvPrintData", "商品名称1"},
        {"InvUseSum", "发票代码发票起始号"},         {"ARecord", "记录号"},
        {"ComSet", "CommPort"},                      {"ComSet", "Bite"},
        {"Idiograph", "签名状态"},                   {"TaxInformation", "经营项目英文名称"},
    };
    // clang-format on
    for (const Expect& e : fields) EXPECT_EQ(Columns(db, e.table).count(e.field), 1u) << e.table << "." << e.field;
    // 9 fixed fields and 4 per goods slot, plus the row identity.
    EXPECT_EQ(Columns(db, "InvPrintData").size(), 9u + 24u + 1u);
}

TEST_F(SchemaTest, ComSetHasOneDefaultRowThatReopeningKeeps) {
    {
        StoreAccess store(dir_);
        ASSERT_EQ(store.Open(), 0);
        RecordSet rs;
        ASSERT_EQ(rs.Open(store.Connection(), "Select * From ComSet"), 0);
        std::int64_t port = -1, bite = -1;
        EXPECT_EQ(rs.GetInteger("CommPort", port), 0);
        EXPECT_EQ(rs.GetInteger("Bite", bite), 0);
        EXPECT_EQ(port, 0);
        EXPECT_EQ(bite, 0);
        ASSERT_EQ(rs.SetInteger("CommPort", 3), 0);
        ASSERT_EQ(rs.SetInteger("Bite", 2), 0);
        ASSERT_EQ(rs.Update(), 0);
    }
    StoreAccess store(dir_);
    ASSERT_EQ(store.Open(), 0);
    EXPECT_EQ(Count(store, "ComSet"), 1);
    RecordSet rs;
    ASSERT_EQ(rs.Open(store.Connection(), "Select * From ComSet"), 0);
    std::int64_t port = 0;
    EXPECT_EQ(rs.GetInteger("CommPort", port), 0);
    EXPECT_EQ(port, 3);
}

TEST(SchemaLookup, TableAndFieldNamesIgnoreAsciiCaseOnly) {
    ASSERT_NE(FindStoreTable("invoicenumber"), nullptr);
    EXPECT_EQ(FindStoreTable("invoicenumber")->name, "InvoiceNumber");
    EXPECT_EQ(FindStoreTable("Invoice Number"), nullptr);
    EXPECT_EQ(FindStoreTable("sqlite_master"), nullptr);
    const TableDef* com = FindStoreTable("ComSet");
    EXPECT_EQ(com->FieldIndex("commport"), 0);
    EXPECT_EQ(FindStoreTable("DayTrade")->FieldIndex("日期 "), -1);
    EXPECT_EQ(QuoteIdentifier("a\"b"), "\"a\"\"b\"");
}

// Every table the program reads or writes, its fields in order with the value types the writers give, and
// its look-up key. Field and table names are the browser's captions and the criteria's field names: one
// character off and a look-up finds nothing.
TEST(SchemaLookup, TablesFieldsTypesAndKeysAreExactlyThoseTheProgramUses) {
    using F = FieldType;
    struct Table {
        const char* name;
        std::vector<std::pair<std::string, FieldType>> fields;
        const char* key;
    };
    std::vector<std::pair<std::string, FieldType>> dayTrade{{"日期", F::Text},
                                                            {"正常发票份数", F::Long},
                                                            {"退票份数", F::Long},
                                                            {"废票份数", F::Long},
                                                            {"电子签名", F::Text}};
    std::vector<std::pair<std::string, FieldType>> declare{{"税控卡编号", F::Text},   {"数据起始日期", F::Text},
                                                           {"数据截止日期", F::Text}, {"正常发票份数", F::Long},
                                                           {"退票份数", F::Long},     {"废票份数", F::Long}};
    for (const char* k : {"1", "2", "3", "4", "5", "6"}) {
        for (auto* list : {&dayTrade, &declare}) {
            list->push_back({std::string("税种税目索引号") + k, F::Byte});
            list->push_back({std::string("正常发票累计金额") + k, F::Double});
            list->push_back({std::string("退票累计金额") + k, F::Double});
        }
    }
    declare.insert(declare.end(), {{"税控卡正常发票总累计金额", F::Double},
                                   {"税控卡退票总累计金额", F::Double},
                                   {"状态字", F::Text},
                                   {"申报数据MAC1", F::Text},
                                   {"电子签名", F::Text},
                                   {"响应报文数据异或和校验", F::Text}});
    std::vector<std::pair<std::string, FieldType>> print{
        {"开票日期发票号", F::Text}, {"开票日期", F::Text},     {"发票号", F::Text},
        {"开票类型", F::Byte},       {"开票总金额", F::Double}, {"税控码", F::Text},
        {"原发票号", F::Text},       {"保留", F::Text},         {"付款单位", F::Text}};
    for (const char* k : {"1", "2", "3", "4", "5", "6"}) {
        print.push_back({std::string("商品名称") + k, F::Text});
        print.push_back({std::string("数量") + k, F::Double});
        print.push_back({std::string("税种税目索引号") + k, F::Byte});
        print.push_back({std::string("金额") + k, F::Double});
    }
    // clang-format off
    const Table expected[] = {
        {"InvoiceNumber",
         {{"发票代码", F::Text}, {"单卷发票起始号", F::Text}, {"单卷发票终止号", F::Text}, {"当前发票号", F::Text},
          {"发票使用状态", F::Byte}, {"开始使用时间", F::Text}, {"用完时间", F::Text}, {"分发时间", F::Text},
          {"发票代码单卷发票起始号", F::Text}},
         "发票代码单卷发票起始号"},
        {"MachineData", {{"机器编号", F::Text}, {"生产日期", F::Text}, {"硬件版本号", F::Text}, {"软件版本号", F::Text}}, ""},
        {"UserInformation",
         {{"税控卡编号", F::Text}, {"税控卡使用口令", F::Text}, {"应用起用日期", F::Text}, {"应用有效日期", F::Text},
          {"纳税人名称", F::Text}, {"纳税人编码", F::Text}, {"税号", F::Text}, {"主管分局代码", F::Text},
          {"申报方式", F::Byte}, {"开票截止日期", F::Text}, {"单张发票开票金额限额", F::Double},
          {"发票累计金额限额", F::Double}, {"退票累计金额限额", F::Double}},
         ""},
        {"TaxInformation",
         {{"税种税目索引号", F::Byte}, {"税种项目代码", F::Text}, {"税率", F::Long}, {"经营项目中文名称", F::Text},
          {"经营项目英文名称", F::Text}, {"序号", F::Long}},
         ""},
        {"DayTrade", dayTrade, "日期"},
        {"InvUseSum",
         {{"发票代码发票起始号", F::Text}, {"发票代码", F::Text}, {"发票起始号", F::Text}, {"发票终止号", F::Text},
          {"正常发票份数", F::Byte}, {"退票份数", F::Byte}, {"废票份数", F::Byte}, {"正常发票总金额", F::Double},
          {"退票总金额", F::Double}, {"开票起始时间", F::Text}, {"开票截止时间", F::Text}},
         "发票代码发票起始号"},
        {"InvPrintData", print, "开票日期发票号"},
        {"DeclareData", declare, "数据起始日期"},
        {"Idiograph", {{"签名状态", F::Short}, {"签名数据", F::Text}, {"电子签名", F::Text}}, ""},
        {"InvPDatTemp",
         {{"序号", F::Long}, {"税种税目索引号", F::Byte}, {"商品名称", F::Text}, {"数量", F::Double}, {"金额", F::Double}},
         ""},
        {"DayTradeShow",
         {{"ID", F::Long}, {"税种税目索引号", F::Byte}, {"正常发票累计金额", F::Double}, {"退票累计金额", F::Double}},
         ""},
        {"DecShowTemp",
         {{"ID", F::Long}, {"税种税目索引号", F::Byte}, {"正常发票累计金额", F::Double}, {"退票累计金额", F::Double}},
         ""},
    };
    // clang-format on
    for (const Table& t : expected) {
        SCOPED_TRACE(t.name);
        const TableDef* def = FindStoreTable(t.name);
        ASSERT_NE(def, nullptr);
        EXPECT_EQ(def->name, t.name);
        EXPECT_EQ(def->uniqueKey, t.key);
        ASSERT_EQ(def->fields.size(), t.fields.size());
        for (std::size_t i = 0; i < t.fields.size(); ++i) {
            EXPECT_EQ(def->fields[i].name, t.fields[i].first) << "field " << i + 1;
            EXPECT_EQ(def->fields[i].type, t.fields[i].second) << t.fields[i].first;
        }
    }
    // The tables that only the issued-invoice bookkeeping, the queue, the settings and the clearing name.
    EXPECT_GE(FindStoreTable("MakeInvoice")->FieldIndex("开票类型"), 0);
    EXPECT_GE(FindStoreTable("MakeInvoice")->FieldIndex("发票号"), 0);
    EXPECT_GE(FindStoreTable("ARecord")->FieldIndex("记录号"), 0);
    EXPECT_GE(FindStoreTable("ARecord")->FieldIndex("记录"), 0);
    EXPECT_EQ(FindStoreTable("ComSet")->fields[0].name, "CommPort");
    EXPECT_EQ(FindStoreTable("ComSet")->fields[1].name, "Bite");
    for (const char* name : {"IdiographShow", "WatchCommand", "WatchAcceptData", "WatchError"})
        EXPECT_NE(FindStoreTable(name), nullptr) << name;
}

TEST(SelectionParse, AcceptsTheProgramsTexts) {
    struct Case {
        const char* text;
        const char* table;
        std::size_t terms;
    } cases[] = {
        {"Select * From InvoiceNumber", "InvoiceNumber", 0},
        {"Select * From InvoiceNumber where 发票使用状态 = 1", "InvoiceNumber", 1},
        {"Select * From InvoiceNumber Where 发票使用状态 = 1", "InvoiceNumber", 1},
        {"select * from [DayTrade] where 日期 between '20240101' and '20240131'", "DayTrade", 1},
        {"Select * From InvPrintData where 开票日期 = '20240101' and 开票类型 = 2", "InvPrintData", 2},
    };
    for (const Case& c : cases) {
        Selection sel;
        std::string why;
        ASSERT_EQ(ParseSelectText(c.text, sel, why), 0) << c.text << " " << why;
        EXPECT_EQ(sel.table, c.table);
        EXPECT_EQ(sel.where.size(), c.terms) << c.text;
    }
}

TEST(SelectionParse, CriterionValuesKeepTheirKind) {
    std::vector<Condition> out;
    std::string why;
    ASSERT_EQ(ParseCriterion("签名状态= 1", out, why), 0);
    ASSERT_EQ(ParseCriterion("发票代码单卷发票起始号 ='O''Brien'", out, why), 0);
    ASSERT_EQ(ParseCriterion("金额1 = -2.50", out, why), 0);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].field, "签名状态");
    EXPECT_EQ(std::get<std::int64_t>(out[0].low), 1);
    EXPECT_EQ(std::get<std::string>(out[1].low), "O'Brien");
    EXPECT_DOUBLE_EQ(std::get<double>(out[2].low), -2.5);
}

TEST(SelectionParse, RefusesAnythingElse) {
    const char* criteria[] = {
        "",
        "日期",
        "日期 = ",
        "日期 = 'unterminated",
        "日期 = '1' OR '1'='1'",
        "日期 = '1'; DROP TABLE DayTrade",
        "日期 > '1'",
        "日期 = abc",
        "日期 = 1x",
        "日期 = 99999999999999999999",
        "日期 between '1'",
        "(日期 = '1')",
    };
    for (const char* text : criteria) {
        std::vector<Condition> out;
        std::string why;
        EXPECT_EQ(ParseCriterion(text, out, why), result::kStoreBadCriterion) << text;
        EXPECT_TRUE(out.empty()) << text;
        EXPECT_FALSE(why.empty());
    }
    const char* selects[] = {"Select 日期 From DayTrade", "Delete From DayTrade", "Select * From",
                             "Select * From DayTrade; DROP TABLE ComSet", "Select * From DayTrade order by 日期"};
    for (const char* text : selects) {
        Selection sel;
        std::string why;
        EXPECT_EQ(ParseSelectText(text, sel, why), result::kStoreBadCriterion) << text;
    }
}

}  // namespace
}  // namespace karvex
