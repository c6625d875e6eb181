// A control killed (SIGKILL) at random points of a 2,000-frame print-data upload: afterwards the store
// passes its integrity check and holds either the complete earlier answer or the complete new one.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <random>
#include <set>
#include <string>

#include <sqlcipher/sqlite3.h>

#include "crash_shared.h"
#include "store/record_set.h"
#include "store/store_access.h"

namespace karvex::testing {
namespace {

struct Child {
    pid_t pid = -1;
    int out = -1;
    std::string buffer;

    // Reads what the child printed within `ms`; false when it ended.
    bool Read(int ms) {
        pollfd p{out, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) return true;
        char buf[256];
        ssize_t n = ::read(out, buf, sizeof buf);
        if (n <= 0) return false;
        buffer.append(buf, static_cast<std::size_t>(n));
        return true;
    }
};

Child Spawn(const std::string& dir) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    Child c;
    c.pid = ::fork();
    if (c.pid == 0) {
        ::dup2(fds[1], 1);
        ::close(fds[0]);
        ::setenv("KARVEX_DATA_DIR", dir.c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::execl(KARVEX_CRASH_CHILD, KARVEX_CRASH_CHILD, static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    c.out = fds[0];
    return c;
}

struct Expected {
    std::set<std::string> a, b;  // 开票日期发票号 of each range
};

Expected ExpectedKeys() {
    sim::MachineState s = sim::make_default_state();
    sim::seed_state(s, crash::Seed(), crash::Clock().ymd());
    Expected e;
    for (const auto& inv : s.invoices) {
        char key[32];
        std::snprintf(key, sizeof key, "%u%010u", inv.date, inv.number);
        (inv.date <= crash::kSplit ? e.a : e.b).insert(key);
    }
    return e;
}

TEST(CrashTest, KilledUploadsLeaveTheEarlierOrTheNewAnswerWhole) {
    const Expected expected = ExpectedKeys();
    ASSERT_GE(expected.a.size(), 1900u);
    char tmpl[] = "/tmp/karvex-crash-XXXXXX";
    const std::string dir = ::mkdtemp(tmpl);
    std::mt19937 rng(static_cast<unsigned>(
        std::getenv("KARVEX_CRASH_SEED") ? std::atoi(std::getenv("KARVEX_CRASH_SEED")) : 20240315));
    const int kills = std::getenv("KARVEX_CRASH_KILLS") ? std::atoi(std::getenv("KARVEX_CRASH_KILLS")) : 20;
    int seenA = 0, seenB = 0, seenEmpty = 0;
    int span = 0;  // ms; set by the first child
    for (int k = 0; k < kills; ++k) {
        Child c = Spawn(dir);
        ASSERT_GT(c.pid, 0);
        // Wait for the control to be loaded, then let the upload run for a random time.
        for (int i = 0; i < 200 && c.buffer.find("ready") == std::string::npos; ++i) ASSERT_TRUE(c.Read(100));
        ASSERT_NE(c.buffer.find("ready"), std::string::npos) << "child did not start";
        // The first child runs until its first upload is stored; the time that took, on this machine and under
        // whatever else it is doing, sets the span in which the later children are killed, so that the kills
        // fall before, during and after a whole upload however fast the machine is.
        int lifetime = 0;
        if (k == 0) {
            const auto start = std::chrono::steady_clock::now();
            for (int i = 0; i < 6000 && c.buffer.find("done") == std::string::npos; ++i) ASSERT_TRUE(c.Read(50));
            ASSERT_NE(c.buffer.find("done"), std::string::npos) << "no upload ended within five minutes";
            lifetime = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                    .count());
            span = std::max(2 * lifetime, 200);
        } else {
            lifetime = std::uniform_int_distribution<int>(0, span)(rng);
            for (int waited = 0; waited < lifetime; waited += 20) c.Read(20);
        }
        ::kill(c.pid, SIGKILL);
        int status = 0;
        ::waitpid(c.pid, &status, 0);
        ::close(c.out);
        ASSERT_TRUE(WIFSIGNALED(status)) << "child ended by itself: " << c.buffer;
        {
            StoreAccess next{std::filesystem::path(dir)};
            ASSERT_EQ(next.Open(), 0) << "a killed control leaves the store locked: " << next.LastErrorText();
        }

        StoreConnection conn;
        ASSERT_EQ(conn.Open(std::filesystem::path(dir) / kStoreFileName, BuiltInStoreKey()), 0) << conn.LastErrorText();
        {
            Statement check(conn, "PRAGMA integrity_check");
            ASSERT_EQ(sqlite3_step(check.get()), SQLITE_ROW);
            EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(check.get(), 0)), "ok") << "kill " << k;
        }
        std::set<std::string> keys;
        {
            Statement rows(conn, "SELECT \"开票日期发票号\" FROM \"InvPrintData\"");
            while (sqlite3_step(rows.get()) == SQLITE_ROW)
                keys.insert(reinterpret_cast<const char*>(sqlite3_column_text(rows.get(), 0)));
        }
        if (keys.empty())
            ++seenEmpty;
        else if (keys == expected.a)
            ++seenA;
        else if (keys == expected.b)
            ++seenB;
        else
            ADD_FAILURE() << "kill " << k << " after " << lifetime << " ms left " << keys.size() << " rows, a mix";
    }
    std::filesystem::remove_all(dir);
    std::printf("kills: %d within %d ms, earlier/new answer A %d, B %d, none yet %d\n", kills, span, seenA, seenB,
                seenEmpty);
    EXPECT_GT(seenA + seenB, 0) << "no upload ever completed; the kills tell nothing";
}

}  // namespace
}  // namespace karvex::testing
