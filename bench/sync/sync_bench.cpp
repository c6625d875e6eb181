// The central sync's speed: a first sync of N print-data rows (1,000,000, or --rows N) written straight into
// a fresh store, next to a plain COPY of the same rows read from the same store in the same run (the
// fastest a server takes rows; the first sync should reach at least half its speed), then the steady state: invoices
// stored one transaction each, as a register does, and sent by the next sync. Prints rows per second of both next to
// what registers produce (a few hundred invoices a day each), as the number of such registers one central server keeps
// up with. The PostgreSQL server is started for the run in a temporary directory (as in the tests). Last, how long
// karvexd takes to stop while its sync waits on a centre that stalls.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "pg_server.h"
#include "store/outbox.h"
#include "store/schema.h"
#include "sync/fleet_sync.h"
#include "sync_support.h"

extern char** environ;

using namespace karvex;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// How long karvexd takes to stop on SIGTERM while its sync waits on a centre that stalls after the login,
// or never answers the login (the tests' fake server); the goal is 2 s whatever the centre does.
bool StopsOfTheService() {
    for (const char* mode : {"stall", "stall-startup"}) {
        karvex::testing::TempDir dir("karvex-sync-bench-stop");
        {
            StoreConnection store;
            if (store.Open(karvex::testing::StoreFile(dir), BuiltInStoreKey()) != 0) return false;
            karvex::testing::FillRegister(store, "1100000000000001", 1, 5);
        }
        const std::string portFile = dir.path() + "/fake-port";
        const pid_t fake = ::fork();
        if (fake == 0) {
            ::execlp("python3", "python3", KARVEX_FAKE_PG, portFile.c_str(), mode, static_cast<char*>(nullptr));
            ::_exit(127);
        }
        const auto waitFor = [](const std::string& file) {
            for (int i = 0; i < 30000 && !std::filesystem::exists(file); ++i) ::usleep(2000);
            return std::filesystem::exists(file);
        };
        int port = 0;
        if (waitFor(portFile)) std::ifstream(portFile) >> port;
        const std::string url = "postgresql://karvex@127.0.0.1:" + std::to_string(port) + "/central";
        const pid_t service = karvex::testing::StartQuietKarvexd(KARVEXD_PATH, dir.path(), url);
        const bool connected = port > 0 && waitFor(portFile + ".connections");
        const auto start = Clock::now();
        ::kill(service, SIGTERM);
        int status = 0;
        ::waitpid(service, &status, 0);
        const double took = Seconds(start);
        ::kill(fake, SIGKILL);
        ::waitpid(fake, nullptr, 0);
        if (!connected || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "karvexd with a centre that %s: no connection or no clean exit (status %d)\n", mode,
                         status);
            return false;
        }
        std::printf("karvexd stopped in %.0f ms on SIGTERM, its sync waiting on a centre that %s (goal: 2000 ms)\n",
                    took * 1000, std::string(mode) == "stall" ? "stalls after the login" : "never answers the login");
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    long rows = 1000000;
    long steady = 2000;
    int batch = 2000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--rows") == 0) rows = std::atol(argv[i + 1]);
        if (std::strcmp(argv[i], "--steady") == 0) steady = std::atol(argv[i + 1]);
        if (std::strcmp(argv[i], "--batch-rows") == 0) batch = std::atoi(argv[i + 1]);
    }
    karvex::testing::PgServer server;
    if (!server.Start()) return 1;
    sync::SyncSettings settings;
    settings.address = server.Url();
    settings.passwordFile = server.PassFile();
    settings.batchRows = batch;
    std::string message;
    if (sync::InitCentral(settings, message) != 0) {
        std::fprintf(stderr, "init: %s\n", message.c_str());
        return 1;
    }
    karvex::testing::TempDir dir("karvex-sync-bench");
    StoreConnection store;
    if (store.Open(karvex::testing::StoreFile(dir), BuiltInStoreKey()) != 0) {
        std::fprintf(stderr, "store: %s\n", store.LastErrorText().c_str());
        return 1;
    }
    auto start = Clock::now();
    karvex::testing::FillRegister(store, "1100000000000001", 1, static_cast<int>(rows));
    std::printf("filled %ld print-data rows (and their outbox copies) in %.1f s\n", rows, Seconds(start));

    sync::FleetSync fleet(store);
    std::int64_t sent = 0;
    start = Clock::now();
    std::int32_t rc = fleet.Push(settings, &sent);
    const double first = Seconds(start);
    if (rc != 0) {
        std::fprintf(stderr, "sync: %d %s\n", rc, fleet.LastErrorText().c_str());
        return 1;
    }
    std::printf("first sync: %lld rows in %.1f s, %.0f rows/s (batches of %d)\n", static_cast<long long>(sent), first,
                static_cast<double>(sent) / first, batch);

    // The same rows by plain COPY into a table of the same form: read from the store, written as COPY text.
    {
        PGconn* c = server.Connect();
        PQclear(PQexec(c, "CREATE TABLE plain_copy (LIKE karvex.\"InvPrintData\" INCLUDING DEFAULTS)"));
        std::vector<std::string> cols;
        StoreColumns(store, "InvPrintData", cols);
        std::string names = "machine_no";
        std::string select;
        for (const std::string& col : cols) {
            names += ", " + QuoteIdentifier(col);
            select += (select.empty() ? "" : ", ") + QuoteIdentifier(col);
        }
        start = Clock::now();
        PGresult* r = PQexec(c, ("COPY plain_copy (" + names + ") FROM STDIN").c_str());
        const bool copying = PQresultStatus(r) == PGRES_COPY_IN;
        PQclear(r);
        Statement st(store, "SELECT " + select + " FROM \"InvPrintData\"");
        std::string chunk;
        long copied = 0;
        while (copying && sqlite3_step(st.get()) == SQLITE_ROW) {
            chunk += "1100000000000001";
            for (int i = 0; i < static_cast<int>(cols.size()); ++i) {
                const unsigned char* v = sqlite3_column_text(st.get(), i);
                chunk += '\t';
                if (v == nullptr) {
                    chunk += "\\N";
                } else {
                    for (const char* p = reinterpret_cast<const char*>(v); *p; ++p) {
                        if (*p == '\\' || *p == '\t' || *p == '\n' || *p == '\r') chunk += '\\';
                        chunk += *p;
                    }
                }
            }
            chunk += '\n';
            ++copied;
            if (chunk.size() > (1 << 20)) {
                PQputCopyData(c, chunk.data(), static_cast<int>(chunk.size()));
                chunk.clear();
            }
        }
        if (!chunk.empty()) PQputCopyData(c, chunk.data(), static_cast<int>(chunk.size()));
        PQputCopyEnd(c, nullptr);
        r = PQgetResult(c);
        const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
        if (!ok) std::fprintf(stderr, "plain COPY: %s\n", PQresultErrorMessage(r));
        PQclear(r);
        while ((r = PQgetResult(c)) != nullptr) PQclear(r);
        const double plain = Seconds(start);
        std::printf(
            "plain COPY of the same %ld rows: %.1f s, %.0f rows/s; the first sync ran at %.0f %% of its speed\n",
            copied, plain, static_cast<double>(copied) / plain, 100.0 * plain / first);
        PQfinish(c);
        if (!ok) return 1;
    }

    // Steady state: one invoice per transaction, the way answers are stored, then one sync.
    for (long n = 0; n < steady; ++n)
        karvex::testing::FillRegister(store, "1100000000000001", static_cast<int>(rows + 1 + n), 1);
    start = Clock::now();
    rc = fleet.Push(settings, &sent);
    const double later = Seconds(start);
    if (rc != 0) {
        std::fprintf(stderr, "sync: %d %s\n", rc, fleet.LastErrorText().c_str());
        return 1;
    }
    const double perSecond = static_cast<double>(sent) / later;
    std::printf("steady state: %lld rows in %.2f s, %.0f rows/s\n", static_cast<long long>(sent), later, perSecond);
    // A register issues a few hundred invoices a day; each brings its print-data row and its journal row,
    // and a handful of day-trade and roll rows.
    const double perRegisterDay = 300 * 2 + 10;
    std::printf(
        "a register at 300 invoices a day sends about %.0f rows a day; one central server at this rate\n"
        "takes the day of %.0f such registers in one hour of syncing\n",
        perRegisterDay, perSecond * 3600 / perRegisterDay);
    if (!StopsOfTheService()) return 1;
    return 0;
}
