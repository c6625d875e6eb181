// Invoices per second through the whole control (checks, frame, pseudo-terminal, answer intake, completion)
// against a virtual processor that answers at once, with the time the same exchange needs on a real line
// beside it: (request bytes + answer bytes) x 10 bits / baud. The same issue again against a processor that
// answers at 9600 and 38400 baud shows what the host adds to a real line's exchange, and the sales journal's
// part of it alone (its row committed before the send, settled after the answer) is set beside both.
#include <benchmark/benchmark.h>

#include <QApplication>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <memory>
#include <sstream>
#include <string>

#include "commands/sale_frame.h"
#include "control/control_module.h"
#include "control/host_calls.h"
#include "convert/conversions.h"
#include "journal/sale_flow.h"
#include "journal/sales_journal.h"
#include "karvex/fiscal.h"
#include "simulator.h"
#include "store/store_access.h"
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
        karvex::Settings settings;
        settings.dataDirectory = dir_;
        karvex::sim::SimOptions options;
        options.quiet = true;
        options.clock = karvex::sim::DateTime{2024, 3, 15, 10, 30, 0};
        options.pace_baud = paceBaud;
        sim_ = std::make_unique<karvex::sim::Simulator>(options);
        std::string error;
        if (!sim_->start(&error)) throw std::runtime_error(error);
        settings.devices[1] = sim_->device_path();
        Unlimit();
        fiscal_ = std::make_unique<karvex::Fiscal>(settings);
        if (fiscal_->LoadFiscalForm() != 0) {
            throw std::runtime_error("no link to the virtual processor: " + fiscal_->Description().toStdString());
        }
    }
    ~Rig() {
        fiscal_->UnloadFicalForm(0);
        fiscal_.reset();
        sim_->stop();
        std::filesystem::remove_all(dir_);
    }

    // Forgets the issued invoices (the processor sums them on every issue) and refills the rolls.
    void Unlimit() { karvex::bench::UnlimitProcessor(*sim_); }

    // An issue with a new sale id, or without one when `saleId` is empty.
    int Make(const Invoice& v, const QString& saleId = {}) {
        return fiscal_->FiscalMakeInv(saleId, 52, 0, 0, "", v.payer, static_cast<int>(v.taxes.size()), v.names,
                                      v.quantities, v.prices, v.sums, v.taxes);
    }

    // The processor's counter (its current invoice number).
    int Counter(QString& number) { return fiscal_->FiscalGetInvNum(number); }

    // The last issue request as it went out, from the processor's traffic log.
    karvex::Bytes LastIssueRequest() const {
        const auto lines = sim_->log_lines();
        for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
            if (it->rfind("<< 1B 10 34 ", 0) != 0) continue;
            karvex::Bytes frame;
            std::istringstream in(it->substr(3));
            std::string cell;
            while (in >> cell && cell != ";") frame.push_back(static_cast<std::uint8_t>(std::stoul(cell, nullptr, 16)));
            return frame;
        }
        return {};
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

// Arguments: goods lines, the processor's answer speed (0: at once), whether each issue has a sale id of its own.
void BM_IssueInvoice(benchmark::State& state) {
    Rig rig(static_cast<int>(state.range(1)));
    const Invoice invoice(static_cast<int>(state.range(0)));
    const bool withSaleId = state.range(2) != 0;
    std::int64_t issued = 0;
    for (auto _ : state) {
        if (rig.Make(invoice, withSaleId ? QString("bench-%1").arg(issued) : QString()) != 0) {
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
    ->ArgNames({"goods", "pace", "sale_id"})
    ->ArgsProduct({{1, 6}, {0, 9600, 38400}, {0, 1}})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

// The journal's own part of an issue, without the line: the check for unresolved sales and for the sale id,
// the row committed before the send and settled as answered after it, on the encrypted store on disk.
// Arguments: goods lines, whether each issue has a sale id of its own.
void BM_JournalOfAnIssue(benchmark::State& state) {
    karvex::Bytes frame;
    double wireBits = 0;
    {
        Rig rig;
        if (rig.Make(Invoice(static_cast<int>(state.range(0)))) != 0) {
            state.SkipWithError("the processor refused the invoice");
            return;
        }
        frame = rig.LastIssueRequest();
        const auto [request, answer] = rig.LastExchangeBytes();
        wireBits = static_cast<double>(request + answer) * 10.0;
    }
    char tmpl[] = "/tmp/karvex-bench-journal-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    {
        karvex::StoreAccess store(dir);
        if (store.Open() != 0) {
            state.SkipWithError("the store does not open");
            return;
        }
        karvex::SalesJournal journal(*store.Connection());
        karvex::IssueReply reply;
        const karvex::IssueReply answered{"MACHINE1", "某某商贸有限公司", "440300123456789", "12345670000000001",
                                          "202403151030"};
        karvex::SaleLine line{[&] {
                                  reply = answered;
                                  return karvex::SentRequest{true, karvex::result::kSuccess};
                              },
                              [](karvex::LastInvoice&) { return karvex::result::kSuccess; },
                              [](const std::string&) {},
                              {},
                              {},
                              {}};
        const bool withSaleId = state.range(1) != 0;
        std::int64_t n = 0;
        const auto started = std::chrono::steady_clock::now();
        for (auto _ : state) {
            const std::string saleId = withSaleId ? "bench-" + std::to_string(n) : std::string();
            if (karvex::RunSale(journal, saleId, karvex::ByteView(frame.data(), frame.size()), line, reply) != 0) {
                state.SkipWithError(("the journal refused the sale: " + journal.LastErrorText()).c_str());
                break;
            }
            ++n;
        }
        state.SetItemsProcessed(n);
        // The journal's time per issue as a share of the issue's time on the line.
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count() /
            static_cast<double>(std::max<std::int64_t>(n, 1));
        state.counters["wire_ms_9600"] = wireBits / 9600.0 * 1000.0;
        state.counters["wire_ms_38400"] = wireBits / 38400.0 * 1000.0;
        state.counters["share_of_wire_9600"] = ms / (wireBits / 9600.0 * 1000.0);
        state.counters["share_of_wire_38400"] = ms / (wireBits / 38400.0 * 1000.0);
    }
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_JournalOfAnIssue)
    ->ArgNames({"goods", "sale_id"})
    ->ArgsProduct({{1, 6}, {0, 1}})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

// What reading the processor's counter before every issue adds to it: the counter's exchange timed on its own,
// then the issue that takes the counter it just read (nothing else is sent between), against a processor that
// answers at the line's speed. The processor paces only its answers, so each side gets its request's time on
// the wire added ((bytes x 10) / baud). share_9600 / share_38400 is the read's time over the issue's: the goal
// is at most 0.15 at 9600 baud. Arguments: goods lines, the processor's answer speed.
void BM_CounterReadShare(benchmark::State& state) {
    const int baud = static_cast<int>(state.range(1));
    Rig rig(baud);
    const Invoice invoice(static_cast<int>(state.range(0)));
    using Clock = std::chrono::steady_clock;
    Clock::duration reading{}, issuing{};
    std::int64_t issued = 0;
    QString number;
    for (auto _ : state) {
        const auto started = Clock::now();
        if (rig.Counter(number) != 0) {
            state.SkipWithError("the processor did not give its counter");
            break;
        }
        const auto read = Clock::now();
        if (rig.Make(invoice, QString("share-%1").arg(issued)) != 0) {
            state.SkipWithError("the processor refused the invoice");
            break;
        }
        reading += read - started;
        issuing += Clock::now() - read;
        if (++issued % 2000 == 0) {
            state.PauseTiming();
            rig.Unlimit();
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(issued);
    const double n = static_cast<double>(std::max<std::int64_t>(issued, 1));
    const auto requestMs = [baud](std::size_t bytes) { return static_cast<double>(bytes) * 10.0 / baud * 1000.0; };
    constexpr std::size_t kCounterRequestBytes = 7;  // head, command, length, CRC
    const double readMs =
        std::chrono::duration<double, std::milli>(reading).count() / n + requestMs(kCounterRequestBytes);
    const double issueMs =
        std::chrono::duration<double, std::milli>(issuing).count() / n + requestMs(rig.LastExchangeBytes().first);
    state.counters["read_ms"] = readMs;
    state.counters["issue_ms"] = issueMs;
    state.counters[baud == 9600 ? "share_9600" : "share_38400"] = issueMs > 0 ? readMs / issueMs : 0;
}
BENCHMARK(BM_CounterReadShare)
    ->ArgNames({"goods", "pace"})
    ->ArgsProduct({{1, 6}, {9600, 38400}})
    ->Unit(benchmark::kMillisecond)
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

// A typed sale's check and frame, the step every way in ends in (the fixed-width reader above comes first
// for the text form).
void BM_BuildSaleFrame(benchmark::State& state) {
    karvex::Sale sale;
    sale.payer = "某某商贸有限公司";
    for (int i = 0; i < state.range(0); ++i) sale.goods.push_back({"商品" + std::to_string(i + 1), 150, 200, 300, 1});
    for (auto _ : state) {
        auto built = karvex::BuildSaleFrame(sale);
        benchmark::DoNotOptimize(built);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BuildSaleFrame)->Arg(1)->Arg(6);

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
