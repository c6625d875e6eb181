// Unloading compacts the store into one encrypted file; a copy left by an interrupted run does not stop it.
#include "store_e2e_fixture.h"

#include <sys/stat.h>

#include <cstdio>

namespace karvex::testing {
namespace {

// Runs the sqlcipher shell with a bounded time; its output and exit status.
struct Shell {
    int status = -1;
    std::string out;
};
Shell RunShell(const std::string& args) {
    Shell s;
    std::string cmd = "timeout 20 sqlcipher -batch " + args + " 2>&1";
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return s;
    char buf[512];
    while (std::fgets(buf, sizeof buf, p)) s.out += buf;
    s.status = ::pclose(p);
    return s;
}
bool ShellPresent() { return std::system("command -v sqlcipher >/dev/null 2>&1") == 0; }

std::vector<std::string> Files(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class Unload : public StoreFixture {};

TEST_F(Unload, LeavesOneEncryptedStoreThatOnlyTheKeyOpens) {
    ASSERT_EQ(RunBare(0x37), 0);
    ASSERT_EQ(fiscal_->UnloadFicalForm(0), 0);
    EXPECT_EQ(Files(dir_), (std::vector<std::string>{"CommandFM.Vrm", "FiscalMachine.mdb"}));
    if (!ShellPresent()) GTEST_SKIP() << "no sqlcipher shell";
    const std::string file = dir_ + "/FiscalMachine.mdb";
    Shell without = RunShell("'" + file + "' 'SELECT count(*) FROM MachineData;'");
    EXPECT_NE(without.status, 0) << without.out;
    EXPECT_EQ(without.out.find("\n1\n"), std::string::npos);
    Shell with =
        RunShell("-cmd \"PRAGMA key='" + BuiltInStoreKey() + "';\" '" + file + "' 'SELECT count(*) FROM MachineData;'");
    EXPECT_EQ(with.status, 0) << with.out;
    EXPECT_NE(with.out.find("1"), std::string::npos) << with.out;
}

TEST_F(Unload, ALeftOverCopyIsReplacedAndTheResultIsZero) {
    ASSERT_EQ(RunBare(0x38), 0);
    {
        std::ofstream stale(dir_ + "/FiscalMachine.mdb_bak.mdb");
        stale << "left by an interrupted run";
    }
    EXPECT_EQ(fiscal_->UnloadFicalForm(0), 0);
    EXPECT_EQ(fiscal_->Status(), 0);
    EXPECT_EQ(Files(dir_), (std::vector<std::string>{"CommandFM.Vrm", "FiscalMachine.mdb"}));
    // The compacted store still holds the answer.
    StoreAccess again(dir_);
    ASSERT_EQ(again.Open(), 0);
    RecordSet rs;
    ASSERT_EQ(rs.Open(again.Connection(), "Select * From UserInformation"), 0);
    std::int64_t n = 0;
    rs.RecordCount(n);
    EXPECT_EQ(n, 1);
}

TEST_F(Unload, AnswersWithoutAStoreAreReportedNotLost) {
    ASSERT_EQ(fiscal_->UnloadFicalForm(0), 0);
    // The port is closed with the console: the store is not reached and nothing is claimed as stored.
    EXPECT_NE(RunBare(0x37), 0);
}

// Another process reading the store (a technician's dump) keeps its file: the unload does not compact it
// away from under the reader, and the next unload without a reader compacts as usual.
TEST_F(Unload, AStoreOpenElsewhereIsNotCompactedAway) {
    ASSERT_EQ(RunBare(0x37), 0);
    // A long answer queued and emptied: the file is mostly free pages, so that compaction is due.
    ASSERT_EQ(
        Access().Connection()->Exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3000) "
                                    "INSERT INTO ARecord (\"记录号\", \"记录\") SELECT i, hex(randomblob(400)) FROM n;"
                                    "DELETE FROM ARecord;"),
        0);
    const std::string file = dir_ + "/FiscalMachine.mdb";
    struct stat before {};
    ASSERT_EQ(::stat(file.c_str(), &before), 0);
    {
        StoreAccess reader{std::filesystem::path(dir_)};
        ASSERT_EQ(reader.Open(StoreMode::Read), 0) << reader.LastErrorText();
        EXPECT_EQ(fiscal_->UnloadFicalForm(0), 0);
        struct stat after {};
        ASSERT_EQ(::stat(file.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_NE(ReadLog().find(Gbk("本次不压缩")), std::string::npos);
        RecordSet rs;
        ASSERT_EQ(rs.Open(reader.Connection(), "Select * From MachineData"), 0);
        std::int64_t n = 0;
        rs.RecordCount(n);
        EXPECT_EQ(n, 1);
    }
    ASSERT_EQ(fiscal_->LoadFiscalForm(), 0);
    ASSERT_EQ(fiscal_->UnloadFicalForm(0), 0);
    struct stat compacted {};
    ASSERT_EQ(::stat(file.c_str(), &compacted), 0);
    EXPECT_NE(compacted.st_ino, before.st_ino) << "compacted into a new file";
}

}  // namespace
}  // namespace karvex::testing
