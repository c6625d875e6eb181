// A fleet of registers against one central PostgreSQL server behind PgBouncer (transaction pooling), all on
// loopback and all started by the benchmark. Each register is the service's background sync (SyncWorker)
// on a store of its own. Time is scaled: the workers' period, back-off cap and heartbeat are 1/SCALE of the
// service's defaults (5 s, 5 min, 15 min), so a few real seconds stand for minutes of a fleet's life.
//
//   idle:   every outbox empty; the server's CPU time over the phase, per register and per (scaled) hour,
//           the connections the server held, and the connections the registers made.
//   outage: the server is stopped while every register stores a sale, then started again; how long until
//           every outbox is empty, and the most server connections at any moment of the catch-up.
//
//   fleet_bench [--registers 1000] [--idle-seconds 10] [--outage-seconds 3] [--scale 100]
// Every phase is bounded in time and stops by itself; the CI setting is --registers 20 --idle-seconds 2.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "pg_bouncer.h"
#include "pg_server.h"
#include "sync/fleet_sync.h"
#include "sync/sync_worker.h"
#include "sync_support.h"

using namespace karvex;
using Clock = std::chrono::steady_clock;
using ms = std::chrono::milliseconds;

namespace {

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// CPU seconds of one process: its own, and with `children` those of its children it has reaped.
double CpuOf(pid_t pid, bool children) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::vector<std::string> f;
    for (std::string w; fields >> w;) f.push_back(w);
    // After the name: state(0) ppid(1) ... utime(11) stime(12) cutime(13) cstime(14).
    if (f.size() < 15) return 0;
    const double tick = static_cast<double>(::sysconf(_SC_CLK_TCK));
    double t = std::atof(f[11].c_str()) + std::atof(f[12].c_str());
    if (children) t += std::atof(f[13].c_str()) + std::atof(f[14].c_str());
    return t / tick;
}

pid_t ParentOf(const std::string& pid) {
    std::ifstream in("/proc/" + pid + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string state;
    long ppid = 0;
    fields >> state >> ppid;
    return static_cast<pid_t>(ppid);
}

// The whole server's CPU time: the postmaster, its living backends, and those that ended.
double ServerCpu(pid_t postmaster) {
    double total = CpuOf(postmaster, true);
    for (const auto& e : std::filesystem::directory_iterator("/proc")) {
        const std::string name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        if (ParentOf(name) == postmaster) total += CpuOf(static_cast<pid_t>(std::atol(name.c_str())), false);
    }
    return total;
}

int ServerConnections(PGconn* c) {
    PGresult* r = PQexec(c, "SELECT count(*) FROM pg_stat_activity WHERE backend_type = 'client backend'");
    const int n = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1 ? std::atoi(PQgetvalue(r, 0, 0)) : -1;
    PQclear(r);
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    int registers = 1000;
    double idleSeconds = 10, outageSeconds = 3;
    int scale = 100;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--registers") == 0) registers = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--idle-seconds") == 0) idleSeconds = std::atof(argv[i + 1]);
        if (std::strcmp(argv[i], "--outage-seconds") == 0) outageSeconds = std::atof(argv[i + 1]);
        if (std::strcmp(argv[i], "--scale") == 0) scale = std::atoi(argv[i + 1]);
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each phase's line as it ends, also into a file
    registers = std::clamp(registers, 1, 2000);
    idleSeconds = std::clamp(idleSeconds, 0.5, 120.0);
    outageSeconds = std::clamp(outageSeconds, 0.5, 60.0);
    scale = std::clamp(scale, 1, 1000);
    // A store holds a few descriptors; a thousand of them need more than the usual 1024.
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);

    karvex::testing::PgServer server;
    if (!server.Start()) return 1;
    sync::SyncSettings settings;
    settings.address = server.Url();
    settings.passwordFile = server.PassFile();
    std::string message;
    if (sync::InitCentral(settings, message) != 0) {
        std::fprintf(stderr, "init: %s\n", message.c_str());
        return 1;
    }
    karvex::testing::PgBouncer bouncer;
    const int maxClients = 500, pool = 20;
    if (!bouncer.Start(server, {{karvex::testing::PgServer::kUser, karvex::testing::PgServer::kPassword}}, maxClients,
                       pool))
        return 1;
    server.AddPassword(karvex::testing::PgServer::kUser, karvex::testing::PgServer::kPassword, bouncer.Port());
    settings.address = bouncer.Url(karvex::testing::PgServer::kUser);
    settings.connectTimeout = ms(5000);
    settings.statementTimeout = ms(10000);

    karvex::testing::TempDir root("karvex-fleet-bench");
    std::vector<std::filesystem::path> stores;
    auto start = Clock::now();
    for (int r = 0; r < registers; ++r) {
        const std::filesystem::path dir = root.path() + "/reg" + std::to_string(r);
        std::filesystem::create_directories(dir);
        stores.push_back(karvex::testing::StoreFile(dir.string()));
        StoreConnection store;
        if (store.Open(stores.back(), BuiltInStoreKey()) != 0) {
            std::fprintf(stderr, "store: %s\n", store.LastErrorText().c_str());
            return 1;
        }
        char machine[32];
        std::snprintf(machine, sizeof machine, "11%014d", r);
        karvex::testing::FillRegister(store, machine, 1, 3);
    }
    std::printf("%d registers (stores made in %.1f s), time scaled 1:%d, PgBouncer max_client_conn %d, pool %d\n",
                registers, Seconds(start), scale, maxClients, pool);

    const sync::WorkerTiming timing{ms(5000 / scale), ms(300000 / scale), ms(900000 / scale)};
    std::vector<std::unique_ptr<sync::SyncWorker>> workers;
    for (const auto& file : stores) {
        workers.push_back(std::make_unique<sync::SyncWorker>(file, settings, timing));
        workers.back()->Start();
    }
    PGconn* watch = nullptr;
    // Counted centrally: a worker's own view of its outbox is as old as its last attempt.
    auto centralCount = [&](const char* sql) {
        PGresult* r = PQexec(watch, sql);
        const long n = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1 ? std::atol(PQgetvalue(r, 0, 0)) : -1;
        PQclear(r);
        return n;
    };
    auto waitFor = [&](const char* sql, long wanted, double limit, int* connectionsMax) {
        const auto began = Clock::now();
        while (centralCount(sql) != wanted && Seconds(began) < limit) {
            if (connectionsMax) *connectionsMax = std::max(*connectionsMax, ServerConnections(watch) - 1);
            std::this_thread::sleep_for(ms(20));
        }
        return centralCount(sql) == wanted ? Seconds(began) : -1.0;
    };
    watch = server.Connect();
    const double firstRound = waitFor("SELECT count(*) FROM karvex.\"InvPrintData\"", 3L * registers, 120, nullptr);
    std::printf("first sync of every register: %.1f s%s\n", firstRound, firstRound < 0 ? " (not finished)" : "");

    // ---- idle
    auto attempts = [&] {
        long long n = 0;
        for (const auto& w : workers) n += w->Snapshot().attempts;
        return n;
    };
    const long long attemptsBefore = attempts();
    const double cpuBefore = ServerCpu(server.ServerPid());
    int heldMax = 0;
    start = Clock::now();
    while (Seconds(start) < idleSeconds) {
        heldMax = std::max(heldMax, ServerConnections(watch) - 1);
        std::this_thread::sleep_for(ms(100));
    }
    const double idleReal = Seconds(start);
    const double cpu = ServerCpu(server.ServerPid()) - cpuBefore;
    const double simulatedHours = idleReal * scale / 3600.0;
    const long long idleAttempts = attempts() - attemptsBefore;
    std::printf(
        "idle %.1f s (%.2f h of the fleet's time): server CPU %.3f s, %.4f s per register per hour;\n"
        "  connections made %lld (%.1f per register per hour; heartbeat every %lld s of fleet time), server\n"
        "  connections held at most %d (besides this benchmark's own)\n",
        idleReal, simulatedHours, cpu, cpu / registers / simulatedHours, idleAttempts,
        static_cast<double>(idleAttempts) / registers / simulatedHours,
        static_cast<long long>(timing.heartbeat.count() * scale / 1000), heldMax);

    // ---- outage
    PQfinish(watch);
    if (!server.Stop()) return 1;
    const auto outageBegan = Clock::now();
    for (const auto& file : stores) {
        StoreConnection store;
        if (store.Open(file, BuiltInStoreKey()) != 0) return 1;
        // A thousand workers on two cores may keep one from ending its short write for more than the
        // store's usual second; one register's sale waits for one worker only.
        sqlite3_busy_timeout(store.Handle(), 60000);
        Statement st(store, "SELECT \"机器编号\" FROM \"MachineData\" LIMIT 1");
        sqlite3_step(st.get());
        const std::string machine = reinterpret_cast<const char*>(sqlite3_column_text(st.get(), 0));
        karvex::testing::FillRegister(store, machine, 100, 1);
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(outageSeconds));
    if (!server.Up()) return 1;
    // Storing a sale on every register takes its time beside a thousand busy workers: the real outage.
    const double outage = Seconds(outageBegan);
    watch = server.Connect();
    int stormMax = 0;
    const double drain = waitFor("SELECT count(*) FROM karvex.\"InvPrintData\" WHERE \"发票号\" = '0000000100'",
                                 registers, 300, &stormMax);
    std::printf(
        "outage of %.1f s (%.0f s of fleet time) with a sale stored on every register: drained %.2f s after the\n"
        "  server came back (%.0f s of fleet time), at most %d server connections meanwhile (pool %d)\n",
        outage, outage * scale, drain, drain * scale, stormMax, pool);
    for (auto& w : workers) w->RequestStop();
    for (auto& w : workers) w->Stop();
    PQfinish(watch);
    return drain < 0 || firstRound < 0 ? 1 : 0;
}
