// Invoices per second through the whole control (checks, frame, pseudo-terminal, answer intake, completion)
// against a virtual processor that answers at once, with the time the same exchange needs on a real line
// beside it: (request bytes + answer bytes) x 10 bits / baud. The same issue again against a processor that
// answers at 9600 and 38400 baud shows what the host adds to a real line's exchange.
#include <benchmark/benchmark.h>

#include <QApplication>

#include <cstdlib>
#include <filesystem>
#include <limits>
#include <memory>
#include <sstream>
#include <string>

#include "control/control_module.h"
#include "control/host_calls.h"
#include "convert/conversions.h"
#include "karvex/fiscal.h"
#include "simulator.h"
#include "support/unlimited_processor.h"

namespace {

std::string Slice(const std::string& utf8, std::size_t width) {
    const std::size_t used = karvex::GbkByteLength(utf8);
    return utf8 + std::string(used < width ? width - used : 0, ' ');
}

// Bytes of the hexadecimal cells of one logged line ("<< 1B 10 ..." / ">> 4F 4B ...").
std::size_t LoggedBytes(const std::string& line) {
    std::istringstream in(line.substr(3));
    std::string cell;
    std::size_t n = 0;
    while (in >> cell && cell != ";") ++n;
    return n;
}

struct Invoice {
    QString payer = QString::fromUtf8("某某商贸有限公司");
    QString names, quantities, prices, sums, taxes;
    explicit Invoice(int goods) {
        for (int i = 0; i < goods; ++i) {
            names += QString::fromStdString(Slice("商品" + std::to_string(i + 1), 20));
            quantities += QString::fromStdString(Slice("1.5", 11));
            prices += QString::fromStdString(Slice("2", 11));
            sums += QString::fromStdString(Slice("3.00", 11));
            taxes += "1";
        }
    }
};

// A control on a fresh virtual processor whose rolls and limits never run out during a run.
class Rig {
public:
    explicit Rig(int paceBaud = 0) {
        char tmpl[] = "/tmp/karvex-bench-XXXXXX";
        dir_ = mkdtemp(tmpl);
        ::setenv("KARVEX_DATA_DIR", dir_.c_str(), 1);
        karvex::sim::SimOptions options;
        options.quiet = true;
        options.clock = karvex::sim::DateTime{2024, 3, 15, 10, 30, 0};
        options.pace_baud = paceBaud;
        sim_ = std::make_unique<karvex::sim::Simulator>(options);
        std::string error;
        if (!sim_->start(&error)) throw std::runtime_error(error);
        ::setenv("KARVEX_COM1", sim_->device_path().c_str(), 1);
        Unlimit();
        fiscal_ = std::make_unique<karvex::Fiscal>();
        if (fiscal_->LoadFiscalForm() != 0) {
            throw std::runtime_error("no link to the virtual processor: " + fiscal_->Description().toStdString());
        }
    }
    ~Rig() {
        fiscal_->UnloadFicalForm(0);
        fiscal_.reset();
        sim_->stop();
        ::unsetenv("KARVEX_COM1");
        std::filesystem::remove_all(dir_);
    }

    // Forgets the issued invoices (the processor sums them on every issue) and refills the rolls.
    void Unlimit() { karvex::bench::UnlimitProcessor(*sim_); }

    int Make(const Invoice& v) {
        return fiscal_->FiscalMakeInv(52, 0, 0, "", v.payer, static_cast<int>(v.taxes.size()),
                                      v.names, v.quantities, v.prices, v.sums, v.taxes);
    }

    // Request and answer bytes of the last exchange, from the processor's traffic log.
    std::pair<std::size_t, std::size_t> LastExchangeBytes() const {
        const auto lines = sim_->log_lines();
        std::size_t request = 0, answer = 0;
        for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
            if (it->rfind(">> ", 0) == 0 && request == 0) answer += LoggedBytes(*it);
            if (it->rfind("<< ", 0) == 0) {
                request = LoggedBytes(*it);
                break;
            }
        }
        return {request, answer};
    }

private:
    std::string dir_;
    std::unique_ptr<karvex::sim::Simulator> sim_;
    std::unique_ptr<karvex::Fiscal> fiscal_;
};

// Arguments: goods lines, the processor's answer speed (0: at once).
void BM_IssueInvoice(benchmark::State& state) {
    Rig rig(static_cast<int>(state.range(1)));
    const Invoice invoice(static_cast<int>(state.range(0)));
    std::int64_t issued = 0;
    for (auto _ : state) {
        if (rig.Make(invoice) != 0) {
            state.SkipWithError("the processor refused the invoice");
            break;
        }
        if (++issued % 2000 == 0) {
            state.PauseTiming();
            rig.Unlimit();
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(issued);
    const auto [request, answer] = rig.LastExchangeBytes();
    const double bits = static_cast<double>(request + answer) * 10.0;
    state.counters["request_bytes"] = static_cast<double>(request);
    state.counters["answer_bytes"] = static_cast<double>(answer);
    state.counters["wire_ms_9600"] = bits / 9600.0 * 1000.0;
    state.counters["wire_ms_38400"] = bits / 38400.0 * 1000.0;
    state.counters["line_inv_per_s_9600"] = 9600.0 / bits;
    state.counters["line_inv_per_s_38400"] = 38400.0 / bits;
}
BENCHMARK(BM_IssueInvoice)
    ->ArgNames({"goods", "pace"})
    ->ArgsProduct({{1, 6}, {0, 9600, 38400}})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

// The argument checks and the record filling alone, without the line.
void BM_PrepareMakeInv(benchmark::State& state) {
    karvex::MakeInvArgs args;
    const Invoice invoice(static_cast<int>(state.range(0)));
    args.SalesNum = static_cast<int>(state.range(0));
    args.PayUnit = invoice.payer.toStdString();
    args.SalesName = invoice.names.toStdString();
    args.SalesAmount = invoice.quantities.toStdString();
    args.SalesPrice = invoice.prices.toStdString();
    args.SalesSum = invoice.sums.toStdString();
    args.TaxIndex = invoice.taxes.toStdString();
    karvex::InvoiceRequest request;
    for (auto _ : state) {
        auto check = karvex::PrepareFiscalMakeInv(args, request);
        benchmark::DoNotOptimize(check);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PrepareMakeInv)->Arg(1)->Arg(6);

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
