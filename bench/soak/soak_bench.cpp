// Soak: host calls in one process against an in-process virtual processor that commits seeded random line
// faults ("WT" waits, noise, bad CRC, slow bytes, gaps, "NP", "ER", silence, cut and short frames). Every
// 500 calls it samples the process's resident memory (VmRSS), open descriptors (/proc/self/fd) and
// threads, prints the series, and exits 1 when any of them grows after warm-up.
//
// Warm-up: the first 2,000 calls, and, when the control keeps a command-log viewer list, at least until that
// list has filled to its cap (the last 10,001 lines: it grows for the first few thousand calls by design). The sample
// at the end of warm-up is the baseline. Tolerance: descriptors and threads must not exceed the baseline at all;
// resident memory may exceed it by 4 MiB (the allocator's arenas and the store's page cache settle in steps) and must
// not end higher than that either, so a slow leak of a few hundred bytes per call (over 3 MiB across the run) still
// shows.
//
//   soak_bench [--calls N] [--fault-rate R] [--seed S] [--tick-ms T]
// Defaults: 10,000 calls, 5 % of requests faulted, seed 7, a link tick of 2 ms (a lost answer costs about
// 60 ms instead of half a minute).
#include <QApplication>

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "control/control_module.h"
#include "convert/conversions.h"
#include "karvex/fiscal.h"
#include "simulator.h"
#include "support/unlimited_processor.h"

namespace {

constexpr long kRssToleranceKb = 4 * 1024;
constexpr int kSampleEvery = 500;
constexpr int kMinWarmUpCalls = 2000;

struct Sample {
    int calls = 0;
    long rss_kb = 0;
    int fds = 0;
    int threads = 0;
    std::size_t viewer_lines = 0;
    bool viewer_open = false;
};

long StatusField(const char* name) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::size_t n = std::strlen(name);
    while (std::getline(in, line)) {
        if (line.compare(0, n, name) == 0 && line.size() > n && line[n] == ':') return std::atol(line.c_str() + n + 1);
    }
    return -1;
}

int OpenDescriptors() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (dirent* e = readdir(dir)) {
            if (e->d_name[0] != '.') ++count;
        }
        closedir(dir);
    }
    return count - 1;  // the directory stream itself
}

}  // namespace

int main(int argc, char** argv) {
    int calls = 10000;
    double rate = 0.05;
    unsigned long long seed = 7;
    int tick_ms = 2;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        if (opt == "--calls")
            calls = std::atoi(argv[i + 1]);
        else if (opt == "--fault-rate")
            rate = std::atof(argv[i + 1]);
        else if (opt == "--seed")
            seed = std::strtoull(argv[i + 1], nullptr, 10);
        else if (opt == "--tick-ms")
            tick_ms = std::atoi(argv[i + 1]);
        else {
            std::fprintf(stderr, "usage: soak_bench [--calls N] [--fault-rate R] [--seed S] [--tick-ms T]\n");
            return 2;
        }
    }
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);

    char tmpl[] = "/tmp/karvex-soak-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    karvex::Settings settings;
    settings.dataDirectory = dir;
    karvex::sim::SimOptions options;
    options.quiet = true;
    options.clock = karvex::sim::DateTime{2024, 3, 15, 10, 30, 0};
    auto sim = std::make_unique<karvex::sim::Simulator>(options);
    std::string error;
    if (!sim->start(&error)) {
        std::fprintf(stderr, "soak: no virtual processor: %s\n", error.c_str());
        return 2;
    }
    settings.devices[1] = sim->device_path();
    karvex::bench::UnlimitProcessor(*sim);

    auto fiscal = std::make_unique<karvex::Fiscal>(settings);
    ModuleOf(*fiscal).SetTickInterval(std::chrono::milliseconds(tick_ms));
    if (fiscal->LoadFiscalForm() != 0) {
        std::fprintf(stderr, "soak: no link: %s\n", fiscal->Description().toStdString().c_str());
        return 2;
    }
    sim->set_random_faults(rate, seed);

    karvex::Sale sale;
    sale.payer = "某某商贸有限公司";
    sale.goods.push_back({"商品1", 150, 200, 300, 1});  // 1.5 at 2.00 = 3.00

    std::vector<Sample> series;
    std::map<int, int> results;
    QString current = "1";
    const auto started = std::chrono::steady_clock::now();
    std::printf("%8s %10s %6s %8s %8s\n", "calls", "rss_kb", "fds", "threads", "viewer");
    for (int i = 1; i <= calls; ++i) {
        int rc = 0;
        switch (i % 4) {
        case 0: rc = fiscal->FiscalMakeInv(QString(), sale); break;
        case 1: {
            QString number;
            rc = fiscal->FiscalGetInvNum(number);
            if (rc == 0) current = number;
            break;
        }
        case 2: {
            QString inv = current, o, m, su, pu, tn, tc, pd, sn, sa, sp, ss;
            std::int32_t type = 0;
            rc = fiscal->GetPrintInv(177, inv, o, m, su, pu, tn, tc, pd, sn, sa, sp, ss, type);
            break;
        }
        default: {
            QString bd, ed, bn, en, code, tn, un, mn;
            std::int32_t voided = 0, normal = 0, returned = 0;
            double normal_sum = 0, return_sum = 0;
            rc = fiscal->GetInvUseSum(current, bd, ed, bn, en, voided, normal, normal_sum, returned, return_sum, code,
                                      tn, un, mn);
            break;
        }
        }
        ++results[rc];
        if (i % kSampleEvery == 0) {
            karvex::bench::UnlimitProcessor(*sim);
            Sample s;
            s.calls = i;
            s.rss_kb = StatusField("VmRSS");
            s.fds = OpenDescriptors();
            s.threads = static_cast<int>(StatusField("Threads"));
            // Asking for the viewer would make one: a headless control has none and keeps no lines.
            auto& log = ModuleOf(*fiscal).Log();
            s.viewer_lines = log.HasViewer() ? log.Viewer().Lines().size() : 0;
            s.viewer_open = log.HasViewer();
            series.push_back(s);
            std::printf("%8d %10ld %6d %8d %8zu\n", s.calls, s.rss_kb, s.fds, s.threads, s.viewer_lines);
            std::fflush(stdout);
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    fiscal->UnloadFicalForm(0);
    fiscal.reset();
    sim->stop();
    std::filesystem::remove_all(dir);

    std::printf("%d calls in %.1f s; results:", calls, seconds);
    for (const auto& [code, n] : results) std::printf(" %d:%d", code, n);
    std::printf("\n");

    // The end of warm-up: enough calls, and the viewer's list at its cap.
    std::size_t base = series.size();
    for (std::size_t k = 0; k < series.size(); ++k) {
        if (series[k].calls >= kMinWarmUpCalls &&
            (!series[k].viewer_open || series[k].viewer_lines >= karvex::LogViewerList::kMaxEntries)) {
            base = k;
            break;
        }
    }
    if (base + 1 >= series.size()) {
        std::printf("soak: too few calls to get past warm-up\n");
        return 1;
    }
    const Sample& b = series[base];
    bool grew = false;
    for (std::size_t k = base + 1; k < series.size(); ++k) {
        const Sample& s = series[k];
        if (s.rss_kb > b.rss_kb + kRssToleranceKb || s.fds > b.fds || s.threads > b.threads) {
            std::printf("soak: growth at %d calls: rss %+ld kB, fds %+d, threads %+d over the baseline at %d calls\n",
                        s.calls, s.rss_kb - b.rss_kb, s.fds - b.fds, s.threads - b.threads, b.calls);
            grew = true;
        }
    }
    std::printf("soak: baseline at %d calls (rss %ld kB, %d fds, %d threads); %s\n", b.calls, b.rss_kb, b.fds,
                b.threads, grew ? "GROWTH after warm-up" : "flat after warm-up");
    return grew ? 1 : 0;
}
