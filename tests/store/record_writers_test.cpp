// The record writers over a real store: where each writer puts its row, what a second frame with the same
// key does, and who hears of a writer's failure.
#include "store/record_writers.h"

#include <sqlcipher/sqlite3.h>

#include <tuple>

#include "store/store_codes.h"
#include "store_test_support.h"

namespace karvex {
namespace {

using testing::StoreDirTest;

class RecordWritersTest : public StoreDirTest {
protected:
    void SetUp() override {
        StoreDirTest::SetUp();
        handle_ = std::make_shared<StoreHandle>();
        handle_->access = std::make_unique<StoreAccess>(dir_);
        ASSERT_EQ(handle_->access->Open(), 0) << handle_->access->LastErrorText();
        writers_ =
            std::make_unique<StoreRecordWriters>(handle_, [this](const std::string& title, const std::string& text) {
                notices_.push_back({title, text});
            });
    }
    void TearDown() override {
        writers_.reset();
        handle_.reset();
        StoreDirTest::TearDown();
    }

    StoreAccess& Access() { return *handle_->access; }

    // The rows of a table in arrival order, one field read as text.
    std::vector<std::string> Column(const std::string& table, const std::string& field) {
        RecordSet rs;
        std::vector<std::string> out;
        EXPECT_EQ(rs.Open(Access().Connection(), Selection::Of(table)), 0);
        for (bool ok = rs.MoveFirst() == 0; ok && !rs.Eof(); ok = rs.MoveNext() == 0) {
            std::string v;
            bool null = false;
            rs.IsNull(field, null);
            rs.GetText(field, v);
            out.push_back(null ? "<null>" : v);
        }
        return out;
    }

    struct Notice {
        std::string title;
        std::string text;
    };
    std::shared_ptr<StoreHandle> handle_;
    std::unique_ptr<StoreRecordWriters> writers_;
    std::vector<Notice> notices_;
};

DayTradeRecord Day(const std::string& date, std::uint16_t normal) {
    DayTradeRecord d;
    d.date = date;
    d.normal_count = normal;
    d.signature = std::string(256, 'A');
    for (int k = 0; k < kAnswerSlots; ++k)
        d.slots[static_cast<std::size_t>(k)] = {static_cast<std::uint8_t>(k + 1), 1.5, 0.25};
    return d;
}

TEST_F(RecordWritersTest, SameDayTwiceInOneAnswerLeavesOneRowWithTheLaterValues) {
    ASSERT_EQ(writers_->OpenCommandTables(0x44), 0);
    ASSERT_EQ(writers_->SaveDayTrade(Day("20240301", 3)), 0);
    ASSERT_EQ(writers_->SaveDayTrade(Day("20240302", 4)), 0);
    ASSERT_EQ(writers_->SaveDayTrade(Day("20240301", 7)), 0);
    writers_->CloseCommandTables(0x44);
    ASSERT_EQ(writers_->TakeCloseResult(), 0);
    EXPECT_EQ(Column("DayTrade", "日期"), (std::vector<std::string>{"20240301", "20240302"}));
    EXPECT_EQ(Column("DayTrade", "正常发票份数"), (std::vector<std::string>{"7", "4"}));
    EXPECT_EQ(Column("DayTrade", "税种税目索引号6"), (std::vector<std::string>{"6", "6"}));
}

TEST_F(RecordWritersTest, TaxItemsAreNumberedAfterTheRowsAlreadyThere) {
    ASSERT_EQ(writers_->OpenCommandTables(0x39), 0);
    TaxItemRecord item{1, "01020304", 65535, "食品", "Food"};
    ASSERT_EQ(writers_->SaveTaxInformation(item), 0);
    item.index = 2;
    ASSERT_EQ(writers_->SaveTaxInformation(item), 0);
    writers_->CloseCommandTables(0x39);
    EXPECT_EQ(Column("TaxInformation", "序号"), (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(Column("TaxInformation", "税率"), (std::vector<std::string>{"65535", "65535"}));
}

TEST_F(RecordWritersTest, ListedRollFoundByKeyReturnsToStateOne) {
    InvoiceRollRecord roll{
        "12345678901234567890",          "0000000001", "0000001000", " ", 1, " ", " ", "20240301 09：00：00",
        "123456789012345678900000000001"};
    ASSERT_EQ(writers_->OpenCommandTables(0x32), 0);
    ASSERT_EQ(writers_->SaveInvoiceNumber(roll, kRollByKey), 0);
    ASSERT_EQ(writers_->SaveInvoiceNumber(roll, kRollByKey), 0);
    roll.first_number = "0000001001";
    roll.key = roll.invoice_code + roll.first_number;
    ASSERT_EQ(writers_->SaveInvoiceNumber(roll, kRollByKey), 0);  // same code, another roll
    writers_->CloseCommandTables(0x32);
    EXPECT_EQ(Column("InvoiceNumber", "单卷发票起始号"), (std::vector<std::string>{"0000000001", "0000001001"}));
    EXPECT_EQ(Column("InvoiceNumber", "发票使用状态"), (std::vector<std::string>{"1", "1"}));
    EXPECT_EQ(Column("InvoiceNumber", "开始使用时间"), (std::vector<std::string>{" ", " "}));
}

TEST_F(RecordWritersTest, MachineAndUserDataOverwriteTheirSingleRow) {
    for (const char* number : {"1111111111111111", "2222222222222222"}) {
        ASSERT_EQ(writers_->OpenCommandTables(0x37), 0);
        ASSERT_EQ(writers_->SaveMachineData({number, "20040102", "HW", "SW"}), 0);
        writers_->CloseCommandTables(0x37);
    }
    EXPECT_EQ(Column("MachineData", "机器编号"), (std::vector<std::string>{"2222222222222222"}));
    UserInformationRecord user;
    user.taxpayer_name = "ACME";
    user.declare_method = 255;
    user.single_invoice_limit = 42949672.95;
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(writers_->OpenCommandTables(0x38), 0);
        ASSERT_EQ(writers_->SaveUserInformation(user), 0);
        writers_->CloseCommandTables(0x38);
    }
    EXPECT_EQ(Column("UserInformation", "申报方式"), (std::vector<std::string>{"255"}));
}

TEST_F(RecordWritersTest, LaterFrameOfTheSameInvoiceLeavesEmptySlotsAsTheyWere) {
    InvPrintDataRecord rec;
    rec.issue_date = "20240301";
    rec.invoice_number = "0000000007";
    rec.key = rec.issue_date + rec.invoice_number;
    rec.goods[0] = GoodsLine{"米", 3, 1, 9};
    rec.goods[1] = GoodsLine{"茶", 1, 2, 5};
    ASSERT_EQ(writers_->OpenCommandTables(0x3F), 0);
    ASSERT_EQ(writers_->SaveInvPrintData(rec), 0);
    rec.goods[1].reset();
    rec.goods[0]->name = "面";
    ASSERT_EQ(writers_->SaveInvPrintData(rec), 0);
    writers_->CloseCommandTables(0x3F);
    EXPECT_EQ(Column("InvPrintData", "商品名称1"), (std::vector<std::string>{"面"}));
    EXPECT_EQ(Column("InvPrintData", "商品名称2"), (std::vector<std::string>{"茶"}));
    EXPECT_EQ(Column("InvPrintData", "金额3"), (std::vector<std::string>{"<null>"}));
}

// A refilled table takes its new rows several to a statement: the rows keep their order, a key written
// again in the same answer (before or after the waiting rows went out) still updates its one row and keeps
// the slots it leaves empty, and a row the engine refuses is the only one missing, failing the answer.
TEST_F(RecordWritersTest, RefilledPrintDataKeepsOrderRepeatsAndRowsBesideARefusedOne) {
    auto invoice = [](int n, const char* goods) {
        InvPrintDataRecord rec;
        rec.issue_date = "20240301";
        rec.invoice_number = std::to_string(1000000000 + n);
        rec.key = rec.issue_date + rec.invoice_number;
        rec.goods[0] = GoodsLine{goods, 1, 1, 2};
        if (std::string(goods) == "米") rec.goods[1] = GoodsLine{"茶", 1, 2, 5};
        return rec;
    };
    const struct {
        int refused;  // invoice the engine refuses, or -1
    } cases[] = {{-1}, {40}};
    for (const auto& c : cases) {
        ASSERT_EQ(writers_->OpenCommandTables(0x3F), 0);
        ASSERT_EQ(writers_->ClearCommandTable(0x3F), 0);
        ASSERT_EQ(Access().Connection()->Exec(
                      "DROP TRIGGER IF EXISTS temp.refuse; CREATE TEMP TRIGGER refuse BEFORE INSERT ON InvPrintData "
                      "WHEN NEW.\"发票号\" = '" +
                      std::to_string(1000000000 + c.refused) + "' BEGIN SELECT RAISE(ABORT, 'refused'); END;"),
                  0);
        std::vector<std::string> expected;
        int failures = 0;  // the frame whose statement went out with the refused row, or the close
        for (int n = 0; n < 70; ++n) {
            failures += writers_->SaveInvPrintData(invoice(n, "米")) != 0;
            if (n != c.refused) expected.push_back(std::to_string(1000000000 + n));
        }
        ASSERT_EQ(writers_->SaveInvPrintData(invoice(5, "面")), 0) << "after its row went out";
        ASSERT_EQ(writers_->SaveInvPrintData(invoice(69, "面")), 0) << "while its row still waits";
        writers_->CloseCommandTables(0x3F);
        failures += writers_->TakeCloseResult() != 0;
        EXPECT_EQ(failures, c.refused >= 0 ? 1 : 0);
        EXPECT_EQ(Column("InvPrintData", "发票号"), expected);
        const auto names = Column("InvPrintData", "商品名称1");
        const auto kept = Column("InvPrintData", "商品名称2");
        ASSERT_EQ(names.size(), expected.size());
        EXPECT_EQ(names[5], "面");
        EXPECT_EQ(names.back(), "面");
        EXPECT_EQ(kept[5], "茶");
        EXPECT_EQ(Column("InvPrintData", "数量3")[0], "<null>");
    }
    ASSERT_EQ(Access().Connection()->Exec("DROP TRIGGER temp.refuse"), 0);
}

// The engine undid the answer's transaction (as a full disk may): a later frame's row is refused, not
// kept on its own as part of an answer, whether it would go alone or with others.
TEST_F(RecordWritersTest, RowsAfterTheAnswerWasUndoneAreRefusedNotKeptAlone) {
    for (const bool refill : {false, true}) {
        ASSERT_EQ(writers_->OpenCommandTables(0x44), 0);
        if (refill) {
            ASSERT_EQ(writers_->ClearCommandTable(0x44), 0);
        }
        ASSERT_EQ(writers_->SaveDayTrade(Day("20240301", 3)), 0);
        ASSERT_EQ(Access().Connection()->Exec("ROLLBACK"), 0);
        EXPECT_NE(writers_->SaveDayTrade(Day("20240302", 4)), 0) << refill;
        writers_->CloseCommandTables(0x44);
        EXPECT_NE(writers_->TakeCloseResult(), 0);
        EXPECT_TRUE(Column("DayTrade", "日期").empty()) << refill;
    }
}

TEST_F(RecordWritersTest, SignatureGoesToTheFirstWaitingRow) {
    SignatureRecord sig{std::string(256, 'F')};
    ASSERT_EQ(writers_->OpenCommandTables(0x46), 0);
    EXPECT_EQ(writers_->SaveIdiograph(sig), result::kSignatureRowMissing);  // empty table
    writers_->CloseCommandTables(0x46);

    ASSERT_EQ(Access().OpenAccess("Select * From Idiograph", 3), 0);
    RecordSet* rs = Access().Slot(3);
    for (int state : {2, 1, 1}) {
        ASSERT_EQ(rs->AddNew(), 0);
        ASSERT_EQ(rs->SetInteger("签名状态", state), 0);
        ASSERT_EQ(rs->SetText("签名数据", "data" + std::to_string(state)), 0);
        ASSERT_EQ(rs->Update(), 0);
    }
    Access().ReleaseSlot(3);
    ASSERT_EQ(writers_->OpenCommandTables(0x46), 0);
    ASSERT_EQ(writers_->SaveIdiograph(sig), 0);
    writers_->CloseCommandTables(0x46);
    EXPECT_EQ(Column("Idiograph", "签名状态"), (std::vector<std::string>{"2", "2", "1"}));
    EXPECT_EQ(Column("Idiograph", "电子签名"), (std::vector<std::string>{"<null>", sig.signature, "<null>"}));
    EXPECT_EQ(Column("Idiograph", "签名数据"), (std::vector<std::string>{"data2", "data1", "data1"}));

    // Nothing waiting: 151, nothing changed.
    ASSERT_EQ(writers_->OpenCommandTables(0x46), 0);
    ASSERT_EQ(writers_->SaveIdiograph(sig), 0);
    EXPECT_EQ(writers_->SaveIdiograph(sig), result::kSignatureRowMissing);
    writers_->CloseCommandTables(0x46);
    EXPECT_EQ(Column("Idiograph", "签名状态"), (std::vector<std::string>{"2", "2", "2"}));
}

// Only the roll, print-data and declaration writers tell the operator of a store failure; the print-data one
// under its own title.
TEST_F(RecordWritersTest, StoreFailuresAreNoticedOnlyByTheWritersThatReportThem) {
    handle_->access->Close();
    InvoiceRollRecord roll;
    roll.key = "k";
    InvPrintDataRecord invoice;
    invoice.key = "k";
    DeclareDataRecord declaration;
    EXPECT_EQ(writers_->SaveInvoiceNumber(roll, kRollAdd), result::kStoreOpenFailed);
    EXPECT_EQ(writers_->SaveInvPrintData(invoice), result::kStoreOpenFailed);
    EXPECT_EQ(writers_->SaveDeclareData(declaration), result::kStoreOpenFailed);
    ASSERT_EQ(notices_.size(), 3u);
    EXPECT_EQ(notices_[0].title, "");
    EXPECT_EQ(notices_[1].title, "发票打印数据");
    EXPECT_EQ(notices_[2].title, "");
    for (const Notice& n : notices_) EXPECT_FALSE(n.text.empty());

    EXPECT_EQ(writers_->SaveUserInformation({}), result::kStoreOpenFailed);
    EXPECT_EQ(writers_->SaveTaxInformation({}), result::kStoreOpenFailed);
    EXPECT_EQ(writers_->SaveDayTrade({}), result::kStoreOpenFailed);
    EXPECT_EQ(writers_->SaveInvUseSum({}), result::kStoreOpenFailed);
    EXPECT_EQ(writers_->SaveMachineData({}), result::kStoreOpenFailed);
    EXPECT_EQ(writers_->SaveIdiograph({}), result::kStoreOpenFailed);
    EXPECT_EQ(notices_.size(), 3u);
}

TEST_F(RecordWritersTest, RefusedRollIsLeftUnsavedAndReported) {
    InvoiceRollRecord roll{
        "12345678901234567890",          "0000000001", "0000001000", " ", 1, " ", " ", "20240301 09：00：00",
        "123456789012345678900000000001"};
    ASSERT_EQ(writers_->OpenCommandTables(0x31), 0);
    ASSERT_EQ(writers_->SaveInvoiceNumber(roll, kRollAdd), 0);
    roll.last_number = "0000009999";
    EXPECT_EQ(writers_->SaveInvoiceNumber(roll, kRollAdd), result::kDuplicateKey);
    writers_->CloseCommandTables(0x31);
    EXPECT_EQ(writers_->TakeCloseResult(), 0);
    EXPECT_EQ(Column("InvoiceNumber", "单卷发票终止号"), (std::vector<std::string>{"0000001000"}));
    ASSERT_EQ(notices_.size(), 1u);
}

// Roll progress: the number goes into the roll that holds it, a lower one changes nothing. Rolls A
// (1..100, in use at 50 unless the case says otherwise) and B (101..200, distributed).
TEST_F(RecordWritersTest, RollProgressWritesTheNumberIntoTheRollThatHoldsIt) {
    const struct {
        const char* current;  // A's 当前发票号 before
        const char* p;
        ResultCode code;
        std::vector<std::string> states;   // A, B after
        std::vector<std::string> numbers;  // their 当前发票号 after
    } cases[] = {
        {"0000000050", "0000000051", 0, {"2", "1"}, {"0000000051", " "}},
        {"0000000050", "0000000060", result::kRollNotNextNumber, {"2", "1"}, {"0000000060", " "}},
        {"0000000050", "0000000050", 0, {"2", "1"}, {"0000000050", " "}},
        {"0000000050", "0000000040", result::kRollNumberLower, {"2", "1"}, {"0000000050", " "}},
        {"0000000050", "0000000150", 0, {"3", "2"}, {"0000000050", "0000000150"}},
        {"0000000050", "0000000300", result::kRollNumberNotFound, {"3", "1"}, {"0000000050", " "}},
        // A roll taken into use without a number yet: below its start is no number of it.
        {" ", "0000000000", result::kRollNumberLower, {"2", "1"}, {" ", " "}},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(Access().ClearStoreTables(2, StoreTableFlags::kInvoiceNumber), 0);
        for (const auto& [first, last, state, current] :
             {std::tuple{"0000000001", "0000000100", 2, c.current}, std::tuple{"0000000101", "0000000200", 1, " "}}) {
            ASSERT_EQ(writers_->WriteRow("InvoiceNumber", RowPosition::Add,
                                         {{"发票代码", std::string("C")},
                                          {"单卷发票起始号", std::string(first)},
                                          {"单卷发票终止号", std::string(last)},
                                          {"当前发票号", std::string(current)},
                                          {"发票使用状态", std::int64_t{state}},
                                          {"用完时间", std::string(" ")},
                                          {"发票代码单卷发票起始号", "C" + std::string(first)}}),
                      0);
        }
        std::string previous;
        EXPECT_EQ(writers_->SaveMakeInvoice(c.p, previous), c.code) << c.p;
        EXPECT_EQ(previous, c.current) << c.p;
        EXPECT_EQ(Column("InvoiceNumber", "发票使用状态"), c.states) << c.p;
        EXPECT_EQ(Column("InvoiceNumber", "当前发票号"), c.numbers) << c.p;
        EXPECT_EQ(Column("InvoiceNumber", "用完时间")[0] != " ", c.states[0] == "3") << c.p;
    }
}

// A full disk: the engine's reason comes with its own code, and a queue that cannot write drops its
// frames once instead of writing a growing list again for every later frame.
TEST_F(RecordWritersTest, FullDiskIsReportedOnceWithItsReasonAndTheFramesAreDropped) {
    StoreConnection& conn = *Access().Connection();
    ASSERT_EQ(conn.Exec("PRAGMA max_page_count = " +
                        [&] {
                            Statement pages(conn, "PRAGMA page_count");
                            sqlite3_step(pages.get());
                            return std::to_string(sqlite3_column_int64(pages.get(), 0));
                        }()),
              0);

    ASSERT_EQ(writers_->OpenCommandTables(0x3F), 0);
    InvPrintDataRecord rec;
    rec.key = "20240301" + std::string(2000, '7');
    rec.payer = std::string(5000, 'P');
    EXPECT_EQ(writers_->SaveInvPrintData(rec), result::kDiskFull);
    writers_->CloseCommandTables(0x3F);
    EXPECT_NE(writers_->LastErrorText().find("database or disk is full"), std::string::npos)
        << writers_->LastErrorText();

    StoreAnswerQueue queue(handle_);
    const std::string frame(400, 'A');
    ResultCode first = 0;
    std::size_t at = 0;
    for (std::size_t i = 1; i <= StoreAnswerQueue::kBatch + 20 && first == 0; ++i) {
        first = queue.Append(static_cast<int>(i), frame);
        at = i;
    }
    EXPECT_EQ(first, result::kDiskFull);
    EXPECT_EQ(at, StoreAnswerQueue::kBatch);
    EXPECT_EQ(queue.Count(), 0u) << "the answer's frames are dropped";
    EXPECT_NE(queue.LastErrorText().find("database or disk is full"), std::string::npos);
    EXPECT_EQ(queue.Append(static_cast<int>(at + 1), frame), result::kDiskFull) << "refused without writing";
    EXPECT_EQ(queue.Count(), 0u);
    queue.Clear();
    EXPECT_EQ(queue.Append(1, frame), 0) << "the next answer starts afresh";
    EXPECT_TRUE(queue.LastErrorText().empty());
}

// Frames come back in arrival order, none twice and none missing, whether the answer stayed in memory,
// outgrew it part-way (everything is then read back from the table) or ended with frames not yet written;
// emptying the queue leaves the store's deletes as they were.
TEST_F(RecordWritersTest, QueuedFramesComeBackInOrderWhetherHeldOrReadBack) {
    const std::size_t frameBytes = 40;
    const struct {
        std::size_t frames;
        std::size_t heldFrames;  // how many fit in memory
    } cases[] = {
        {StoreAnswerQueue::kBatch + 20, StoreAnswerQueue::kBatch * 4},
        {StoreAnswerQueue::kBatch * 2 + 20, 5},
        {StoreAnswerQueue::kBatch * 2, StoreAnswerQueue::kBatch + 1},
    };
    for (const auto& c : cases) {
        StoreAnswerQueue queue(handle_, c.heldFrames * frameBytes);
        queue.Clear();
        std::vector<std::string> sent;
        for (std::size_t i = 1; i <= c.frames; ++i) {
            std::string frame = std::to_string(i);
            frame.resize(frameBytes, 'F');
            ASSERT_EQ(queue.Append(static_cast<int>(i), frame), 0);
            sent.push_back(std::move(frame));
        }
        ASSERT_EQ(queue.Count(), c.frames) << c.heldFrames;
        std::vector<std::string> taken;
        std::string frame;
        while (queue.Count() > 0 && queue.TakeFirst(frame) == 0) taken.push_back(frame);
        EXPECT_EQ(taken, sent) << c.heldFrames;
        EXPECT_NE(queue.TakeFirst(frame), 0) << "nothing after the last frame";
        queue.Clear();
        EXPECT_TRUE(Column("ARecord", "记录").empty());
        // Emptied without overwriting its scratch pages, but the store's other deletes still overwrite.
        Statement secure(*Access().Connection(), "PRAGMA secure_delete");
        ASSERT_EQ(sqlite3_step(secure.get()), SQLITE_ROW);
        EXPECT_EQ(sqlite3_column_int(secure.get(), 0), 1);
    }
}

}  // namespace
}  // namespace karvex
