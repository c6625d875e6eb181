// Every answer the store keeps, end to end: request over the pseudo-terminal, decoding, record writers,
// transaction, and what a fresh read of the encrypted store then shows.
#include "store_e2e_fixture.h"

#include <QTimer>

#include <sqlcipher/sqlite3.h>

#include <map>
#include <set>

namespace karvex::testing {
namespace {

using sim::Fault;
using sim::FaultKind;

class StoredAnswers : public StoreFixture {};

TEST_F(StoredAnswers, DispensedRollsAreKeptInStateOneAndTheListedRollsOnceEach) {
    ui_->textReplies.push_back("3");
    ASSERT_EQ(Run([](const IssueContext& c) { return IssueDispenseInvoice(c); }), result::kChainContinues);
    ASSERT_TRUE(WaitUntil([&] { return sim_->requests_handled() >= 3 && M().GetCommandResult() == 0; }));
    EXPECT_EQ(M().Command().chain.rolls_to_dispense, 0);
    // Each answer replaces the table: the last dispensed roll is the one kept.
    auto rolls = Rows("InvoiceNumber");
    ASSERT_EQ(rolls.size(), 1u);
    EXPECT_EQ(rolls[0]["发票使用状态"], "1");
    EXPECT_EQ(rolls[0]["当前发票号"], " ");
    EXPECT_EQ(rolls[0]["开始使用时间"], " ");
    EXPECT_EQ(rolls[0]["用完时间"], " ");
    EXPECT_EQ(rolls[0]["分发时间"].size(), NowStamp().size());
    EXPECT_EQ(rolls[0]["发票代码单卷发票起始号"], rolls[0]["发票代码"] + rolls[0]["单卷发票起始号"]);

    // The processor lists one roll twice: one row for it.
    sim_->update_state([](sim::MachineState& s) { s.rolls.push_back(s.rolls.back()); });
    const std::size_t listed = [&] {
        std::size_t n = 0;
        for (const auto& r : sim_->state().rolls) n += r.state == sim::RollState::Dispensed;
        return n;
    }();
    ASSERT_EQ(RunBare(0x32), 0);
    auto all = Rows("InvoiceNumber");
    EXPECT_EQ(all.size(), listed - 1);
    for (auto& r : all) EXPECT_EQ(r["发票使用状态"], "1");
}

TEST_F(StoredAnswers, MachineAndUserDataKeepOneRowEach) {
    ASSERT_EQ(RunBare(0x37), 0);
    ASSERT_EQ(RunBare(0x37), 0);
    auto machine = Rows("MachineData");
    ASSERT_EQ(machine.size(), 1u);
    EXPECT_EQ(machine[0]["机器编号"].size(), 16u);
    EXPECT_EQ(machine[0]["生产日期"].size(), 8u);

    ASSERT_EQ(RunBare(0x38), 0);
    ASSERT_EQ(RunBare(0x38), 0);
    auto user = Rows("UserInformation");
    ASSERT_EQ(user.size(), 1u);
    EXPECT_FALSE(user[0]["纳税人名称"].empty());
    EXPECT_NE(user[0]["申报方式"], "<null>");
    EXPECT_NE(user[0]["单张发票开票金额限额"], "0");
}

TEST_F(StoredAnswers, TaxItemsAreNumberedInArrivalOrder) {
    // The load's look for the newest invoice of a processor that has none is the processor's "ER" 48.
    const std::size_t afterLoad = ReadLog().size();
    ASSERT_EQ(RunBare(0x39), 0);
    ASSERT_EQ(RunBare(0x39), 0);  // a second answer replaces the first
    auto items = Rows("TaxInformation");
    ASSERT_EQ(items.size(), sim_->state().tax_items.size());
    for (std::size_t i = 0; i < items.size(); ++i) EXPECT_EQ(items[i]["序号"], std::to_string(i + 1));
    EXPECT_EQ(ReadLog().find("Err", afterLoad), std::string::npos);
}

TEST_F(StoredAnswers, DayTradeRollSummaryAndDeclarationRows) {
    SeedInvoices(40, 20240301, 20240310);
    ASSERT_EQ(Run([](const IssueContext& c) { return IssueDayTrade(c, Date("20240301"), Date("20240310")); }), 0);
    auto days = Rows("DayTrade");
    ASSERT_FALSE(days.empty());
    std::set<std::string> seen;
    for (auto& d : days) EXPECT_TRUE(seen.insert(d["日期"]).second) << "one row per day";

    const std::string first = std::to_string(sim_->state().invoices.front().number);
    ASSERT_EQ(Run([&](const IssueContext& c) { return IssueSingleInvoice(c, CommandCode::InvoiceSum, first); }), 0);
    auto sums = Rows("InvUseSum");
    ASSERT_EQ(sums.size(), 1u);
    EXPECT_EQ(sums[0]["发票代码发票起始号"], sums[0]["发票代码"] + sums[0]["发票起始号"]);

    ASSERT_EQ(Run([](const IssueContext& c) { return IssueCutOffDate(c, CommandCode::DeclareData, Date("20240314")); }),
              0);
    auto declared = Rows("DeclareData");
    ASSERT_EQ(declared.size(), 1u);
    EXPECT_EQ(declared[0]["电子签名"].size(), 256u);
    EXPECT_EQ(declared[0]["申报数据MAC1"].size(), 8u);
}

TEST_F(StoredAnswers, PrintDataLeavesEmptyGoodsSlotsUnset) {
    SeedInvoices(60, 20240301, 20240305);
    std::size_t expected = 0;
    for (const auto& inv : sim_->state().invoices) expected += inv.date >= 20240301 && inv.date <= 20240305;
    RangeInput range{"", "", Date("20240301"), Date("20240305")};
    ASSERT_EQ(Run([&](const IssueContext& c) { return IssuePrintData(c, false, range); }), 0);
    auto rows = Rows("InvPrintData");
    ASSERT_EQ(rows.size(), expected);
    int partial = 0;
    for (auto& r : rows) {
        EXPECT_EQ(r["开票日期发票号"], r["开票日期"] + r["发票号"]);
        if (r["商品名称6"] == "<null>") {
            ++partial;
            EXPECT_EQ(r["数量6"], "<null>");
            EXPECT_EQ(r["税种税目索引号6"], "<null>");
            EXPECT_EQ(r["金额6"], "<null>");
        }
    }
    EXPECT_GT(partial, 0);
    EXPECT_EQ(Rows("ARecord").size(), 0u) << "the queue is empty after the replay";
}

TEST_F(StoredAnswers, SignaturesMoveFromWaitingToSignedAndSupersede) {
    std::string data;
    for (int i = 0; i < 130; ++i) data += "65 ";
    ASSERT_EQ(Run([&](const IssueContext& c) { return IssueIdiograph(c, data, ByteListKind::Decimal); }), 0);
    // Booked rows: the second booking supersedes a row still waiting.
    ASSERT_EQ(Store().BookSigning("x"), 0);
    ASSERT_EQ(Store().BookSigning("y"), 0);
    auto rows = Rows("Idiograph");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0]["签名状态"], "2");
    EXPECT_EQ(rows[0]["电子签名"].size(), 256u);
    EXPECT_EQ(rows[0]["签名数据"], data);
    EXPECT_EQ(rows[1]["签名状态"], "3");
    EXPECT_EQ(rows[2]["签名状态"], "1");
}

TEST_F(StoredAnswers, SignatureWithNothingWaitingGives151AndChangesNothing) {
    IssueContext ctx = M().MakeIssueContext();
    ctx.bookSignature = [](const std::string&) { return 0; };  // sent without booking
    M().SetCommandResult(result::kCommandUnderWay);
    ASSERT_TRUE(IssueIdiograph(
                    ctx,
                    [] {
                        std::string t;
                        for (int i = 0; i < 128; ++i) t += "66 ";
                        return t;
                    }(),
                    ByteListKind::Decimal)
                    .sent);
    EXPECT_EQ(M().WaitForCommand(), result::kSignatureRowMissing);
    EXPECT_TRUE(Rows("Idiograph").empty());
}

TEST_F(StoredAnswers, InitialisationClearsTheFlaggedTablesThenRefillsUserAndTaxData) {
    SeedInvoices(10, 20240301, 20240302);
    ASSERT_EQ(RunBare(0x37), 0);
    ASSERT_EQ(Store().BookSigning("z"), 0);
    RangeInput range{"", "", Date("20240301"), Date("20240302")};
    ASSERT_EQ(Run([&](const IssueContext& c) { return IssuePrintData(c, false, range); }), 0);
    std::vector<std::uint32_t> emptied;
    Store().SetClearProgress([&](std::uint32_t table, const std::string& caption) {
        emptied.push_back(table);
        EXPECT_EQ(caption, "清空完成");
    });
    const std::size_t before = sim_->requests_handled();
    ASSERT_EQ(RunBare(0x30), 0);
    ASSERT_TRUE(WaitUntil([&] { return sim_->requests_handled() >= before + 3 && !Rows("TaxInformation").empty(); }));
    EXPECT_TRUE(Rows("MachineData").empty());
    EXPECT_TRUE(Rows("InvPrintData").empty());
    EXPECT_TRUE(Rows("Idiograph").empty());
    EXPECT_EQ(Rows("UserInformation").size(), 1u);
    using F = StoreTableFlags;
    EXPECT_EQ(emptied, (std::vector<std::uint32_t>{
                           F::kDayTrade, F::kDeclareData, F::kInvoiceNumber, F::kInvPrintData, F::kInvUseSum,
                           F::kInvPDatTemp, F::kMachineData, F::kMakeInvoice, F::kTaxInformation, F::kUserInformation,
                           F::kIdiograph, F::kIdiographShow, F::kWatchCommand, F::kWatchAcceptData, F::kWatchError}));
    EXPECT_EQ(Rows("ComSet").size(), 1u) << "the serial settings survive";
}

TEST_F(StoredAnswers, OneBadFrameFailsTheAnswerButKeepsTheOthers) {
    sim_->inject({.command = 0x39, .kind = FaultKind::BadCrc, .arg = 1});
    EXPECT_EQ(RunBare(0x39), result::kCrcError);
    auto items = Rows("TaxInformation");
    EXPECT_EQ(items.size(), sim_->state().tax_items.size() - 1);
    for (std::size_t i = 0; i < items.size(); ++i) EXPECT_EQ(items[i]["序号"], std::to_string(i + 1));
}

TEST_F(StoredAnswers, FourFailedFramesDropTheRestOfTheAnswer) {
    SeedInvoices(30, 20240301, 20240301);
    for (int frame : {1, 3, 5, 7}) sim_->inject({.command = 0x43, .kind = FaultKind::BadCrc, .arg = frame});
    RangeInput range{"", "", Date("20240301"), Date("20240301")};
    EXPECT_EQ(Run([&](const IssueContext& c) { return IssuePrintData(c, false, range); }), result::kCrcError);
    EXPECT_EQ(Rows("InvPrintData").size(), 4u) << "frames 0, 2, 4 and 6; the rest dropped";
    EXPECT_TRUE(Rows("ARecord").empty());
    // The next answer starts from an empty queue.
    ASSERT_EQ(RunBare(0x39), 0);
    EXPECT_EQ(Rows("TaxInformation").size(), sim_->state().tax_items.size());
}

TEST_F(StoredAnswers, RollProgressFollowsTheProcessorWithoutChangingResults) {
    // No rolls known yet: the log says so as a matter of fact, nothing failed.
    const std::size_t afterLoad = ReadLog().size();
    QString number;
    EXPECT_EQ(fiscal_->FiscalGetInvNum(number), 0);
    EXPECT_NE(ReadLog().find(Gbk("所在的发票卷，发票卷记录不变")), std::string::npos);
    EXPECT_EQ(ReadLog().find("Err", afterLoad), std::string::npos) << "no failure after a good query";

    // Rolls as the processor has them installed, in state 1.
    {
        StoreTransaction tx(*Access().Connection());
        for (const auto& r : sim_->state().rolls) {
            if (r.state != sim::RollState::Installed) continue;
            char first[11], last[11];
            std::snprintf(first, sizeof first, "%010u", r.first);
            std::snprintf(last, sizeof last, "%010u", r.last);
            InvoiceRollRecord roll{r.code, first, last, " ", 1, " ", " ", NowStamp(), r.code + first};
            ASSERT_EQ(Store().Writers()->WriteRow("InvoiceNumber", RowPosition::Add,
                                                  {{"发票代码", roll.invoice_code},
                                                   {"单卷发票起始号", roll.first_number},
                                                   {"单卷发票终止号", roll.last_number},
                                                   {"当前发票号", " "},
                                                   {"发票使用状态", std::int64_t{1}},
                                                   {"发票代码单卷发票起始号", roll.key}}),
                      0);
        }
        ASSERT_EQ(tx.Commit(), 0);
    }
    ASSERT_EQ(RunBare(0x33), 0);
    const std::string p = M().Command().replies.current_inv_number;
    auto inUse = Rows("InvoiceNumber", "发票使用状态 = 2");
    ASSERT_EQ(inUse.size(), 1u);
    EXPECT_EQ(inUse[0]["当前发票号"], p);
    EXPECT_NE(inUse[0]["开始使用时间"], " ");

    // Voiding the blank current number uses it up: the next answer moves on by one.
    ASSERT_EQ(Run([&](const IssueContext& c) { return IssueHostInvoiceNumber(c, CommandCode::InvalidateInvoice, p); }),
              0);
    ASSERT_EQ(RunBare(0x33), 0);
    EXPECT_EQ(Rows("InvoiceNumber", "发票使用状态 = 2")[0]["当前发票号"], M().Command().replies.current_inv_number);

    // Past the end of its roll: the roll is used up and the one holding the number is taken.
    {
        RecordSet rs;
        ASSERT_EQ(rs.Open(Access().Connection(), "Select * From InvoiceNumber where 发票使用状态 = 2"), 0);
        ASSERT_EQ(rs.SetText("单卷发票终止号", M().Command().replies.current_inv_number), 0);
        ASSERT_EQ(rs.Update(), 0);
        std::string next = std::to_string(std::stoull(M().Command().replies.current_inv_number) + 1);
        next = std::string(10 - next.size(), '0') + next;
        ASSERT_EQ(rs.AddNew(), 0);
        rs.SetText("单卷发票起始号", next);
        rs.SetText("单卷发票终止号", "9999999999");
        rs.SetText("发票代码单卷发票起始号", "X" + next);
        rs.SetInteger("发票使用状态", 1);
        ASSERT_EQ(rs.Update(), 0);
    }
    ASSERT_EQ(Run([&](const IssueContext& c) {
                  return IssueHostInvoiceNumber(c, CommandCode::InvalidateInvoice,
                                                M().Command().replies.current_inv_number);
              }),
              0);
    ASSERT_EQ(RunBare(0x33), 0);
    auto usedUp = Rows("InvoiceNumber", "发票使用状态 = 3");
    ASSERT_EQ(usedUp.size(), 1u);
    EXPECT_NE(usedUp[0]["用完时间"], " ");
    auto now = Rows("InvoiceNumber", "发票使用状态 = 2");
    ASSERT_EQ(now.size(), 1u);
    EXPECT_EQ(now[0]["当前发票号"], M().Command().replies.current_inv_number);
}

// A host's print-data and roll-summary queries only read: what the operator uploaded stays.
TEST_F(StoredAnswers, HostQueriesLeaveTheUploadedPrintDataAndSummariesAlone) {
    SeedInvoices(20, 20240301, 20240302);
    RangeInput range{"", "", Date("20240301"), Date("20240302")};
    ASSERT_EQ(Run([&](const IssueContext& c) { return IssuePrintData(c, false, range); }), 0);
    const std::string first = std::to_string(sim_->state().invoices.front().number);
    ASSERT_EQ(Run([&](const IssueContext& c) { return IssueSingleInvoice(c, CommandCode::InvoiceSum, first); }), 0);
    const auto printed = Rows("InvPrintData");
    const auto summed = Rows("InvUseSum");
    ASSERT_FALSE(printed.empty());
    ASSERT_EQ(summed.size(), 1u);

    QString invNum, oInvNum, machine, saleUnit, payUnit, taxNumber, taxCode, date, names, amounts, prices, sums;
    std::int32_t type = 0;
    ASSERT_EQ(fiscal_->GetPrintInv(177, invNum, oInvNum, machine, saleUnit, payUnit, taxNumber, taxCode, date, names,
                                   amounts, prices, sums, type),
              0);
    QString begin, end, from, to, code, tax, user, machineNo;
    std::int32_t voided = 0, normal = 0, returned = 0;
    double normalSum = 0, returnSum = 0;
    ASSERT_EQ(fiscal_->GetInvUseSum(QString::fromStdString(first), begin, end, from, to, voided, normal, normalSum,
                                    returned, returnSum, code, tax, user, machineNo),
              0);
    EXPECT_EQ(Rows("InvPrintData"), printed);
    EXPECT_EQ(Rows("InvUseSum"), summed);
}

// A full disk: the answer fails once, with the reason in the log and in the result's message, its frames
// are dropped and the tables keep the last whole answer.
TEST_F(StoredAnswers, AFullDiskFailsTheAnswerOnceWithItsReason) {
    SeedInvoices(300, 20240301, 20240301);
    RangeInput range{"", "", Date("20240301"), Date("20240301")};
    ASSERT_EQ(Run([&](const IssueContext& c) { return IssuePrintData(c, false, range); }), 0);
    const std::size_t kept = Rows("InvPrintData").size();
    ASSERT_GT(kept, StoreAnswerQueue::kBatch);

    StoreConnection& conn = *Access().Connection();
    {
        Statement pages(conn, "PRAGMA page_count");
        ASSERT_EQ(sqlite3_step(pages.get()), SQLITE_ROW);
        ASSERT_EQ(conn.Exec("PRAGMA max_page_count = " + std::to_string(sqlite3_column_int64(pages.get(), 0))), 0);
    }
    const std::size_t logBefore = ReadLog().size();
    EXPECT_EQ(Run([&](const IssueContext& c) { return IssuePrintData(c, false, range); }), result::kDiskFull);
    EXPECT_NE(M().CommandResultText().find("磁盘空间已满"), std::string::npos) << M().CommandResultText();
    EXPECT_NE(M().CommandResultText().find("database or disk is full"), std::string::npos) << M().CommandResultText();
    const std::string log = ReadLog().substr(logBefore);
    // Wherever the disk filled (a frame's rows or the commit), the reason is logged once for the answer.
    std::size_t reasons = 0;
    for (std::size_t at = log.find("database or disk is full"); at != std::string::npos;
         at = log.find("database or disk is full", at + 1))
        ++reasons;
    EXPECT_EQ(reasons, 1u) << "one failure line for the answer";
    EXPECT_EQ(Rows("InvPrintData").size(), kept);
    EXPECT_TRUE(Rows("ARecord").empty());
}

// The totals kept beside the print data, and the same figures counted from the rows themselves.
std::pair<std::string, std::string> PrintTotals(StoreConnection& conn) {
    auto read = [&](const char* sql) {
        Statement st(conn, sql);
        std::string out;
        while (sqlite3_step(st.get()) == SQLITE_ROW)
            for (int i = 0; i < 3; ++i) out += std::to_string(sqlite3_column_double(st.get(), i)) + (i < 2 ? "," : ";");
        return out;
    };
    return {read("SELECT kind, rows, amount FROM karvex_InvPrintData_totals WHERE rows <> 0 ORDER BY kind"),
            read("SELECT coalesce(\"开票类型\", -1) AS k, count(*), total(\"开票总金额\") FROM InvPrintData GROUP BY k "
                 "ORDER BY k")};
}

// An upload cut short, however (a time-out, the host unloading, the device pulled), leaves the print data of
// the last whole upload with its totals, and no transaction open behind it: what comes next is kept.
TEST_F(StoredAnswers, AnUploadCutShortLeavesTheLastWholeOne) {
    SeedInvoices(12, 20240301, 20240301);
    const RangeInput range{"", "", Date("20240301"), Date("20240301")};
    const auto upload = [&](const IssueContext& c) { return IssuePrintData(c, false, range); };
    ASSERT_EQ(Run(upload), 0);
    ASSERT_EQ(Run(upload), 0) << "a second whole upload replaces the first";
    const auto kept = Rows("InvPrintData");
    ASSERT_EQ(kept.size(), 12u);
    {
        const auto [totals, counted] = PrintTotals(*Access().Connection());
        ASSERT_EQ(totals, counted);
    }
    const struct {
        const char* way;
        std::function<void()> atFrameFour;  // run from the event loop while the answer is half-way
        int tickMs;
    } ways[] = {
        {"a time-out", {}, 5},
        {"the host unloading", [&] { EXPECT_EQ(M().FormUnload(), 0); }, 1000},
        {"the device pulled", [&] { sim_->stop(); }, 1000},
    };
    for (const auto& w : ways) {
        SCOPED_TRACE(w.way);
        // Frame five never comes whole: the answer cannot end before the way under test cuts it.
        sim_->inject({.command = 0x43, .kind = FaultKind::Cut, .arg = 5});
        M().SetTickInterval(std::chrono::milliseconds(w.tickMs));
        M().SetProgressCallback([&](const Progress& p) {
            if (!p.done && p.received == 4 && w.atFrameFour) QTimer::singleShot(0, w.atFrameFour);
        });
        EXPECT_NE(Run(upload), 0);
        M().SetProgressCallback({});
        M().SetTickInterval(std::chrono::milliseconds(tickMs_));
        if (!sim_->running()) {
            StartSimulator();
            UseDevice(1, sim_->device_path());
            SeedInvoices(12, 20240301, 20240301);
        }
        if (!M().PortOpen()) {
            ASSERT_EQ(fiscal_->LoadFiscalForm(), 0);
        }
        ASSERT_TRUE(sqlite3_get_autocommit(Access().Connection()->Handle())) << "no transaction left open";
        EXPECT_FALSE(M().Storing());
        EXPECT_EQ(Rows("InvPrintData"), kept);
        const auto [totals, counted] = PrintTotals(*Access().Connection());
        EXPECT_EQ(totals, counted);
        EXPECT_TRUE(Rows("ARecord").empty());
    }
    // The store takes the next answer as its own.
    ASSERT_EQ(RunBare(0x39), 0);
    EXPECT_EQ(Rows("TaxInformation").size(), sim_->state().tax_items.size());
}

}  // namespace
}  // namespace karvex::testing
