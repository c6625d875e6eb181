// A writer killed (SIGKILL) at random moments while every outside reader of its store runs beside it: the
// technician's dump, the sync's status and a browser's reads. Whatever a reader does, the writer's
// write-ahead log is never deleted under it (a deleted log still open shows in /proc/<pid>/fd), and every row
// whose commit returned is there afterwards.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
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
        const int rounds = std::uniform_int_distribution<int>(1, 2)(rng);
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

// The status line of one request to the service on `port` ("HTTP/1.1 200 OK"), read until it closes.
std::string Get(int port, const std::string& path, const std::string& token) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval tv{60, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        const std::string request = "GET " + path + " HTTP/1.1\r\nHost: localhost\r\nAuthorization: Bearer " + token +
                                    "\r\nConnection: close\r\n\r\n";
        if (::write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
            char buf[4096];
            ssize_t n;
            while ((n = ::read(fd, buf, sizeof buf)) > 0) reply.append(buf, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return reply.substr(0, reply.find("\r\n"));
}

// The service reads the store beside its own writer, in one process, while the technician's tools read it from
// outside: its log stays in place.
TEST(SharedStoreTest, TheServiceReadingBesideItsOwnWriterKeepsItsLogWhileToolsRead) {
    TempDir dir("karvex-share-service");
    int out = -1;
    const std::string device = "KARVEX_COM1=" + dir.path() + "/no-such-tty";
    std::vector<std::string> argv = {KARVEXD_PATH, "--port", "0", "--data-dir", dir.path(), "--serial-port", "1"};
    std::vector<char*> cargv;
    for (auto& v : argv) cargv.push_back(v.data());
    cargv.push_back(nullptr);
    std::vector<std::string> env = {device, "QT_QPA_PLATFORM=offscreen"};
    for (char** e = environ; *e; ++e)
        if (std::string(*e).rfind("KARVEX_", 0) != 0) env.push_back(*e);
    std::vector<char*> cenv;
    for (auto& v : env) cenv.push_back(v.data());
    cenv.push_back(nullptr);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    pid_t service = -1;
    ASSERT_EQ(posix_spawn(&service, cargv[0], &actions, nullptr, cargv.data(), cenv.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    out = fds[0];
    std::string first;
    char c;
    pollfd p{out, POLLIN, 0};
    while (first.find('\n') == std::string::npos && ::poll(&p, 1, 120000) > 0 && ::read(out, &c, 1) == 1) first += c;
    const auto at = first.find("127.0.0.1:");
    ASSERT_NE(at, std::string::npos) << "karvexd did not start: " << first;
    const int port = std::stoi(first.substr(at + 10));
    std::ifstream tokenFile(dir.path() + "/karvexd.token");
    std::string token;
    std::getline(tokenFile, token);
    for (int round = 0; round < 3; ++round) {
        EXPECT_NE(Get(port, "/v1/tables/InvoiceNumber", token).find(" 200 "), std::string::npos);
        EXPECT_EQ(RunReader({KARVEX_TOOL_PATH, "--data-dir", dir.path(), "dump", "--table", "InvoiceNumber"}), 0);
        EXPECT_EQ(RunReader({KARVEX_TOOL_PATH, "--data-dir", dir.path(), "sync", "--status"}), 0);
        EXPECT_EQ(DeletedLogsOf(service), std::vector<std::string>{}) << "round " << round;
    }
    ::kill(service, SIGKILL);
    int status = 0;
    ::waitpid(service, &status, 0);
    ::close(out);
    StoreAccess after(dir.path());
    EXPECT_EQ(after.Open(), 0) << after.LastErrorText();
}

}  // namespace
}  // namespace karvex::testing
