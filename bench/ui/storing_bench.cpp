// The console while a long answer is stored: print data of N invoices (one frame each, 20,000 unless given)
// uploaded from the virtual processor over a pseudo-terminal into a fresh store, then once more into the
// same store (every row replaced), with the console attached as an operator has it. Reports the time from the last
// frame received to the answer stored (the bar's end), the window thread's processor time over the same span
// (comparable on a busy machine, where the wall clock is not), how long the answer's transaction was open (the
// rows are written as the frames arrive), and the longest the window went without taking its input while it was
// open (a 5 ms timer's longest gap).
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "commands/issuers.h"
#include "console/console.h"
#include "control/control_module.h"
#include "karvex/fiscal.h"
#include "link/result_codes.h"
#include "link/user_interface.h"

using namespace karvex;

namespace {

// Processor time of the calling thread: unlike the wall clock it does not grow while other programs run,
// so figures taken on a busy machine can still be compared.
double ThreadSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct Run {
    int result = 0;
    int frames = 0;
    double storingSeconds = -1;
    double openSeconds = -1;  // the answer's transaction was open
    double cpuSeconds = -1;      // the window's thread's processor time from the last frame to the end
    double longestGapMs = 0;
};

// Two uploads of the same range into one store: into empty tables, then again, replacing every row.
std::array<Run, 2> Upload(int invoices) {
    char tmpl[] = "/tmp/karvex-storing-XXXXXX";
    const std::string dir = ::mkdtemp(tmpl);
    const std::string deviceFile = dir + "/device";
    std::vector<std::string> args = {
        KARVEX_SIM_PATH, "--quiet", "--rolls",  "2",       "--invoices",     std::to_string(invoices), "--from",
        "20240101",      "--to",    "20241231", "--clock", "20241231100000", "--device-file",          deviceFile};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::array<Run, 2> runs;
    pid_t child = 0;
    if (::posix_spawn(&child, KARVEX_SIM_PATH, nullptr, nullptr, argv.data(), environ) != 0) {
        for (Run& run : runs) run.result = -1;
        return runs;
    }
    std::string device;
    for (int i = 0; i < 600 && device.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::ifstream in(deviceFile);
        std::getline(in, device);
    }
    Settings settings;
    settings.dataDirectory = dir;
    settings.devices[1] = device;
    if (!device.empty()) {
        Fiscal fiscal(settings);
        ControlModule& m = ModuleOf(fiscal);
        m.SetTickInterval(std::chrono::milliseconds(1000));
        if (const int r = fiscal.LoadFiscalForm(); r != 0) {
            for (Run& run : runs) run.result = r;
        } else {
            AttachConsole(m);
            ShowConsole(m, 0, 0);
            // The completion message would wait for a click nobody gives.
            fiscal.SetUserInterface(std::make_shared<SilentUserInterface>());
            for (Run& run : runs) {
                QElapsedTimer clock;
                clock.start();
                qint64 lastFrame = -1, stored = -1, lastTick = -1, firstStoring = -1, lastStoring = -1;
                double lastFrameCpu = -1;
                m.SetProgressCallback([&](const Progress& p) {
                    if (p.done) {
                        stored = clock.elapsed();
                        run.frames = p.received;
                        if (lastFrameCpu >= 0) run.cpuSeconds = ThreadSeconds() - lastFrameCpu;
                    } else if (p.received == p.total) {
                        lastFrame = clock.elapsed();
                        lastFrameCpu = ThreadSeconds();
                    }
                });
                // Ticks only count while the answer is being stored.
                QTimer input;
                QObject::connect(&input, &QTimer::timeout, [&] {
                    const qint64 now = clock.elapsed();
                    if (m.Storing()) {
                        if (firstStoring < 0) firstStoring = now;
                        lastStoring = now;
                        if (lastTick >= 0) run.longestGapMs = std::max<double>(run.longestGapMs, now - lastTick);
                    }
                    lastTick = now;
                });
                input.start(5);
                RangeInput range{"", "", {"2024", "01", "01"}, {"2024", "12", "31"}};
                m.SetCommandResult(result::kCommandUnderWay);
                const IssueResult sent = IssuePrintData(m.MakeIssueContext(), false, range);
                run.result = sent.sent ? m.WaitForCommand() : sent.code;
                input.stop();
                if (lastFrame >= 0 && stored >= lastFrame) run.storingSeconds = (stored - lastFrame) / 1000.0;
                if (firstStoring >= 0) run.openSeconds = (lastStoring - firstStoring) / 1000.0;
            }
            DetachConsole(m);
        }
        fiscal.UnloadFicalForm(0);
    }
    ::kill(child, SIGTERM);
    ::waitpid(child, nullptr, 0);
    std::filesystem::remove_all(dir);
    return runs;
}

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
    if (sizes.empty()) sizes = {20000};
    std::printf("%10s %10s %10s %24s %22s %18s %26s\n", "frames", "tables", "result", "storing after last (s)",
                "transaction open (s)", "processor (s)", "longest input gap (ms)");
    for (int n : sizes) {
        const std::array<Run, 2> runs = Upload(n);
        for (std::size_t i = 0; i < runs.size(); ++i) {
            const Run& r = runs[i];
            std::printf("%10d %10s %10d %24.3f %22.3f %18.3f %26.1f\n", r.frames, i == 0 ? "empty" : "refilled",
                        r.result, r.storingSeconds, r.openSeconds, r.cpuSeconds, r.longestGapMs);
        }
        std::fflush(stdout);
    }
    return 0;
}
