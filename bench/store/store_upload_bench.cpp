// Uploads print data of N invoices (one frame each) from the virtual processor over a pseudo-terminal,
// without pacing, into a fresh store, for N = 1,000, 10,000 and 100,000 (or the sizes given as arguments).
// Reports frames decoded and stored per second, the peak resident size after each size and its growth.
// The virtual processor runs as a separate karvex-sim process, so the memory figures are the library's own
// (the processor keeps every seeded invoice and builds its whole answer before writing it).
#include <QApplication>

#include <sqlcipher/sqlite3.h>

#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "commands/issuers.h"
#include "control/control_module.h"
#include "karvex/fiscal.h"
#include "link/result_codes.h"
#include "store/record_set.h"
#include "store/store_service.h"

using namespace karvex;

namespace {

long PeakKb() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

struct Run {
    int frames = 0;
    int result = 0;
    std::int64_t stored = 0;
    double seconds = 0;
};

Run Upload(int invoices) {
    char tmpl[] = "/tmp/karvex-bench-XXXXXX";
    const std::string dir = ::mkdtemp(tmpl);
    Settings settings;
    settings.dataDirectory = dir;
    Run run;
    const std::string deviceFile = dir + "/device";
    const std::string count = std::to_string(invoices);
    std::vector<std::string> args = {KARVEX_SIM_PATH, "--quiet",        "--rolls",       "2",       "--invoices",
                                     count,           "--from",         "20240101",      "--to",    "20241231",
                                     "--clock",       "20241231100000", "--device-file", deviceFile};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t child = 0;
    if (::posix_spawn(&child, KARVEX_SIM_PATH, nullptr, nullptr, argv.data(), environ) != 0) {
        std::fprintf(stderr, "cannot start %s\n", KARVEX_SIM_PATH);
        run.result = -1;
        return run;
    }
    std::string device;
    for (int i = 0; i < 600 && device.empty(); ++i) {  // seeding 100,000 invoices takes a moment
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::ifstream in(deviceFile);
        std::getline(in, device);
    }
    if (device.empty()) {
        ::kill(child, SIGTERM);
        ::waitpid(child, nullptr, 0);
        run.result = -1;
        return run;
    }
    settings.devices[1] = device;
    {
        Fiscal fiscal(settings);
        ControlModule& m = ModuleOf(fiscal);
        m.SetTickInterval(std::chrono::milliseconds(1000));
        RangeInput range{"", "", {"2024", "01", "01"}, {"2024", "12", "31"}};
        if (int r = fiscal.LoadFiscalForm(); r != 0) {
            run.result = r;
        } else {
            const auto t0 = std::chrono::steady_clock::now();
            m.SetCommandResult(result::kCommandUnderWay);
            IssueResult sent = IssuePrintData(m.MakeIssueContext(), false, range);
            run.result = sent.sent ? m.WaitForCommand() : sent.code;
            run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            if (auto conn = m.Store().Connection()) {
                Statement count(*conn, "SELECT count(*) FROM \"InvPrintData\"");
                if (sqlite3_step(count.get()) == SQLITE_ROW) run.stored = sqlite3_column_int64(count.get(), 0);
            }
            run.frames = static_cast<int>(run.stored);
        }
        fiscal.UnloadFicalForm(0);
    }
    ::kill(child, SIGTERM);
    ::waitpid(child, nullptr, 0);
    std::filesystem::remove_all(dir);
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
    if (sizes.empty()) sizes = {1000, 10000, 100000};
    std::printf("%10s %10s %10s %12s %14s %12s %12s\n", "frames", "stored", "result", "seconds", "frames/s", "peak kB",
                "growth kB");
    long before = PeakKb();
    for (int n : sizes) {
        Run r = Upload(n);
        const long peak = PeakKb();
        std::printf("%10d %10lld %10d %12.3f %14.0f %12ld %12ld\n", r.frames, static_cast<long long>(r.stored),
                    r.result, r.seconds, r.seconds > 0 ? r.frames / r.seconds : 0.0, peak, peak - before);
        std::fflush(stdout);
        before = peak;
    }
    return 0;
}
