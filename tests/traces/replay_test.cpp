// Recorded traces replayed: each session below was run once against the virtual processor with a line fault,
// its traffic recorded through KARVEX_TRACE into tests/traces/<name>.trace and its results and stored rows
// into <name>.expected. Here the processor is played from the trace, and the same session must give the same
// results and rows, with every request the recorded one.
//
// To record them again (after a change of the wire traffic):
//   KARVEX_RECORD_TRACES=$PWD/tests/traces build/asan/tests/traces/trace_replay_tests
// A recording run replays each session from what it has just written and holds it to the same checks, so a
// recording that cannot be replayed to the same outcome fails at once.
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>

#include "commands/decoders.h"
#include "replay.h"
#include "store_e2e_fixture.h"
#include "store/schema.h"

namespace karvex::testing {
namespace {

using sim::Fault;
using sim::FaultKind;

std::string Slice(const std::string& utf8, std::size_t width) {
    const std::size_t used = GbkByteLength(utf8);
    return utf8 + std::string(used < width ? width - used : 0, ' ');
}

class TraceReplay : public StoreFixture {
protected:
    // Time-outs of about 0.6 s: a busy machine never turns a recorded answer into a time-out.
    TraceReplay() { tickMs_ = 20; }

    void SetUp() override {
        const char* record = std::getenv("KARVEX_RECORD_TRACES");
        recordDir_ = record ? record : "";
    }

    // Runs `body` between the start and the end of a session: from the trace in tests/traces; when
    // recording, first against the live processor into the recording folder, then from that recording.
    void Session(const std::string& name, const std::function<void()>& body) {
        if (!recordDir_.empty()) {
            recording_ = true;
            Start(name);
            if (HasFatalFailure()) return;
            body();
            Finish();
            // The recorded session is over: the replay below starts from a new data directory and processor.
            fiscal_->UnloadFicalForm(0);
            fiscal_.reset();
            sim_->stop();
            sim_.reset();
            results_.str("");
            recording_ = false;
        }
        Start(name);
        if (HasFatalFailure()) return;
        body();
        Finish();
    }

    // The folder the traces are read from: the one just recorded into, or the source tree's.
    std::string TraceDir() const { return recordDir_.empty() ? std::string(KARVEX_TRACE_DIR) : recordDir_; }

    // Starts the control against the live processor (recording) or the trace (replaying).
    void Start(const std::string& name) {
        name_ = name;
        char tmpl[] = "/tmp/karvex-trace-XXXXXX";
        dir_ = mkdtemp(tmpl);
        Settings settings;
        settings.dataDirectory = dir_;
        settings.clock = FixedClock(2024, 3, 15, 10, 30, 0);
        sim::SimOptions options;
        options.quiet = true;
        options.clock = sim::DateTime{2024, 3, 15, 10, 30, 0};
        if (Recording()) {
            tracePath_ = recordDir_ + "/" + name + ".trace";
            std::remove(tracePath_.c_str());
            settings.traceFile = tracePath_;
        } else {
            std::string error;
            auto trace = sim::read_trace(TraceDir() + "/" + name + ".trace", error);
            ASSERT_TRUE(trace) << error;
            options.replay = std::move(*trace);
            options.replay_fast = true;
        }
        sim_ = std::make_unique<sim::Simulator>(options);
        std::string error;
        ASSERT_TRUE(sim_->start(&error)) << error;
        settings.devices[1] = sim_->device_path();
        fiscal_ = std::make_unique<Fiscal>(settings);
        ui_ = std::make_shared<ScriptedUi>();
        fiscal_->SetUserInterface(ui_);
        ModuleOf(*fiscal_).SetTickInterval(std::chrono::milliseconds(tickMs_));
        ASSERT_EQ(fiscal_->LoadFiscalForm(), 0);
    }

    bool Recording() const { return recording_; }
    // Line faults and processor state only matter while recording: a replay answers from the trace.
    void Inject(const Fault& fault) {
        if (Recording()) sim_->inject(fault);
    }
    void Seed(int invoices) {
        if (Recording()) SeedInvoices(invoices, 20240301, 20240305);
    }

    void Note(const std::string& call, int result, const std::string& outputs = {}) {
        results_ << "result " << call << " " << result << (outputs.empty() ? "" : " " + outputs) << "\n";
    }

    // Results so far and every stored row but the scratch queue and the serial settings.
    std::string Outcome() {
        std::ostringstream out;
        out << results_.str();
        for (const TableDef& table : StoreTables()) {
            if (table.name == "ARecord" || table.name == "ComSet") continue;
            for (const auto& row : Rows(table.name)) {
                out << "row " << table.name;
                for (const auto& [field, value] : row) out << " | " << field << "=" << value;
                out << "\n";
            }
        }
        return out.str();
    }

    // Records the outcome, or checks the replay against the recorded one.
    void Finish() {
        const std::string outcome = Outcome();
        const std::string expectedPath = TraceDir() + "/" + name_ + ".expected";
        if (Recording()) {
            std::ofstream(expectedPath, std::ios::binary) << outcome;
            return;
        }
        std::ifstream in(expectedPath, std::ios::binary);
        ASSERT_TRUE(in) << expectedPath;
        std::stringstream expected;
        expected << in.rdbuf();
        EXPECT_EQ(outcome, expected.str());
        EXPECT_EQ(sim_->replay_mismatches(), 0u) << "requests other than the recorded ones";
        EXPECT_EQ(sim_->replay_remaining(), 0u) << "recorded requests never asked for";
        EXPECT_GT(sim_->replay_requests(), 0u);
    }

    int CurrentNumber(std::string& out) {
        QString number;
        const int rc = fiscal_->FiscalGetInvNum(number);
        out = number.toStdString();
        return rc;
    }
    int Issue(int goods) {
        QString names, quantities, prices, sums, taxes;
        for (int i = 0; i < goods; ++i) {
            names += QString::fromStdString(Slice("商品" + std::to_string(i + 1), 20));
            quantities += QString::fromStdString(Slice("1.5", 11));
            prices += QString::fromStdString(Slice("2", 11));
            sums += QString::fromStdString(Slice("3.00", 11));
            taxes += "1";
        }
        return fiscal_->FiscalMakeInv(52, 0, 0, "", QString::fromUtf8("某某商贸有限公司"), goods, names, quantities,
                                      prices, sums, taxes);
    }
    std::string PrintInv(int command, const std::string& number, int& rc) {
        QString inv = QString::fromStdString(number), o, m, su, pu, tn, tc, pd, sn, sa, sp, ss;
        std::int32_t type = 0;
        rc = fiscal_->GetPrintInv(command, inv, o, m, su, pu, tn, tc, pd, sn, sa, sp, ss, type);
        return (QStringList{inv, o, m, su, pu, tn, tc, pd, sn.trimmed(), sa.trimmed(), ss.trimmed()}.join('|') + "|" +
                QString::number(type))
            .toStdString();
    }
    std::string UseSum(const std::string& number, int& rc) {
        QString bd, ed, bn, en, code, tn, un, mn;
        std::int32_t voided = 0, normal = 0, returned = 0;
        double normalSum = 0, returnSum = 0;
        rc = fiscal_->GetInvUseSum(QString::fromStdString(number), bd, ed, bn, en, voided, normal, normalSum, returned,
                                   returnSum, code, tn, un, mn);
        return (QStringList{bd, ed, bn, en, code, tn, un, mn}.join('|')).toStdString() + "|" + std::to_string(voided) +
               "|" + std::to_string(normal) + "|" + YuanText(normalSum) + "|" + std::to_string(returned) + "|" +
               YuanText(returnSum);
    }

    std::string recordDir_, name_, tracePath_;
    bool recording_ = false;
    std::ostringstream results_;
};

// "WT" frames before the answer: the time-out restarts and the answer is taken.
TEST_F(TraceReplay, WaitAnswer) {
    Session("wait_answer", [&] {
        Inject({.command = 0x33, .kind = FaultKind::Wait, .arg = 2, .delay_ms = 30});
        std::string number;
        Note("FiscalGetInvNum", CurrentNumber(number), number);
    });
}

// A bad CRC fails the call; the next one goes through.
TEST_F(TraceReplay, BadCrcThenRetry) {
    Session("bad_crc", [&] {
        Inject({.command = 0x33, .kind = FaultKind::BadCrc});
        std::string number;
        Note("FiscalGetInvNum", CurrentNumber(number), number);
        Note("FiscalGetInvNum", CurrentNumber(number), number);
    });
}

// A multi-packet print-data upload with a pause between frames and one frame with a bad CRC: the other
// invoices are stored.
TEST_F(TraceReplay, PrintDataUploadWithBadFrame) {
    Session("print_data_upload", [&] {
        Seed(6);
        Inject({.command = 0x43, .kind = FaultKind::PacketDelay, .arg = 15});
        Inject({.command = 0x43, .kind = FaultKind::BadCrc, .arg = 2});
        RangeInput range{"", "", Date("20240301"), Date("20240305")};
        Note("PrintData", Run([&](const IssueContext& c) { return IssuePrintData(c, false, range); }));
    });
}

// The roll-summary chain (roll summary, user information, machine data) with noise before one answer.
TEST_F(TraceReplay, RollSummaryChainWithNoise) {
    Session("roll_summary_chain", [&] {
        Inject({.command = 0x38, .kind = FaultKind::Noise, .arg = 5});
        std::string number;
        Note("FiscalGetInvNum", CurrentNumber(number), number);
        Note("Issue", Issue(2));
        int rc = 0;
        const std::string outputs = UseSum(number, rc);
        Note("GetInvUseSum", rc, outputs);
    });
}

// The print-data chain of the last invoice, answered byte by byte; then a refused issue ("ER"), a processor
// that is not ready ("NP"), a lost answer (time-out), a short frame and a frame cut off half-way.
TEST_F(TraceReplay, RefusalsAndLostAnswers) {
    Session("refusals_and_lost_answers", [&] {
        Inject({.command = 0xB1, .kind = FaultKind::Slow, .arg = 0});
        Note("Issue", Issue(1));
        int rc = 0;
        const std::string outputs = PrintInv(177, "", rc);
        Note("GetPrintInv", rc, outputs);
        Inject({.command = 0x34, .kind = FaultKind::Error, .arg = 18});
        Note("Issue", Issue(1));
        Inject({.command = 0x34, .kind = FaultKind::NotReady});
        Note("Issue", Issue(1));
        Inject({.command = 0x33, .kind = FaultKind::Silent});
        std::string number;
        Note("FiscalGetInvNum", CurrentNumber(number), number);
        Inject({.command = 0x33, .kind = FaultKind::BadLength});
        Note("FiscalGetInvNum", CurrentNumber(number), number);
        Inject({.command = 0x33, .kind = FaultKind::Cut});
        Note("FiscalGetInvNum", CurrentNumber(number), number);
        Note("FiscalGetInvNum", CurrentNumber(number), number);
    });
}

// The replay itself: a request other than the recorded one is counted, and still answered as recorded.
TEST(TraceReading, MismatchesAndBadLinesAreReported) {
    std::string error;
    auto entries = sim::parse_trace(
        "karvex-trace 1\n# note\n1.0 > 1B 10 33 00 05 47 2C\n3.5 < 4F 4B\n3.8 # 45 52\n4.0 < 00 04 AA BB\n"
        "karvex-trace 1\n0.5 > 1B 10 41\n",
        error);
    ASSERT_TRUE(entries) << error;
    sim::Replay replay(*entries);
    auto step = replay.next({0x1B, 0x10, 0x33, 0x00, 0x05, 0x47, 0x2C});
    EXPECT_TRUE(step.matched);
    ASSERT_EQ(step.answer.size(), 2u);
    EXPECT_EQ(step.answer[0].delay_ms, 3);
    EXPECT_EQ(step.answer[1].bytes, (sim::Bytes{0x00, 0x04, 0xAA, 0xBB}));
    step = replay.next({0x1B, 0x10, 0x42});
    EXPECT_FALSE(step.matched);
    EXPECT_EQ(replay.mismatches(), 1u);
    EXPECT_EQ(replay.remaining(), 0u);
    EXPECT_FALSE(replay.next({0x1B}).recorded);

    for (const char* bad : {"1.0 ? 1B\n", "x > 1B\n", "1.0 > 1G\n", "1.0 >\n"}) {
        EXPECT_FALSE(sim::parse_trace(bad, error)) << bad;
        EXPECT_NE(error.find("line 1"), std::string::npos) << error;
    }
}

}  // namespace
}  // namespace karvex::testing
