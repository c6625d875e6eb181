// The round trip of a host call over a pseudo-terminal against an instantly answering virtual processor,
// and what the waiting call costs in processor time while an answer is late.
#include <benchmark/benchmark.h>

#include <QApplication>

#include <time.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "control/control_module.h"
#include "karvex/fiscal.h"
#include "simulator.h"

namespace {

double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double WallSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Rig {
    std::string dir;
    std::unique_ptr<karvex::sim::Simulator> sim;
    std::unique_ptr<karvex::Fiscal> fiscal;

    Rig() {
        char tmpl[] = "/tmp/karvex-bench-XXXXXX";
        dir = mkdtemp(tmpl);
        karvex::Settings settings;
        settings.dataDirectory = dir;
        karvex::sim::SimOptions options;
        options.quiet = true;
        sim = std::make_unique<karvex::sim::Simulator>(options);
        sim->start();
        settings.devices[1] = sim->device_path();
        fiscal = std::make_unique<karvex::Fiscal>(settings);
        fiscal->LoadFiscalForm();
    }
    ~Rig() {
        fiscal->UnloadFicalForm(0);
        fiscal.reset();
        sim->stop();
        std::filesystem::remove_all(dir);
    }
};

// 7 request bytes (1B 10 00 00 05 + CRC) and 6 answer bytes ("OK", 0, 4, CRC), ten bits a byte.
constexpr double kOnlineWireBits = (7 + 6) * 10.0;

void BM_FiscalOnlineRoundTrip(benchmark::State& state) {
    Rig rig;
    double cpu = 0;
    double wall = 0;
    for (auto _ : state) {
        double c0 = ThreadCpuSeconds();
        double w0 = WallSeconds();
        int r = rig.fiscal->FiscalOnline();
        cpu += ThreadCpuSeconds() - c0;
        wall += WallSeconds() - w0;
        if (r != 0) state.SkipWithError("on-line failed");
    }
    state.counters["commands_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["library_cpu_share"] = wall > 0 ? cpu / wall : 0;
    state.counters["wire_ms_9600"] = kOnlineWireBits / 9600.0 * 1000.0;
    state.counters["wire_ms_38400"] = kOnlineWireBits / 38400.0 * 1000.0;
}
BENCHMARK(BM_FiscalOnlineRoundTrip)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();

// The waiting call must sleep, not spin: processor time over wall time while the answer is 2 s late.
void BM_WaitWhileAnswerIsLate(benchmark::State& state) {
    Rig rig;
    double cpu = 0;
    double wall = 0;
    for (auto _ : state) {
        rig.sim->inject({.command = 0x00, .kind = karvex::sim::FaultKind::Late, .arg = 2000});
        double c0 = ThreadCpuSeconds();
        double w0 = WallSeconds();
        int r = rig.fiscal->FiscalOnline();
        cpu += ThreadCpuSeconds() - c0;
        wall += WallSeconds() - w0;
        if (r != 0) state.SkipWithError("on-line failed");
    }
    state.counters["cpu_ms"] = cpu * 1000.0 / static_cast<double>(state.iterations());
    state.counters["cpu_share_of_wall"] = wall > 0 ? cpu / wall : 0;
}
BENCHMARK(BM_WaitWhileAnswerIsLate)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
