#include "store/record_set.h"

#include "store/store_codes.h"
#include "store_test_support.h"

namespace karvex {
namespace {

using testing::OpenStoreTest;
using testing::StoreDirTest;

class RecordSetTest : public OpenStoreTest {
protected:
    void AddDay(RecordSet& rs, const std::string& day, std::int64_t normal) {
        ASSERT_EQ(rs.AddNew(), 0);
        ASSERT_EQ(rs.SetText("日期", day), 0);
        ASSERT_EQ(rs.SetInteger("正常发票份数", normal), 0);
        ASSERT_EQ(rs.Update(), 0) << rs.LastErrorText();
    }
    std::shared_ptr<StoreConnection> Conn() { return store_->Connection(); }
};

TEST_F(RecordSetTest, NavigatesInOrderOfArrival) {
    RecordSet rs;
    ASSERT_EQ(rs.Open(Conn(), "Select * From DayTrade"), 0);
    EXPECT_TRUE(rs.Bof());
    EXPECT_TRUE(rs.Eof());
    EXPECT_EQ(rs.MoveFirst(), result::kNoCurrentRecord);
    std::string text;
    EXPECT_EQ(rs.GetText("日期", text), result::kNoCurrentRecord);

    for (const char* day : {"20240103", "20240101", "20240102"}) AddDay(rs, day, 1);
    ASSERT_EQ(rs.Open(Conn(), "Select * From DayTrade"), 0);
    std::int64_t n = 0;
    ASSERT_EQ(rs.RecordCount(n), 0);
    EXPECT_EQ(n, 3);
    std::vector<std::string> seen;
    ASSERT_EQ(rs.MoveFirst(), 0);
    while (!rs.Eof()) {
        ASSERT_EQ(rs.GetText("日期", text), 0);
        seen.push_back(text);
        ASSERT_EQ(rs.MoveNext(), 0);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"20240103", "20240101", "20240102"}));
    EXPECT_EQ(rs.MoveNext(), result::kNoCurrentRecord);
}

TEST_F(RecordSetTest, FindSearchesForwardFromTheCurrentRow) {
    RecordSet rs;
    ASSERT_EQ(rs.Open(Conn(), "Select * From InvoiceNumber"), 0);
    struct Roll {
        const char* code;
        const char* first;
        int state;
    } rolls[] = {{"11111111111111111111", "0000000001", 1},
                 {"11111111111111111111", "0000000101", 2},
                 {"22222222222222222222", "0000000001", 1}};
    for (const Roll& r : rolls) {
        ASSERT_EQ(rs.AddNew(), 0);
        ASSERT_EQ(rs.SetText("发票代码", r.code), 0);
        ASSERT_EQ(rs.SetText("单卷发票起始号", r.first), 0);
        ASSERT_EQ(rs.SetInteger("发票使用状态", r.state), 0);
        ASSERT_EQ(rs.SetText("发票代码单卷发票起始号", std::string(r.code) + r.first), 0);
        ASSERT_EQ(rs.Update(), 0) << rs.LastErrorText();
    }
    std::string text;
    ASSERT_EQ(rs.MoveFirst(), 0);
    ASSERT_EQ(rs.Find("发票使用状态 =2"), 0);
    ASSERT_FALSE(rs.Eof());
    EXPECT_EQ(rs.GetText("单卷发票起始号", text), 0);
    EXPECT_EQ(text, "0000000101");

    // Same code, different first number: a different roll.
    ASSERT_EQ(rs.MoveFirst(), 0);
    ASSERT_EQ(rs.Find("发票代码单卷发票起始号 ='222222222222222222220000000001'"), 0);
    ASSERT_FALSE(rs.Eof());
    // Forward only: from the last row the first roll is not found again.
    ASSERT_EQ(rs.Find("发票代码单卷发票起始号 ='111111111111111111110000000001'"), 0);
    EXPECT_TRUE(rs.Eof());
    // A number written as text, and text compared as text (not as a number).
    ASSERT_EQ(rs.MoveFirst(), 0);
    ASSERT_EQ(rs.Find("发票使用状态 = '2'"), 0);
    EXPECT_FALSE(rs.Eof());
    ASSERT_EQ(rs.MoveFirst(), 0);
    ASSERT_EQ(rs.Find("单卷发票起始号 = 101"), 0);
    EXPECT_TRUE(rs.Eof());

    EXPECT_EQ(rs.Find("没有的字段 = 1"), result::kNoSuchField);
    EXPECT_EQ(rs.Find("发票使用状态 => 1"), result::kStoreBadCriterion);

    RecordSet filtered;
    ASSERT_EQ(filtered.Open(Conn(), "Select * From InvoiceNumber where 发票使用状态 = 1"), 0);
    std::int64_t n = 0;
    filtered.RecordCount(n);
    EXPECT_EQ(n, 2);
    ASSERT_EQ(filtered.Open(Conn(), Selection::Of("InvoiceNumber").Between("发票代码", "2", "3")), 0);
    filtered.RecordCount(n);
    EXPECT_EQ(n, 1);
}

TEST_F(RecordSetTest, UpdateAndDeleteReachTheFile) {
    RecordSet rs;
    ASSERT_EQ(rs.Open(Conn(), "Select * From DayTrade"), 0);
    for (const char* day : {"20240101", "20240102", "20240103"}) AddDay(rs, day, 1);
    ASSERT_EQ(rs.MoveFirst(), 0);
    ASSERT_EQ(rs.Find("日期='20240102'"), 0);
    ASSERT_EQ(rs.SetInteger("正常发票份数", 7), 0);
    ASSERT_EQ(rs.SetDouble("正常发票累计金额1", 12.34), 0);
    ASSERT_EQ(rs.Update(), 0);
    ASSERT_EQ(rs.MoveFirst(), 0);
    ASSERT_EQ(rs.Delete(), 0);
    std::string text;
    ASSERT_EQ(rs.GetText("日期", text), 0);  // the next row is current after a delete
    EXPECT_EQ(text, "20240102");

    RecordSet again;
    ASSERT_EQ(again.Open(Conn(), Selection::Of("DayTrade").Where("日期", "20240102")), 0);
    std::int64_t n = 0, normal = 0;
    double amount = 0;
    again.RecordCount(n);
    ASSERT_EQ(n, 1);
    EXPECT_EQ(again.GetInteger("正常发票份数", normal), 0);
    EXPECT_EQ(again.GetDouble("正常发票累计金额1", amount), 0);
    EXPECT_EQ(normal, 7);
    EXPECT_DOUBLE_EQ(amount, 12.34);
    EXPECT_EQ(Count(*store_, "DayTrade"), 2);

    ASSERT_EQ(again.DeleteAll(), 0);
    EXPECT_TRUE(again.Eof());
    EXPECT_EQ(again.Delete(), result::kNoCurrentRecord);
    EXPECT_EQ(Count(*store_, "DayTrade"), 1);
}

TEST_F(RecordSetTest, TypedValuesAndNulls) {
    RecordSet rs;
    ASSERT_EQ(rs.Open(Conn(), "Select * From InvPrintData"), 0);
    ASSERT_EQ(rs.AddNew(), 0);
    const Bytes gbk = BytesOf({0xC9, 0xCC, 0xC6, 0xB7, 0x41});  // not valid UTF-8
    struct SetCase {
        const char* field;
        FieldValue value;
        std::int32_t code;
    } sets[] = {
        {"开票日期发票号", std::string("202401010000000001"), 0},
        {"开票类型", std::int64_t{255}, 0},
        {"开票类型", std::int64_t{256}, result::kStoreTypeMismatch},
        {"开票类型", std::int64_t{-1}, result::kStoreTypeMismatch},
        {"开票类型", std::string("12"), 0},
        {"开票类型", std::string("1a"), result::kStoreTypeMismatch},
        {"开票类型", 2.5, result::kStoreTypeMismatch},
        {"开票类型", 2.0, 0},
        {"开票总金额", std::string("abc"), result::kStoreTypeMismatch},
        {"开票总金额", std::int64_t{100}, 0},
        {"发票号", std::int64_t{42}, 0},
        {"付款单位", gbk, 0},
        {"开票类型", Bytes{1}, result::kStoreTypeMismatch},
        {"没有的字段", std::int64_t{1}, result::kNoSuchField},
    };
    for (const SetCase& c : sets) EXPECT_EQ(rs.Set(c.field, c.value), c.code) << c.field;
    ASSERT_EQ(rs.Update(), 0) << rs.LastErrorText();

    RecordSet back;
    ASSERT_EQ(back.Open(Conn(), "Select * From InvPrintData"), 0);
    std::int64_t kind = 0;
    double total = 0;
    std::string number, empty = "x";
    Bytes payer;
    bool isNull = false;
    EXPECT_EQ(back.GetInteger("开票类型", kind), 0);
    EXPECT_EQ(kind, 2);
    EXPECT_EQ(back.GetDouble("开票总金额", total), 0);
    EXPECT_DOUBLE_EQ(total, 100.0);
    EXPECT_EQ(back.GetText("发票号", number), 0);
    EXPECT_EQ(number, "42");
    EXPECT_EQ(back.GetBytes("付款单位", payer), 0);
    EXPECT_EQ(payer, gbk);
    // Untouched goods slots stay null and read as empty values.
    EXPECT_EQ(back.IsNull("商品名称3", isNull), 0);
    EXPECT_TRUE(isNull);
    EXPECT_EQ(back.GetText("商品名称3", empty), 0);
    EXPECT_EQ(empty, "");
    EXPECT_EQ(back.GetInteger("税种税目索引号6", kind), 0);
    EXPECT_EQ(kind, 0);
    EXPECT_EQ(back.GetInteger("付款单位", kind), result::kStoreTypeMismatch);
    EXPECT_EQ(back.SetNull("发票号"), 0);
    ASSERT_EQ(back.Update(), 0);
    ASSERT_EQ(back.Requery(), 0);
    EXPECT_EQ(back.IsNull("发票号", isNull), 0);
    EXPECT_TRUE(isNull);
}

TEST_F(RecordSetTest, DuplicateKeyIsRefusedWithTheComposedMessage) {
    RecordSet rs;
    ASSERT_EQ(rs.Open(Conn(), "Select * From DayTrade"), 0);
    AddDay(rs, "20240101", 1);
    ASSERT_EQ(rs.AddNew(), 0);
    ASSERT_EQ(rs.SetText("日期", "20240101"), 0);
    EXPECT_EQ(rs.Update(), result::kDuplicateKey);
    EXPECT_EQ(result::kDuplicateKey, -2147467259);
    EXPECT_EQ(rs.LastErrorText(), DuplicateKeyMessage());
    EXPECT_EQ(DuplicateKeyMessage(),
              "数据库错误：-2147467259\n\n"
              "    由于将在索引、主关键字、或关系中创建重复的值，请求对表的改变没有成功。\n"
              "    改变该字段中的或包含重复数据的字段中的数据，删除索引或重新定义索引\n"
              "允许重复的值并再试一次。");
    // The refused row is not saved and the record set goes on working.
    EXPECT_EQ(Count(*store_, "DayTrade"), 1);
    AddDay(rs, "20240102", 1);
    EXPECT_EQ(Count(*store_, "DayTrade"), 2);
}

TEST_F(RecordSetTest, InjectionAttemptsStayPlainValues) {
    const std::string evil = "x'); DROP TABLE \"ComSet\"; --";
    RecordSet rs;
    ASSERT_EQ(rs.Open(Conn(), "Select * From MachineData"), 0);
    ASSERT_EQ(rs.AddNew(), 0);
    ASSERT_EQ(rs.SetText("机器编号", evil), 0);
    ASSERT_EQ(rs.Update(), 0);

    ASSERT_EQ(rs.MoveFirst(), 0);
    std::string criterion = "机器编号 = 'x''); DROP TABLE \"ComSet\"; --'";
    ASSERT_EQ(rs.Find(criterion), 0);
    ASSERT_FALSE(rs.Eof());
    ASSERT_EQ(rs.Open(Conn(), Selection::Of("MachineData").Where("机器编号", evil)), 0);
    EXPECT_FALSE(rs.Eof());

    EXPECT_EQ(rs.Open(Conn(), Selection::Of("MachineData").Where("机器编号\" = 1 OR \"1", 1)), result::kNoSuchField);
    EXPECT_EQ(rs.Open(Conn(), Selection::Of("MachineData\"; DROP TABLE \"ComSet")), result::kStoreOpenFailed);
    EXPECT_EQ(rs.Open(Conn(), "Select * From MachineData where 机器编号 = '1' or 1 = 1"), result::kStoreOpenFailed);
    EXPECT_FALSE(rs.IsOpen());
    EXPECT_EQ(rs.Set("机器编号", std::string("y")), result::kStoreOpenFailed);
    EXPECT_EQ(Count(*store_, "ComSet"), 1);
    EXPECT_EQ(Count(*store_, "MachineData"), 1);
}

TEST_F(RecordSetTest, MovingSavesAPendingEditAndAFailedSaveIsDropped) {
    RecordSet rs;
    ASSERT_EQ(rs.Open(Conn(), "Select * From DayTrade"), 0);
    AddDay(rs, "20240101", 1);
    AddDay(rs, "20240102", 1);
    ASSERT_EQ(rs.MoveFirst(), 0);
    ASSERT_EQ(rs.SetInteger("废票份数", 9), 0);
    ASSERT_EQ(rs.MoveNext(), 0);  // saves
    ASSERT_EQ(rs.SetText("日期", "20240101"), 0);
    EXPECT_EQ(rs.MoveFirst(), result::kDuplicateKey);
    std::string day;
    ASSERT_EQ(rs.GetText("日期", day), 0);
    EXPECT_EQ(day, "20240102");

    RecordSet check;
    ASSERT_EQ(check.Open(Conn(), Selection::Of("DayTrade").Where("日期", "20240101")), 0);
    std::int64_t voided = 0;
    EXPECT_EQ(check.GetInteger("废票份数", voided), 0);
    EXPECT_EQ(voided, 9);
}

TEST_F(RecordSetTest, ClosedConnectionGivesNotOpen) {
    RecordSet rs;
    ASSERT_EQ(rs.Open(Conn(), "Select * From ARecord"), 0);
    store_->Close();
    std::int64_t n = 0;
    EXPECT_EQ(rs.RecordCount(n), result::kStoreOpenFailed);
    EXPECT_EQ(rs.AddNew(), result::kStoreOpenFailed);
    EXPECT_TRUE(rs.Eof());
    EXPECT_EQ(rs.Open(nullptr, "Select * From ARecord"), result::kStoreOpenFailed);
}

}  // namespace
}  // namespace karvex
