// Uploads print data by date, alternating two ranges, until it is killed. Prints "ready" once the control
// is loaded and "done A|B <result>" after each upload.
#include <QApplication>

#include <cstdio>
#include <cstdlib>

#include "commands/issuers.h"
#include "control/control_module.h"
#include "crash_shared.h"
#include "karvex/fiscal.h"
#include "link/result_codes.h"

using namespace karvex;

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    sim::SimOptions options;
    options.quiet = true;
    options.clock = crash::Clock();
    options.seed = crash::Seed();
    sim::Simulator sim(options);
    std::string error;
    if (!sim.start(&error)) {
        std::fprintf(stderr, "simulator: %s\n", error.c_str());
        return 2;
    }
    // The data directory is the one the test gives this process; port 1 is the processor started here.
    Settings settings = Settings::FromEnvironment();
    settings.devices[1] = sim.device_path();
    Fiscal fiscal(settings);
    if (int r = fiscal.LoadFiscalForm(); r != 0) {
        std::fprintf(stderr, "load: %d\n", r);
        return 3;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    auto date = [](std::uint32_t d) {
        std::string t = std::to_string(d);
        return DateInput{t.substr(0, 4), t.substr(4, 2), t.substr(6, 2)};
    };
    ControlModule& m = ModuleOf(fiscal);
    for (int run = 0;; ++run) {
        const bool a = run % 2 == 0;
        RangeInput range{"", "", date(a ? crash::kFrom : crash::kSplit + 1), date(a ? crash::kSplit : crash::kTo)};
        m.SetCommandResult(result::kCommandUnderWay);
        IssueResult sent = IssuePrintData(m.MakeIssueContext(), false, range);
        const int r = sent.sent ? m.WaitForCommand() : sent.code;
        std::printf("done %s %d\n", a ? "A" : "B", r);
        std::fflush(stdout);
    }
}
