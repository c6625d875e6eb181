// `karvex sync --to` killed (SIGKILL) at random moments while registers keep issuing and correcting rows:
// after the last, undisturbed sync the central tables equal the local ones, row for row, and the outbox is
// empty. KARVEX_SYNC_SEED and KARVEX_SYNC_KILLS change the seed and the number of kills.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>

#include "pg_server.h"
#include "sync/fleet_sync.h"
#include "sync_support.h"

namespace karvex::testing {
namespace {

int EnvInt(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? std::atoi(v) : fallback;
}

struct SyncChild {
    pid_t pid = -1;
    int out = -1;
};

SyncChild SpawnSync(const std::string& dir, const PgServer& server, bool status = false) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    SyncChild c;
    c.pid = ::fork();
    if (c.pid == 0) {
        ::dup2(fds[1], 1);
        ::dup2(fds[1], 2);
        ::close(fds[0]);
        ::setenv("PGPASSFILE", server.PassFile().c_str(), 1);
        if (status) {
            ::execl(KARVEX_TOOL_PATH, KARVEX_TOOL_PATH, "--data-dir", dir.c_str(), "sync", "--status",
                    static_cast<char*>(nullptr));
        } else {
            // Batches of 5: each sync's outbox is long enough for its rows to be removed beside the reading,
            // and kills cut that too.
            ::execl(KARVEX_TOOL_PATH, KARVEX_TOOL_PATH, "--data-dir", dir.c_str(), "sync", "--to", server.Url().c_str(),
                    "--batch-rows", "5", static_cast<char*>(nullptr));
        }
        ::_exit(127);
    }
    ::close(fds[1]);
    c.out = fds[0];
    return c;
}

// What the child printed, until it ends; its exit status.
int WaitFor(SyncChild& c, std::string& printed) {
    char buf[512];
    ssize_t n;
    while ((n = ::read(c.out, buf, sizeof buf)) > 0) printed.append(buf, static_cast<std::size_t>(n));
    ::close(c.out);
    int status = 0;
    ::waitpid(c.pid, &status, 0);
    return status;
}

TEST(SyncKill, KilledSyncsLoseAndDoubleNothing) {
    PgServer server;
    ASSERT_TRUE(server.Start());
    sync::SyncSettings settings;
    settings.address = server.Url();
    settings.passwordFile = server.PassFile();
    std::string message;
    ASSERT_EQ(sync::InitCentral(settings, message), 0) << message;

    TempDir dir("karvex-register");
    std::mt19937 rng(static_cast<unsigned>(EnvInt("KARVEX_SYNC_SEED", 20261207)));
    const int kills = EnvInt("KARVEX_SYNC_KILLS", 20);
    int next = 1;
    int span = 0;  // ms; set by the first, undisturbed sync
    int killedMidway = 0;
    for (int k = 0; k <= kills; ++k) {
        {
            // More invoices, and corrections of earlier ones: a stale copy sent after a newer one would show.
            StoreConnection store;
            ASSERT_EQ(store.Open(StoreFile(dir), BuiltInStoreKey()), 0) << store.LastErrorText();
            FillRegister(store, "1100000000000007", next, 150);
            next += 150;
            const int corrected = std::uniform_int_distribution<int>(1, next - 1)(rng);
            char number[16];
            std::snprintf(number, sizeof number, "%010d", corrected);
            Exec(store, "UPDATE \"InvPrintData\" SET \"开票总金额\" = " + std::to_string(k) +
                            " + 0.5, \"付款单位\" = '第" + std::to_string(k) + "次更正' WHERE \"发票号\" = '" + number +
                            "'");
        }
        SyncChild c = SpawnSync(dir, server);
        ASSERT_GT(c.pid, 0);
        std::string printed;
        if (k == 0) {
            // The first sync runs to its end; how long it took, on this machine and under whatever else it is
            // doing, sets the span in which the later ones are killed, so that kills fall before, inside and
            // after a whole sync however fast the machine is.
            const auto start = std::chrono::steady_clock::now();
            const int status = WaitFor(c, printed);
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << printed;
            span = std::max(200, static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                      std::chrono::steady_clock::now() - start)
                                                      .count()));
            continue;
        }
        pollfd p{c.out, POLLIN, 0};
        const int wait = std::uniform_int_distribution<int>(0, span)(rng);
        ::poll(&p, 0, wait);
        ::kill(c.pid, SIGKILL);
        const int status = WaitFor(c, printed);
        killedMidway += WIFSIGNALED(status) ? 1 : 0;
    }
    // The outcome holds whether or not a kill came too late to cut a sync.
    RecordProperty("killed_midway", killedMidway);
    SyncChild last = SpawnSync(dir, server);
    std::string printed;
    const int status = WaitFor(last, printed);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << printed;
    PGconn* central = server.Connect();
    const TableRows local = LocalRows(dir);
    EXPECT_EQ(CentralRows(central), local);
    EXPECT_EQ(local.at("InvPrintData").size(), static_cast<std::size_t>(next - 1));
    PQfinish(central);
    SyncChild statusRun = SpawnSync(dir, server, true);
    printed.clear();
    ASSERT_EQ(WaitFor(statusRun, printed), 0) << printed;
    EXPECT_NE(printed.find("\"waiting\": 0,"), std::string::npos) << printed;
    EXPECT_NE(printed.find("\"last_code\": 0,"), std::string::npos) << printed;
}

}  // namespace
}  // namespace karvex::testing
