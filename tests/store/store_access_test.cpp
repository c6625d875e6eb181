#include "store/store_access.h"

#include <sqlcipher/sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>

#include "store/schema.h"
#include "store/store_codes.h"
#include "store/store_upkeep.h"
#include "store_test_support.h"

namespace karvex {
namespace {

using testing::OpenStoreTest;
using testing::StoreDirTest;

std::string ReadFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Opens a file with the raw engine and a key; true when the schema can be read.
bool ReadableWithKey(const std::filesystem::path& file, const std::string& key) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return false;
    }
    sqlite3_key(db, key.data(), static_cast<int>(key.size()));
    bool ok = sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

class StoreAccessTest : public OpenStoreTest {
protected:
    void AddRow(int slot, const char* field, const std::string& value) {
        RecordSet* rs = store_->Slot(slot);
        ASSERT_EQ(rs->AddNew(), 0);
        ASSERT_EQ(rs->SetText(field, value), 0);
        ASSERT_EQ(rs->Update(), 0) << rs->LastErrorText();
    }
    void Fill(const char* table, const char* field, const std::string& value) {
        ASSERT_EQ(store_->OpenAccess(std::string("Select * From ") + table, 3), 0);
        AddRow(3, field, value);
        store_->ReleaseSlot(3);
    }
    std::string FirstText(const char* table, const char* field) {
        RecordSet rs;
        std::string out;
        if (rs.Open(store_->Connection(), Selection::Of(table)) == 0 && !rs.Eof()) rs.GetText(field, out);
        return out;
    }
    // A large answer queued and emptied, as after a long upload: the file is mostly free pages.
    void LeaveFreePages() {
        ASSERT_EQ(store_->Connection()->Exec(
                      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3000) "
                      "INSERT INTO ARecord (\"记录号\", \"记录\") SELECT i, hex(randomblob(400)) FROM n;"
                      "DELETE FROM ARecord;"),
                  0);
    }
    bool IntegrityOk() {
        std::string report;
        const bool ok = StoreIntegrityOk(*store_->Connection(), report);
        EXPECT_TRUE(ok) << report;
        return ok;
    }
};

TEST(CompactionRule, PaysOnlyWhenFreePagesAreAQuarterOfTheFileAndMoreThanAFew) {
    const struct {
        std::int64_t pages, freePages;
        bool pays;
    } cases[] = {{2000, 499, false}, {2000, 500, true}, {400, 200, false}, {100000, 300, false}, {0, 0, false}};
    for (const auto& c : cases)
        EXPECT_EQ(CompactionPays({c.pages, c.freePages}), c.pays) << c.pages << " " << c.freePages;
}

// A store written before the search indexes existed gains them at its next open, rows untouched.
TEST_F(StoreAccessTest, SearchIndexesAreCreatedAtOpenWhenMissing) {
    Fill("InvPrintData", "开票日期", "20240101");
    auto indexNames = [&] {
        std::vector<std::string> names;
        Statement list(*store_->Connection(), "SELECT name FROM sqlite_master WHERE type = 'index' ORDER BY name");
        while (sqlite3_step(list.get()) == SQLITE_ROW)
            names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(list.get(), 0)));
        return names;
    };
    for (const SearchIndex& index : SearchIndexes())
        ASSERT_EQ(store_->Connection()->Exec("DROP INDEX " + QuoteIdentifier(SearchIndexName(index))), 0)
            << SearchIndexName(index);
    const std::vector<std::string> without = indexNames();
    store_->Close();
    ASSERT_EQ(store_->Open(), 0) << store_->LastErrorText();
    const std::vector<std::string> with = indexNames();
    EXPECT_EQ(with.size(), without.size() + SearchIndexes().size());
    for (const SearchIndex& index : SearchIndexes())
        EXPECT_NE(std::find(with.begin(), with.end(), SearchIndexName(index)), with.end()) << SearchIndexName(index);
    EXPECT_EQ(FirstText("InvPrintData", "开票日期"), "20240101");
    EXPECT_TRUE(IntegrityOk());
}

// A store made before the journal's newer columns opens with them added and its rows kept.
TEST_F(StoreAccessTest, AnOlderStoreGainsTheColumnsAddedSince) {
    TableDef older = *FindStoreTable("SalesJournal");
    older.fields.resize(19);
    ASSERT_EQ(store_->Connection()->Exec("DROP TABLE \"SalesJournal\""), 0);
    ASSERT_EQ(store_->Connection()->Exec(CreateTableSql(older)), 0);
    ASSERT_EQ(store_->Connection()->Exec("INSERT INTO \"SalesJournal\" (\"SaleId\") VALUES ('old')"), 0);
    store_->Close();
    ASSERT_EQ(store_->Open(), 0) << store_->LastErrorText();
    Statement st(*store_->Connection(),
                 "SELECT \"AnchorNum\", \"IssueDate\" FROM \"SalesJournal\" WHERE \"SaleId\" = 'old'");
    ASSERT_EQ(st.PrepareResult(), SQLITE_OK);
    EXPECT_EQ(sqlite3_step(st.get()), SQLITE_ROW);
}

// Unload closes at once while compaction would copy the store for little; once an emptied queue leaves the
// file mostly free pages it compacts. Either way every row is kept and the engine finds the file sound.
TEST_F(StoreAccessTest, UnloadCompactsOnlyWhenItPays) {
    Fill("MachineData", "机器编号", "7");
    const auto file = dir_ / "FiscalMachine.mdb";
    struct stat before {};
    ASSERT_EQ(::stat(file.c_str(), &before), 0);
    ASSERT_EQ(store_->CompactStoreAtUnload(), 0) << store_->LastErrorText();
    EXPECT_FALSE(store_->Compacted());
    struct stat after {};
    ASSERT_EQ(::stat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "nothing to give back: the file stays";
    store_->Close();
    ASSERT_EQ(store_->Open(), 0);
    EXPECT_EQ(FirstText("MachineData", "机器编号"), "7");
    EXPECT_TRUE(IntegrityOk());

    LeaveFreePages();
    const auto grown = std::filesystem::file_size(file);
    ASSERT_EQ(store_->CompactStoreAtUnload(), 0) << store_->LastErrorText();
    EXPECT_TRUE(store_->Compacted());
    EXPECT_LT(std::filesystem::file_size(file) * 4, grown);
    EXPECT_EQ(FirstText("MachineData", "机器编号"), "7");
    EXPECT_TRUE(IntegrityOk());
}

TEST_F(StoreAccessTest, AnswerReplacesTheTablesItRefills) {
    Fill("TaxInformation", "税种项目代码", "OLD");
    ASSERT_EQ(store_->OpenCommandTables(0x39, 0), 0);
    EXPECT_TRUE(store_->AnswerInProgress());
    std::int64_t n = -1;
    ASSERT_EQ(store_->Slot(0)->RecordCount(n), 0);
    EXPECT_EQ(n, 0);
    AddRow(0, "税种项目代码", "NEW1");
    AddRow(0, "税种项目代码", "NEW2");
    ASSERT_EQ(store_->CloseCommandTables(0x39, 0), 0);
    EXPECT_FALSE(store_->Slot(0)->IsOpen());
    EXPECT_FALSE(store_->AnswerInProgress());

    StoreAccess reopened(dir_);
    store_.reset();
    ASSERT_EQ(reopened.Open(), 0);
    EXPECT_EQ(Count(reopened, "TaxInformation"), 2);
}

TEST_F(StoreAccessTest, WhichCommandOpensWhichTables) {
    struct Case {
        std::uint8_t code;
        const char* table;  // nullptr: nothing is opened
        bool cleared;
    } cases[] = {
        {0x31, "InvoiceNumber", true}, {0x32, "InvoiceNumber", true},    {0x33, "InvoiceNumber", false},
        {0x37, "MachineData", false},  {0x38, "UserInformation", false}, {0x39, "TaxInformation", true},
        {0x3C, "InvUseSum", true},     {0x3E, "DeclareData", true},      {0x3F, "InvPrintData", true},
        {0x42, "InvPrintData", true},  {0x43, "InvPrintData", true},     {0xB1, "InvPrintData", true},
        {0x44, "DayTrade", true},      {0x46, "Idiograph", false},       {0x30, nullptr, false},
        {0x34, nullptr, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.code));
        if (c.table != nullptr) {
            ASSERT_EQ(store_->OpenAccess(std::string("Select * From ") + c.table, 3), 0);
            ASSERT_EQ(store_->Slot(3)->AddNew(), 0);
            ASSERT_EQ(store_->Slot(3)->Update(), 0);
            store_->ReleaseSlot(3);
        }
        ASSERT_EQ(store_->OpenCommandTables(c.code, 0), 0);
        if (c.table == nullptr) {
            EXPECT_FALSE(store_->Slot(0)->IsOpen());
            EXPECT_FALSE(store_->AnswerInProgress());
            continue;
        }
        ASSERT_TRUE(store_->Slot(0)->IsOpen());
        EXPECT_EQ(store_->Slot(0)->Table()->name, c.table);
        std::int64_t n = 0;
        store_->Slot(0)->RecordCount(n);
        EXPECT_EQ(n == 0, c.cleared) << n;
        ASSERT_EQ(store_->CloseCommandTables(c.code, 0), 0);
        EXPECT_FALSE(store_->Slot(0)->IsOpen());
    }
}

TEST_F(StoreAccessTest, CurrentInvoiceBindsMakeInvoiceToTheRollSlotAndLeavesItBound) {
    Fill("InvoiceNumber", "发票代码", "1234");
    ASSERT_EQ(store_->OpenCommandTables(0x33, 0), 0);
    ASSERT_TRUE(store_->Slot(2)->IsOpen());
    EXPECT_EQ(store_->Slot(2)->Table()->name, "MakeInvoice");
    ASSERT_EQ(store_->CloseCommandTables(0x33, 0), 0);
    EXPECT_TRUE(store_->Slot(2)->IsOpen());
    EXPECT_EQ(FirstText("InvoiceNumber", "发票代码"), "1234");
}

TEST_F(StoreAccessTest, DiscardedOrUnfinishedAnswerLeavesEarlierContent) {
    Fill("DayTrade", "日期", "20240101");
    // Discarded explicitly.
    ASSERT_EQ(store_->OpenCommandTables(0x44, 0), 0);
    AddRow(0, "日期", "20240202");
    ASSERT_EQ(store_->CloseCommandTables(0x44, 0, AnswerOutcome::Discard), 0);
    EXPECT_EQ(Count(*store_, "DayTrade"), 1);
    EXPECT_EQ(FirstText("DayTrade", "日期"), "20240101");
    // Never closed: the store goes away in the middle of the answer.
    ASSERT_EQ(store_->OpenCommandTables(0x44, 0), 0);
    AddRow(0, "日期", "20240303");
    store_.reset();
    StoreAccess reopened(dir_);
    ASSERT_EQ(reopened.Open(), 0);
    EXPECT_EQ(Count(reopened, "DayTrade"), 1);
}

TEST_F(StoreAccessTest, KilledProcessInTheMiddleOfAnAnswerLeavesTheTablesAsBefore) {
    Fill("InvPrintData", "开票日期发票号", "202401010000000001");
    Fill("InvPrintData", "开票日期发票号", "202401010000000002");
    store_.reset();
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The child stores half an answer and dies without any clean-up.
        StoreAccess* store = new StoreAccess(dir_);
        if (store->Open() != 0 || store->OpenCommandTables(0x3F, 0) != 0) ::_exit(2);
        RecordSet* rs = store->Slot(0);
        rs->AddNew();
        rs->SetText("开票日期发票号", "202402020000000009");
        rs->Update();
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(std::filesystem::exists(dir_ / "FiscalMachine.mdb-wal"));  // left to the next opening

    StoreAccess reopened(dir_);
    ASSERT_EQ(reopened.Open(), 0) << reopened.LastErrorText();
    EXPECT_EQ(Count(reopened, "InvPrintData"), 2);
    RecordSet rs;
    ASSERT_EQ(rs.Open(reopened.Connection(), "Select * From InvPrintData where 开票日期发票号 = '202402020000000009'"),
              0);
    EXPECT_TRUE(rs.Eof());
}

TEST_F(StoreAccessTest, NewAnswerCommitsAnEarlierOneThatWasNeverClosed) {
    ASSERT_EQ(store_->OpenCommandTables(0x37, 0), 0);
    AddRow(0, "机器编号", "0000000000000001");
    ASSERT_EQ(store_->OpenCommandTables(0x38, 0), 0);
    ASSERT_EQ(store_->CloseCommandTables(0x38, 0, AnswerOutcome::Discard), 0);
    EXPECT_EQ(FirstText("MachineData", "机器编号"), "0000000000000001");
}

TEST_F(StoreAccessTest, ClearStoreTablesByFlags) {
    const char* all[] = {"DayTrade",       "DeclareData",     "InvoiceNumber", "InvPrintData",
                         "InvUseSum",      "InvPDatTemp",     "MachineData",   "MakeInvoice",
                         "TaxInformation", "UserInformation", "Idiograph",     "IdiographShow",
                         "WatchCommand",   "WatchAcceptData", "WatchError",    "ARecord"};
    using F = StoreTableFlags;
    // Each emptied table is reported by its flag, in the order the tables are cleared.
    struct Case {
        std::uint32_t flags;
        std::vector<std::uint32_t> reported;
        std::vector<std::string> emptied;
    } cases[] = {
        {0, {}, {}},
        {0x1020, {F::kDayTrade}, {"DayTrade"}},
        {0x400 | 0x4000, {}, {}},
        {0x800 | 0x10000, {F::kInvPDatTemp, F::kIdiographShow}, {"InvPDatTemp", "IdiographShow"}},
        {F::kAfterInitialize,
         {F::kDayTrade, F::kDeclareData, F::kInvoiceNumber, F::kInvPrintData, F::kInvUseSum, F::kInvPDatTemp,
          F::kMachineData, F::kMakeInvoice, F::kTaxInformation, F::kUserInformation, F::kIdiograph, F::kIdiographShow,
          F::kWatchCommand, F::kWatchAcceptData, F::kWatchError},
         {"DayTrade", "DeclareData", "InvoiceNumber", "InvPrintData", "InvUseSum", "InvPDatTemp", "MachineData",
          "MakeInvoice", "TaxInformation", "UserInformation", "Idiograph", "IdiographShow", "WatchCommand",
          "WatchAcceptData", "WatchError"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.flags);
        for (const char* table : all) {
            ASSERT_EQ(store_->OpenAccess(Selection::Of(table), 3), 0);
            ASSERT_EQ(store_->Slot(3)->AddNew(), 0);
            ASSERT_EQ(store_->Slot(3)->Update(), 0);
        }
        store_->ReleaseSlot(3);
        std::vector<std::uint32_t> reported;
        ASSERT_EQ(store_->ClearStoreTables(2, c.flags,
                                           [&](std::uint32_t table, const std::string& caption) {
                                               EXPECT_EQ(caption, "清空完成");
                                               reported.push_back(table);
                                           }),
                  0);
        EXPECT_EQ(reported, c.reported);
        EXPECT_FALSE(store_->Slot(2)->IsOpen());
        for (const char* table : all) {
            bool shouldBeEmpty = std::find(c.emptied.begin(), c.emptied.end(), table) != c.emptied.end();
            EXPECT_EQ(Count(*store_, table) == 0, shouldBeEmpty) << table;
        }
        EXPECT_EQ(Count(*store_, "ComSet"), 1);
    }
}

TEST_F(StoreAccessTest, AnswerQueueIsEmptiedWhenOpened) {
    ASSERT_EQ(store_->OpenAccess("Select * From ARecord", 1), 0);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(store_->Slot(1)->AddNew(), 0);
        ASSERT_EQ(store_->Slot(1)->SetInteger("记录号", i), 0);
        ASSERT_EQ(store_->Slot(1)->SetText("记录", "4F4B0008000000014E8D"), 0);
        ASSERT_EQ(store_->Slot(1)->Update(), 0);
    }
    ASSERT_EQ(store_->OpenAnswerQueue(), 0);
    EXPECT_TRUE(store_->Slot(1)->IsOpen());
    EXPECT_TRUE(store_->Slot(1)->Eof());
    EXPECT_EQ(Count(*store_, "ARecord"), 0);
}

TEST_F(StoreAccessTest, SlotFailuresAreReportedNotHidden) {
    EXPECT_EQ(store_->OpenAccess("Select * From NoSuchTable", 0), result::kStoreOpenFailed);
    EXPECT_FALSE(store_->Slot(0)->IsOpen());
    EXPECT_EQ(store_->Slot(0)->AddNew(), result::kStoreOpenFailed);
    EXPECT_EQ(store_->ClearAccessTable(0), 0);  // nothing bound, nothing to clear
    EXPECT_EQ(store_->OpenAccess("Select * From ARecord", 4), result::kStoreOpenFailed);
    EXPECT_EQ(store_->Slot(-1), nullptr);
    ASSERT_EQ(store_->OpenAccess("Select * From ARecord", 0), 0);
    EXPECT_EQ(store_->ClearAccessTable(0), 0);  // empty record set
}

TEST_F(StoreAccessTest, CompactionWritesAnEncryptedCopyInTheStoresPlace) {
    Fill("MachineData", "机器编号", "0000000000000042");
    ASSERT_EQ(store_->OpenAccess("Select * From MachineData", 0), 0);
    ASSERT_EQ(store_->CompactStore(), 0) << store_->LastErrorText();
    EXPECT_FALSE(store_->Slot(0)->IsOpen());
    EXPECT_FALSE(std::filesystem::exists(store_->BackupPath()));

    const auto file = dir_ / "FiscalMachine.mdb";
    EXPECT_NE(ReadFile(file).substr(0, 15), "SQLite format 3");
    EXPECT_FALSE(ReadableWithKey(file, "wrong key"));
    EXPECT_TRUE(ReadableWithKey(file, BuiltInStoreKey()));
    // The store is open again and holds its rows and its unique keys.
    EXPECT_EQ(FirstText("MachineData", "机器编号"), "0000000000000042");
    Fill("DayTrade", "日期", "20240101");
    ASSERT_EQ(store_->OpenAccess("Select * From DayTrade", 0), 0);
    ASSERT_EQ(store_->Slot(0)->AddNew(), 0);
    ASSERT_EQ(store_->Slot(0)->SetText("日期", "20240101"), 0);
    EXPECT_EQ(store_->Slot(0)->Update(), result::kDuplicateKey);
}

// Rows still only in the write-ahead log go into the compacted copy, and no log of the old file is left
// beside the new one.
TEST_F(StoreAccessTest, CompactionAfterLoggedWritesKeepsEveryRowAndLeavesNoOldLog) {
    ASSERT_TRUE(store_->Connection()->WritesAhead());
    ASSERT_EQ(
        store_->Connection()->Exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 500) "
                                   "INSERT INTO ARecord (\"记录号\", \"记录\") SELECT i, hex(randomblob(40)) FROM n;"),
        0);
    const std::string log = (dir_ / "FiscalMachine.mdb-wal").string();
    ASSERT_GT(std::filesystem::file_size(log), 0u);
    const std::string before = ReadFile(log);
    ASSERT_EQ(store_->CompactStore(), 0) << store_->LastErrorText();
    EXPECT_TRUE(store_->Connection()->WritesAhead());
    EXPECT_NE(ReadFile(log).substr(0, 64), before.substr(0, 64));
    Statement count(*store_->Connection(), "SELECT count(*) FROM ARecord");
    ASSERT_EQ(sqlite3_step(count.get()), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(count.get(), 0), 500);
    EXPECT_TRUE(IntegrityOk());
}

TEST_F(StoreAccessTest, LeftOverCopyFailsOnceAndIsReplacedAtUnload) {
    Fill("MachineData", "机器编号", "7");
    const auto copy = store_->BackupPath();
    EXPECT_EQ(copy.filename(), "FiscalMachine.mdb_bak.mdb");
    { std::ofstream(copy) << "half a copy"; }
    { std::ofstream(copy.string() + "-journal") << "stale journal"; }
    EXPECT_EQ(store_->CompactStore(), result::kCompactDestinationExists);
    EXPECT_EQ(ReadFile(copy), "half a copy");
    EXPECT_EQ(FirstText("MachineData", "机器编号"), "7");

    ASSERT_EQ(store_->CompactStoreAtUnload(), 0) << store_->LastErrorText();
    EXPECT_FALSE(std::filesystem::exists(copy));
    EXPECT_FALSE(std::filesystem::exists(copy.string() + "-journal"));
    EXPECT_EQ(FirstText("MachineData", "机器编号"), "7");
}

TEST_F(StoreAccessTest, CompactionRollsBackAnUnfinishedAnswer) {
    Fill("DayTrade", "日期", "20240101");
    ASSERT_EQ(store_->OpenCommandTables(0x44, 0), 0);
    ASSERT_EQ(store_->CompactStoreAtUnload(), 0) << store_->LastErrorText();
    EXPECT_FALSE(store_->AnswerInProgress());
    EXPECT_EQ(FirstText("DayTrade", "日期"), "20240101");
}

TEST_F(StoreAccessTest, AnInstallationKeyReplacesTheBuiltInKey) {
    store_.reset();
    const auto file = dir_ / "FiscalMachine.mdb";
    std::filesystem::remove(file);
    const std::string siteKey = "site key 'with quotes\"";
    {
        StoreAccess store(dir_, siteKey);
        ASSERT_EQ(store.Open(), 0) << store.LastErrorText();
        ASSERT_EQ(store.OpenAccess("Select * From MachineData", 0), 0);
        ASSERT_EQ(store.Slot(0)->AddNew(), 0);
        ASSERT_EQ(store.Slot(0)->SetText("机器编号", "1"), 0);
        ASSERT_EQ(store.Slot(0)->Update(), 0);
    }
    EXPECT_TRUE(ReadableWithKey(file, siteKey));
    const std::string before = ReadFile(file);

    StoreAccess wrong(dir_);
    EXPECT_EQ(wrong.Open(), result::kStoreOpenFailed);
    EXPECT_FALSE(wrong.LastErrorText().empty());
    EXPECT_FALSE(wrong.IsOpen());
    EXPECT_EQ(ReadFile(file), before);  // a wrong key never rewrites the file

    StoreAccess empty(dir_, "");
    EXPECT_EQ(empty.Open(), result::kStoreOpenFailed) << "an empty key never stores the file in clear";
    EXPECT_EQ(ReadFile(file), before);

    StoreAccess right(dir_, siteKey);
    ASSERT_EQ(right.Open(), 0);
    ASSERT_EQ(right.CompactStoreAtUnload(), 0) << right.LastErrorText();
    EXPECT_TRUE(ReadableWithKey(file, siteKey));
    EXPECT_EQ(Count(right, "MachineData"), 1);
}

TEST_F(StoreAccessTest, PlainFileIsNotTakenForAStore) {
    store_.reset();
    const auto file = dir_ / "FiscalMachine.mdb";
    std::filesystem::remove(file);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE t(x); INSERT INTO t VALUES (1);", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    const std::string before = ReadFile(file);
    StoreAccess store(dir_);
    EXPECT_EQ(store.Open(), result::kStoreOpenFailed);
    EXPECT_EQ(ReadFile(file), before);
    EXPECT_EQ(store.OpenCommandTables(0x39, 0), result::kStoreOpenFailed);
    EXPECT_EQ(store.ClearStoreTables(2, StoreTableFlags::kAfterInitialize), result::kStoreOpenFailed);
    EXPECT_EQ(store.CompactStoreAtUnload(), result::kStoreOpenFailed);
}

// A file the key does not open is described by what it shows, never simply blamed on the key, in Chinese
// with the engine's words after it.
TEST_F(StoreAccessTest, UnreadableFileIsToldByWhatItShows) {
    store_.reset();
    const auto file = dir_ / "FiscalMachine.mdb";
    const std::string encrypted = ReadFile(file);
    const auto write = [&](const std::string& bytes) {
        std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
    };
    const auto plain = [&] {
        std::filesystem::remove(file);
        sqlite3* db = nullptr;
        sqlite3_open(file.c_str(), &db);
        sqlite3_exec(db, "CREATE TABLE t(x);", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    };
    std::string key = BuiltInStoreKey();
    std::string noise(4096, '\0');
    for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 7919 + 13) % 251);
    const struct {
        const char* what;
        std::function<void()> make;
        const char* reason;
    } cases[] = {
        {"unencrypted database", plain, "存储文件未加密"},
        {"text in its place", [&] { write("this is no store\n"); }, "：存储文件已损坏"},
        {"whole pages of zeros", [&] { write(std::string(8192, '\0')); }, "：存储文件已损坏"},
        {"first page cut short", [&] { write(encrypted.substr(0, 1000)); }, "：存储文件已损坏"},
        // Noise of whole pages is what an encrypted store looks like: key and damage cannot be told apart.
        {"encrypted under another key",
         [&] {
             std::filesystem::remove(file);
             StoreConnection made;
             EXPECT_EQ(made.Open(file, "first"), 0);
             key = "other";
         },
         "：密钥错误或文件已损坏"},
        {"whole pages of noise", [&] { write(noise); }, "：密钥错误或文件已损坏"},
    };
    for (const auto& c : cases) {
        c.make();
        StoreAccess store(dir_, key);
        EXPECT_EQ(store.Open(), result::kStoreOpenFailed) << c.what;
        const std::string text = store.LastErrorText();
        EXPECT_NE(text.find(c.reason), std::string::npos) << c.what << ": " << text;
        EXPECT_NE(text.find("文件已加密或不是数据库（file is encrypted or is not a database）"), std::string::npos)
            << c.what << ": " << text;
        key = BuiltInStoreKey();
    }
}

// One writer at a time; readers beside it; no compaction under someone else's feet.
TEST_F(StoreAccessTest, OneWriterAtATimeReadersBesideItAndNoCompactionUnderThem) {
    Fill("MachineData", "机器编号", "7");
    LeaveFreePages();  // so that a compaction would be due
    StoreAccess second(dir_);
    EXPECT_EQ(second.Open(), result::kStoreInUse);
    EXPECT_FALSE(second.IsOpen());
    EXPECT_NE(second.LastErrorText().find("进程 " + std::to_string(::getpid())), std::string::npos)
        << second.LastErrorText();
    EXPECT_NE(second.LastErrorText().find((dir_ / "FiscalMachine.mdb").string()), std::string::npos);

    StoreAccess reader(dir_);
    ASSERT_EQ(reader.Open(StoreMode::Read), 0) << reader.LastErrorText();
    EXPECT_EQ(Count(reader, "MachineData"), 1);
    EXPECT_NE(reader.ClearStoreTables(2, StoreTableFlags::kMachineData), 0) << "a reader never writes";

    const auto file = dir_ / "FiscalMachine.mdb";
    struct stat before {};
    ASSERT_EQ(::stat(file.c_str(), &before), 0);
    EXPECT_EQ(store_->CompactStore(), result::kStoreInUse);
    ASSERT_EQ(store_->CompactStoreAtUnload(), 0);
    EXPECT_TRUE(store_->CompactionSkipped());
    struct stat after {};
    ASSERT_EQ(::stat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "the reader's file stays in place";

    reader.Close();
    ASSERT_EQ(store_->CompactStoreAtUnload(), 0) << store_->LastErrorText();
    EXPECT_FALSE(store_->CompactionSkipped());
    EXPECT_EQ(FirstText("MachineData", "机器编号"), "7");

    store_->Close();
    EXPECT_FALSE(std::filesystem::exists(StoreLock::LockPathOf(file))) << "the last one out tidies up";
    ASSERT_EQ(second.Open(), 0) << second.LastErrorText();
}

// A store that cannot be used where it is configured: refused with the path and the reason, and no file elsewhere.
TEST_F(StoreDirTest, UnusableDirectoryOrStoreIsRefusedWithPathAndReason) {
    const auto plain = dir_ / "plain";
    { std::ofstream(plain) << "x"; }
    const auto blocked = dir_ / "blocked";
    std::filesystem::create_directories(blocked / "FiscalMachine.mdb");
    const struct {
        std::filesystem::path dir;
        const char* reason;
        std::int32_t code;
    } cases[] = {{plain / "data", "Not a directory", result::kStoreOpenFailed},
                 {plain, "不是目录", result::kStoreOpenFailed},
                 {blocked, "不是普通文件", result::kUnsafeStoreFile},
                 {"", "KARVEX_DATA_DIR", result::kNoDataDirectory}};
    for (const auto& c : cases) {
        for (StoreMode mode : {StoreMode::Write, StoreMode::Read}) {
            StoreAccess store(c.dir);
            EXPECT_EQ(store.Open(mode), c.code) << c.dir;
            EXPECT_NE(store.LastErrorText().find(c.dir.string()), std::string::npos) << store.LastErrorText();
            EXPECT_NE(store.LastErrorText().find(c.reason), std::string::npos) << store.LastErrorText();
        }
    }
    EXPECT_TRUE(std::filesystem::is_directory(blocked / "FiscalMachine.mdb"));
}

}  // namespace
}  // namespace karvex
