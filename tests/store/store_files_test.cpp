// What a store file may be and hold, and what its files look like to other users: a planted object refuses
// the store before anything is written; every file is the owner's alone whatever the umask; a link or another
// user's file in a file's place is refused and left as it was.
#include <fcntl.h>
#include <sqlcipher/sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "link/link_trace.h"
#include "log/command_log.h"
#include "store/schema.h"
#include "store/store_access.h"
#include "store/store_codes.h"
#include "store/store_file.h"
#include "store/store_key.h"
#include "store_test_support.h"

namespace karvex {
namespace {

using testing::StoreDirTest;

constexpr uid_t kOtherUser = 65534;  // "nobody" on Debian

std::string ReadFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs SQL on the store with the raw engine, as someone holding the key would.
bool Plant(const std::filesystem::path& file, const std::string& sql) {
    sqlite3* db = nullptr;
    bool ok = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK;
    const std::string key = BuiltInStoreKey();
    ok = ok && sqlite3_key(db, key.data(), static_cast<int>(key.size())) == SQLITE_OK;
    ok = ok && sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

using StoreFilesTest = StoreDirTest;

TEST_F(StoreFilesTest, PlantedObjectsRefuseTheStoreByNameAndNothingIsWritten) {
    struct Case {
        std::string sql;
        std::string name;
    };
    std::vector<Case> cases;
    for (const TableDef& table : StoreTables()) {
        const std::string name = "planted_" + table.name;
        cases.push_back({"CREATE TRIGGER \"" + name + "\" AFTER INSERT ON \"" + table.name + "\" BEGIN DELETE FROM \"" +
                             table.name + "\"; END;",
                         name});
    }
    cases.push_back({"CREATE VIEW planted_view AS SELECT 1;", "planted_view"});
    cases.push_back({"CREATE VIRTUAL TABLE planted_rtree USING rtree(id, x0, x1);", "planted_rtree"});
    cases.push_back({"CREATE TABLE planted_table (x);", "planted_table"});
    // Under a name of Karvex's own, with another body.
    cases.push_back(
        {"DROP TRIGGER karvex_InvPrintData_totals_insert; CREATE TRIGGER karvex_InvPrintData_totals_insert "
         "AFTER INSERT ON InvPrintData BEGIN DELETE FROM InvPrintData; END;",
         "karvex_InvPrintData_totals_insert"});
    const auto file = dir_ / kStoreFileName;
    for (const Case& c : cases) {
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directory(dir_);
        {
            StoreAccess made(dir_);
            ASSERT_EQ(made.Open(), 0) << made.LastErrorText();
        }
        ASSERT_TRUE(Plant(file, c.sql)) << c.sql;
        const std::string before = ReadFile(file);
        for (StoreMode mode : {StoreMode::Write, StoreMode::Read}) {
            StoreAccess store(dir_);
            const std::int32_t rc = store.Open(mode);
            // A reader writes nothing, so an object under a Karvex name only matters to the writer.
            if (mode == StoreMode::Read && c.name.rfind("karvex_", 0) == 0) continue;
            EXPECT_EQ(rc, result::kForeignSchemaObject) << c.name;
            EXPECT_NE(store.LastErrorText().find(c.name), std::string::npos) << store.LastErrorText();
        }
        EXPECT_TRUE(ReadFile(file) == before) << c.name << ": the store was written";
    }
}

struct FileModes {
    std::string name;
    mode_t mode;
    uid_t uid;
};

// Every file in the directory (and the directory itself as ".").
std::vector<FileModes> ModesIn(const std::filesystem::path& dir) {
    std::vector<FileModes> out;
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) out.push_back({".", st.st_mode & 07777, st.st_uid});
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (::lstat(entry.path().c_str(), &st) == 0)
            out.push_back({entry.path().filename().string(), st.st_mode & 07777, st.st_uid});
    }
    return out;
}

// Load, a command's answer and log line, a trace and a compaction, under a loose and a strict umask, and as
// root in a directory another user owns: nothing is readable by anyone else, and everything stays the
// directory owner's.
TEST_F(StoreFilesTest, EveryFileIsTheOwnersAloneWhateverTheUmask) {
    struct Case {
        mode_t umask;
        bool asRootForOther;
    };
    std::vector<Case> cases = {{022, false}, {077, false}};
    if (::geteuid() == 0) cases.push_back({022, true});
    for (const Case& c : cases) {
        const auto dir = dir_ / ("data-" + std::to_string(c.umask) + (c.asRootForOther ? "-other" : ""));
        const uid_t owner = c.asRootForOther ? kOtherUser : ::geteuid();
        if (c.asRootForOther) {
            std::filesystem::create_directory(dir);
            ASSERT_EQ(::chmod(dir.c_str(), 0700), 0);
            ASSERT_EQ(::chown(dir.c_str(), kOtherUser, kOtherUser), 0);
        }
        const mode_t old = ::umask(c.umask);
        {
            StoreAccess store(dir);
            ASSERT_EQ(store.Open(), 0) << store.LastErrorText();
            ASSERT_EQ(store.Connection()->Exec("INSERT INTO WatchError (序号) VALUES (1)"), 0);
            CommandLog log((dir / "CommandFM.Vrm").string());
            log.WriteLogLine("line");
            auto trace = LinkTrace::Open((dir / "link.trace").string());
            ASSERT_NE(trace, nullptr);
            ASSERT_EQ(store.CompactStore(), 0) << store.LastErrorText();
            for (const FileModes& f : ModesIn(dir)) {
                EXPECT_EQ(f.mode, f.name == "." ? 0700u : 0600u) << f.name << " umask " << std::oct << c.umask;
                EXPECT_EQ(f.uid, owner) << f.name;
            }
        }
        ::umask(old);
    }
}

// A link in place of each file, to a file the process owns and to one of another user, and another user's
// plain file: refused, and the target as it was.
TEST_F(StoreFilesTest, LinksAndOtherUsersFilesInAFilesPlaceAreRefusedUntouched) {
    {
        StoreAccess made(dir_);
        ASSERT_EQ(made.Open(), 0);
    }
    const auto target = dir_.parent_path() / (dir_.filename().string() + "-target");
    struct Case {
        std::string file;
        bool link;
        bool other;  // the target (or the file itself) belongs to another user
    };
    std::vector<Case> cases;
    for (const char* file :
         {"FiscalMachine.mdb", "FiscalMachine.mdb-wal", "FiscalMachine.mdb.lock", "CommandFM.Vrm", "link.trace"}) {
        cases.push_back({file, true, false});
        if (::geteuid() == 0) {
            cases.push_back({file, true, true});
            cases.push_back({file, false, true});
        }
    }
    const auto store = dir_ / kStoreFileName;
    const std::string storeBytes = ReadFile(store);
    for (const Case& c : cases) {
        const auto path = dir_ / c.file;
        { std::ofstream(target) << "not yours"; }
        if (c.other) {
            ASSERT_EQ(::chown(target.c_str(), kOtherUser, kOtherUser), 0);
        }
        if (c.link) {
            if (c.file == kStoreFileName) std::filesystem::remove(path);
            std::filesystem::create_symlink(target, path);
        } else {
            std::filesystem::copy_file(target, path, std::filesystem::copy_options::overwrite_existing);
            ASSERT_EQ(::chown(path.c_str(), kOtherUser, kOtherUser), 0);
        }
        const std::string what = c.file + (c.link ? " link" : " file") + (c.other ? " of another user" : "");
        if (c.file == "CommandFM.Vrm") {
            CommandLog log(path.string());
            log.WriteLogLine("line");
        } else if (c.file == "link.trace") {
            EXPECT_EQ(LinkTrace::Open(path.string()), nullptr) << what;
        } else {
            StoreAccess access(dir_);
            EXPECT_EQ(access.Open(), result::kUnsafeStoreFile) << what << ": " << access.LastErrorText();
            EXPECT_NE(access.LastErrorText().find(path.string()), std::string::npos) << access.LastErrorText();
            if (c.link && c.file == kStoreFileName) {
                // The engine itself, asked directly (as between a check and its open), does not follow it.
                GuardEngineOpens();
                sqlite3* db = nullptr;
                EXPECT_NE(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK) << what;
                sqlite3_close(db);
            }
        }
        EXPECT_EQ(ReadFile(target), "not yours") << what;
        if (!c.link) {
            EXPECT_EQ(ReadFile(path), "not yours") << what;
        }
        std::filesystem::remove(path);
        if (c.file == kStoreFileName) {
            std::ofstream(store, std::ios::binary) << storeBytes;
            ::chmod(store.c_str(), 0600);
        }
    }
    std::filesystem::remove(target);
    // The data directory itself may be reached through a link: an installation's choice, not a planted file.
    const auto linked = dir_.parent_path() / (dir_.filename().string() + "-link");
    std::filesystem::create_directory_symlink(dir_, linked);
    StoreAccess throughLink(linked);
    EXPECT_EQ(throughLink.Open(), 0) << throughLink.LastErrorText();
    ASSERT_EQ(throughLink.CompactStore(), 0) << throughLink.LastErrorText();
    throughLink.Close();
    std::filesystem::remove(linked);
}

}  // namespace
}  // namespace karvex
