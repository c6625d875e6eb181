// A writer killed (SIGKILL) at random moments while every outside reader of its store runs beside it: the
// technician's dump, the sync's status and a browser's reads. Whatever a reader does, the writer's
// write-ahead log is never deleted under it (a deleted log still open shows in /proc/<pid>/fd), and every row
// whose commit returned is there afterwards.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <sqlcipher/sqlite3.h>

#include "store/store_access.h"
#include "support/temp_dir.h"

extern char** environ;

namespace karvex::testing {
namespace {

pid_t Start(std::vector<std::string> argv, int* out) {
    int fds[2];
    if (::pipe(fds) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, cargv[0], &actions, nullptr, cargv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    *out = fds[0];
    return pid;
}

// Runs a reader to its end; its output is read and dropped.
int RunReader(std::vector<std::string> argv) {
    int out = -1;
    const pid_t pid = Start(std::move(argv), &out);
    if (pid <= 0) return -1;
    char buf[4096];
    while (::read(out, buf, sizeof buf) > 0) {
    }
    ::close(out);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The log files the process holds open that are no longer in the directory.
std::vector<std::string> DeletedLogsOf(pid_t pid) {
    std::vector<std::string> found;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        const std::string target = std::filesystem::read_symlink(entry.path(), ec).string();
        if (target.find(kStoreFileName) != std::string::npos && target.find("(deleted)") != std::string::npos)
            found.push_back(target);
    }
    return found;
}

// The numbers after "committed " in what the writer printed.
std::set<long> Committed(const std::string& printed) {
    std::set<long> numbers;
    std::size_t at = 0;
    while ((at = printed.find("committed ", at)) != std::string::npos) {
        at += 10;
        const std::size_t end = printed.find('\n', at);
        if (end == std::string::npos) break;  // a line cut off by the kill was not yet vouched for
        numbers.insert(std::stol(printed.substr(at, end - at)));
    }
    return numbers;
}

TEST(SharedStoreTest, OutsideReadersNeverDeleteTheLogOfAWriterKilledAtRandom) {
    TempDir dir("karvex-share");
    std::mt19937 rng(20261207);
    std::set<long> committed;
    const std::vector<std::vector<std::string>> readers = {
        {KARVEX_TOOL_PATH, "--data-dir", dir.path(), "dump", "--table", "WatchError"},
        {KARVEX_TOOL_PATH, "--data-dir", dir.path(), "sync", "--status"},
    };
    for (int kill = 0; kill < 4; ++kill) {
        int out = -1;
        const pid_t writer = Start({KARVEX_SHARE_WRITER, dir.path(), std::to_string(kill * 1000000 + 1)}, &out);
        ASSERT_GT(writer, 0);
        std::string printed;
        auto drain = [&](int ms) {
            pollfd p{out, POLLIN, 0};
            char buf[4096];
            while (::poll(&p, 1, ms) > 0) {
                const ssize_t n = ::read(out, buf, sizeof buf);
                if (n <= 0) return false;
                printed.append(buf, static_cast<std::size_t>(n));
                ms = 0;
            }
            return true;
        };
        for (int i = 0; i < 600 && printed.find("committed") == std::string::npos; ++i) ASSERT_TRUE(drain(100));
        ASSERT_NE(printed.find("committed"), std::string::npos) << "the writer never committed: " << printed;
        // Each reader opens and closes the store at least once while the writer commits; a browser's reads
        // are this process's own.
        const int rounds = std::uniform_int_distribution<int>(1, 3)(rng);
        for (int r = 0; r < rounds; ++r) {
            for (const auto& reader : readers) {
                EXPECT_EQ(RunReader(reader), 0) << reader[3];
                drain(0);
                EXPECT_EQ(DeletedLogsOf(writer), std::vector<std::string>{}) << "after " << reader[3];
            }
            {
                StoreAccess browser(dir.path());
                EXPECT_EQ(browser.Open(StoreMode::Read), 0) << browser.LastErrorText();
            }
            drain(std::uniform_int_distribution<int>(0, 50)(rng));
            EXPECT_EQ(DeletedLogsOf(writer), std::vector<std::string>{}) << "after a browser's read";
        }
        ::kill(writer, SIGKILL);
        int status = 0;
        ::waitpid(writer, &status, 0);
        drain(0);
        ::close(out);
        const std::set<long> now = Committed(printed);
        committed.insert(now.begin(), now.end());
        StoreAccess check(dir.path());
        ASSERT_EQ(check.Open(), 0) << check.LastErrorText();
        Statement rows(*check.Connection(), "SELECT \"序号\" FROM \"WatchError\"");
        std::set<long> stored;
        while (sqlite3_step(rows.get()) == SQLITE_ROW) stored.insert(sqlite3_column_int64(rows.get(), 0));
        std::vector<long> lost;
        for (long n : committed)
            if (stored.count(n) == 0) lost.push_back(n);
        EXPECT_TRUE(lost.empty()) << lost.size() << " committed rows lost after kill " << kill << ", first "
                                  << lost.front();
    }
}

}  // namespace
}  // namespace karvex::testing
