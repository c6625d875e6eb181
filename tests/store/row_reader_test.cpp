#include "store/row_reader.h"

#include "store/store_codes.h"
#include "store/store_upkeep.h"
#include "store/table_export.h"
#include "store_test_support.h"

namespace karvex {
namespace {

class RowReaderTest : public testing::OpenStoreTest {
protected:
    // Print-data rows: date 202401dd, number n, kind 1 or 2, amount n.
    void AddPrintData(int first, int last) {
        ASSERT_EQ(store_->OpenAccess("Select * From InvPrintData", 0), 0);
        RecordSet* rs = store_->Slot(0);
        for (int n = first; n <= last; ++n) {
            char date[16], number[16];
            std::snprintf(date, sizeof date, "202401%02d", 1 + (n * 7) % 28);
            std::snprintf(number, sizeof number, "%010d", n);
            ASSERT_EQ(rs->AddNew(), 0);
            rs->SetText("开票日期发票号", std::string(date) + number);
            rs->SetText("开票日期", date);
            rs->SetText("发票号", number);
            rs->SetInteger("开票类型", n % 3 == 0 ? 2 : 1);
            rs->SetDouble("开票总金额", n);
            ASSERT_EQ(rs->Update(), 0) << rs->LastErrorText();
        }
        store_->ReleaseSlot(0);
    }
    std::vector<std::int64_t> AllIds(RowReader& r) {
        std::vector<std::int64_t> ids;
        EXPECT_EQ(r.ForEach([&](const StoredRow& row) {
            ids.push_back(row.id);
            return true;
        }),
                  0);
        return ids;
    }
};

// A window anywhere (first rows, the middle, the last rows read from the end) holds exactly the rows the
// whole ordered selection holds there: unbroken identities, identities with holes, and a range by date.
TEST_F(RowReaderTest, WindowsAnywhereMatchTheWholeSelection) {
    AddPrintData(1, 300);
    const struct {
        const char* name;
        Selection selection;
        bool thin;
    } cases[] = {{"dense", Selection::Of("InvPrintData"), false},
                 {"holes", Selection::Of("InvPrintData"), true},
                 {"dates", Selection::Of("InvPrintData").Between("开票日期", "20240105", "20240120"), true}};
    for (const auto& c : cases) {
        if (c.thin) {
            ASSERT_EQ(store_->Connection()->Exec("DELETE FROM InvPrintData WHERE karvex_row % 7 = 3"), 0);
        }
        RowReader reader;
        ASSERT_EQ(reader.Open(store_->Connection(), c.selection), 0) << c.name;
        const std::vector<std::int64_t> all = AllIds(reader);
        std::int64_t count = 0;
        ASSERT_EQ(reader.Count(count), 0);
        ASSERT_EQ(count, static_cast<std::int64_t>(all.size())) << c.name;
        for (std::int64_t offset : {std::int64_t{0}, count / 2 - 5, count - 10, count - 3}) {
            std::vector<StoredRow> window;
            ASSERT_EQ(reader.ReadWindow(offset, 10, window), 0);
            ASSERT_EQ(window.size(), static_cast<std::size_t>(std::min<std::int64_t>(10, count - offset))) << c.name;
            for (std::size_t i = 0; i < window.size(); ++i)
                EXPECT_EQ(window[i].id, all[static_cast<std::size_t>(offset) + i]) << c.name << " at " << offset;
        }
    }
    RowReader bad;
    EXPECT_EQ(bad.Open(store_->Connection(), Selection::Of("InvPrintData").Where("没有", "1")), result::kNoSuchField);
    EXPECT_EQ(bad.Open(store_->Connection(), Selection::Of("NoTable")), result::kStoreOpenFailed);
}

TEST_F(RowReaderTest, TotalsAndPerKeySumsComeFromTheStore) {
    AddPrintData(1, 30);
    RowReader reader;
    ASSERT_EQ(
        reader.Open(store_->Connection(), Selection::Of("InvPrintData").Between("发票号", "0000000001", "0000000010")),
        0);
    std::vector<double> totals;
    ASSERT_EQ(
        reader.Totals(
            {{{"开票总金额"}, "开票类型", 1}, {{"开票总金额"}, "开票类型", 2}, {{"开票总金额", "开票类型"}, "", 0}},
            totals),
        0);
    // 1..10: kind 2 for 3, 6, 9.
    EXPECT_EQ(totals, (std::vector<double>{55 - 18, 18, 55 + 7 * 1 + 3 * 2}));
    std::vector<KeyedSums> sums;
    ASSERT_EQ(reader.SumsByKey("发票号", {{"开票总金额"}, {"发票号"}}, 3, sums), 0);
    ASSERT_EQ(sums.size(), 3u);
    EXPECT_EQ(sums[0].key, "0000000008");  // the last three keys, in key order
    EXPECT_EQ(sums[2].sums, (std::vector<double>{10, 10}));
}

// The whole table's count and totals, kept by triggers, agree with a count and sum over the rows after
// every kind of change, after a compaction (no trigger fires twice for a copied row) and when an older store
// gains them at open.
TEST_F(RowReaderTest, KeptCountAndTotalsAgreeWithTheRowsAfterEveryChange) {
    auto expectAgree = [&](const char* when) {
        RowReader kept, scanned;
        ASSERT_EQ(kept.Open(store_->Connection(), Selection::Of("InvPrintData")), 0);
        ASSERT_EQ(
            scanned.Open(store_->Connection(), Selection::Of("InvPrintData").Between("开票日期", "0", "99999999")), 0);
        std::int64_t a = -1, b = -2;
        ASSERT_EQ(kept.Count(a), 0);
        ASSERT_EQ(scanned.Count(b), 0);
        EXPECT_EQ(a, b) << when;
        const std::vector<TotalWanted> wanted = {{{"开票总金额"}, "开票类型", 1}, {{"开票总金额"}, "开票类型", 2}};
        std::vector<double> x, y;
        ASSERT_EQ(kept.Totals(wanted, x), 0);
        ASSERT_EQ(scanned.Totals(wanted, y), 0);
        EXPECT_EQ(x, y) << when;
    };
    AddPrintData(1, 40);
    expectAgree("inserted");
    ASSERT_EQ(store_->Connection()->Exec(
                  "UPDATE InvPrintData SET 开票类型 = 2, 开票总金额 = 开票总金额 * 3 WHERE karvex_row % 5 = 0;"
                  "UPDATE InvPrintData SET 开票总金额 = NULL WHERE karvex_row = 7;"
                  "DELETE FROM InvPrintData WHERE karvex_row % 4 = 1"),
              0);
    expectAgree("updated and deleted");
    ASSERT_EQ(store_->CompactStore(), 0) << store_->LastErrorText();
    expectAgree("compacted");
    ASSERT_EQ(store_->ClearStoreTables(0, StoreTableFlags::kInvPrintData), 0);
    AddPrintData(41, 45);
    expectAgree("cleared and refilled");
    // Emptied whole as an answer that refills the table does: undone with its transaction, or kept, and the
    // totals' triggers at work again afterwards.
    AddPrintData(46, 1200);
    StoreConnection& conn = *store_->Connection();
    for (const bool keep : {false, true}) {
        ASSERT_EQ(conn.Begin(), 0);
        ASSERT_EQ(EmptyTable(conn, "InvPrintData"), 0);
        expectAgree("emptied whole");
        if (keep) {
            ASSERT_EQ(conn.Commit(), 0);
        } else {
            conn.Rollback();
        }
        expectAgree(keep ? "emptying kept" : "emptying undone");
    }
    AddPrintData(1201, 1210);
    ASSERT_EQ(conn.Exec("DELETE FROM InvPrintData WHERE karvex_row % 3 = 0"), 0);
    expectAgree("refilled after emptying");
    ASSERT_EQ(store_->Connection()->Exec(
                  "DROP TABLE karvex_InvPrintData_totals; DROP TRIGGER karvex_InvPrintData_totals_insert;"
                  "DROP TRIGGER karvex_InvPrintData_totals_delete; DROP TRIGGER karvex_InvPrintData_totals_update"),
              0);
    expectAgree("without them: counted");
    store_->Close();
    ASSERT_EQ(store_->Open(), 0);
    AddPrintData(1246, 1247);
    expectAgree("gained at open");
}

// CSV opens in a Chinese spreadsheet with the right characters: byte-order mark, header, quoting; JSON
// lines are one object per row with numbers as numbers and null for nothing.
TEST_F(RowReaderTest, ExportWritesCsvWithByteOrderMarkAndJsonLines) {
    ASSERT_EQ(store_->OpenAccess("Select * From MakeInvoice", 0), 0);
    for (const char* text : {"甲,乙", "说\"好\"", "两\n行"}) {
        ASSERT_EQ(store_->Slot(0)->AddNew(), 0);
        store_->Slot(0)->SetInteger("开票类型", 1);
        store_->Slot(0)->SetText("发票号", text);
        ASSERT_EQ(store_->Slot(0)->Update(), 0);
    }
    ASSERT_EQ(store_->Slot(0)->AddNew(), 0);
    ASSERT_EQ(store_->Slot(0)->Update(), 0);
    // A payer's name a spreadsheet would run.
    ASSERT_EQ(store_->Slot(0)->AddNew(), 0);
    store_->Slot(0)->SetInteger("开票类型", 2);
    store_->Slot(0)->SetText("发票号", "=HYPERLINK(\"x\")");
    ASSERT_EQ(store_->Slot(0)->Update(), 0);
    store_->ReleaseSlot(0);
    RowReader reader;
    ASSERT_EQ(reader.Open(store_->Connection(), Selection::Of("MakeInvoice")), 0);
    std::string csv, lines;
    std::int64_t rows = 0;
    ASSERT_EQ(ExportRows(
                  reader, ExportFormat::Csv, [&](std::string_view t) { csv += t; }, rows),
              0);
    EXPECT_EQ(rows, 5);
    EXPECT_EQ(csv,
              "\xEF\xBB\xBF开票类型,发票号\r\n1,\"甲,乙\"\r\n1,\"说\"\"好\"\"\"\r\n1,\"两\n行\"\r\n,\r\n"
              "2,\"'=HYPERLINK(\"\"x\"\")\"\r\n");
    ASSERT_EQ(ExportRows(
                  reader, ExportFormat::JsonLines, [&](std::string_view t) { lines += t; }, rows),
              0);
    EXPECT_EQ(lines,
              "{\"开票类型\": 1, \"发票号\": \"甲,乙\"}\n{\"开票类型\": 1, \"发票号\": \"说\\\"好\\\"\"}\n"
              "{\"开票类型\": 1, \"发票号\": \"两\\n行\"}\n{\"开票类型\": null, \"发票号\": null}\n"
              "{\"开票类型\": 2, \"发票号\": \"=HYPERLINK(\\\"x\\\")\"}\n");
}

// Every lead a spreadsheet program takes for a formula is defused; the same character further in is not.
TEST(SpreadsheetTextTest, FormulaLeadsGetAnApostrophe) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {{"=1+1", "'=1+1"}, {"+86 10", "'+86 10"}, {"-3+A1", "'-3+A1"},      {"@SUM(A1)", "'@SUM(A1)"},
                 {"\tx", "'\tx"},   {"\rx", "'\rx"},       {"甲-乙=丙", "甲-乙=丙"}, {"", ""}};
    for (const auto& c : cases) EXPECT_EQ(SpreadsheetText(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace karvex
