// Connects the answer side (checks, decoders, record writers, the queue of multi-packet answers) to the
// module: the command in flight it hands over, and the module's log and console hooks.
#include <QCoreApplication>
#include <QElapsedTimer>

#include "commands/answer_intake.h"
#include "control/control_module.h"
#include "link/result_codes.h"

namespace karvex {

namespace {

// Writers that keep nothing: for running the link without a store (tests of the link, tools that only
// talk to the processor).
class NullAnswerStore final : public AnswerStore {
public:
    ResultCode OpenCommandTables(std::uint8_t) override { return 0; }
    ResultCode ClearCommandTable(std::uint8_t) override { return 0; }
    void CloseCommandTables(std::uint8_t) override {}
    ResultCode SaveInvoiceNumber(const InvoiceRollRecord&, int) override { return 0; }
    ResultCode SaveMachineData(const MachineDataRecord&) override { return 0; }
    ResultCode SaveUserInformation(const UserInformationRecord&) override { return 0; }
    ResultCode SaveTaxInformation(const TaxItemRecord&) override { return 0; }
    ResultCode SaveInvUseSum(const InvUseSumRecord&) override { return 0; }
    ResultCode SaveDeclareData(const DeclareDataRecord&) override { return 0; }
    ResultCode SaveInvPrintData(const InvPrintDataRecord&) override { return 0; }
    ResultCode SaveDayTrade(const DayTradeRecord&) override { return 0; }
    ResultCode SaveIdiograph(const SignatureRecord&) override { return 0; }
};

}  // namespace

DecodingIntake::DecodingIntake(std::shared_ptr<AnswerStore> store, std::shared_ptr<AnswerQueue> queue)
    : store_(store ? std::move(store) : std::make_shared<NullAnswerStore>()),
      queue_(queue ? std::move(queue) : std::make_shared<MemoryAnswerQueue>()) {}

DecodingIntake::~DecodingIntake() = default;

IntakeOutcome DecodingIntake::AcceptSingleAnswer(ControlModule& m, CommandInFlight& command, const Bytes& frame) {
    command.frames_received = 0;
    // Only this answer's refusal may name a code byte.
    command.refusal_code = 0;
    DispatchOutcome o = TakeAnswerFrame(command, frame, *store_);
    if (o.checkself) {
        const CheckselfReport& r = *o.checkself;
        if (!r.item_text.empty()) m.Log().ReplaceLastLogLine(r.item_text);
        if (r.box) m.Hooks().ShowSelfTestVerdict(*r.box, r.label_text);
        if (!r.next_line.empty()) m.Log().ShowViewerLine(r.next_line);
    }
    m.ReportPacketResult(command.code, o.result, "");
    m.Hooks().SetBusyCursor(false);
    return {o.result, std::move(o.display_text)};
}

void DecodingIntake::SaveAnswerPacket(ControlModule& m, CommandInFlight& command, const ReceivedFrame& frame) {
    // The first packet of an answer starts an empty queue: packets of an answer that timed out or lost
    // its port half-way must not be replayed as part of this one.
    const int number = command.frames_received;
    if (number == 1) {
        ClearQueue(m);
        if (StoresAsItArrives(m, command)) {
            // A store that cannot take the answer fails it when it is complete, as a replay would.
            if (stream_.Begin(command, *store_) == result::kSuccess) {
                m.SetStoring(true);
            } else {
                StreamAbandoned(m);
            }
        }
    }
    ResultCode r = QueueAnswerFrame(*queue_, frame.bytes, number);
    if (r != 0 && queueFailure_ == 0) queueFailure_ = r;
    if (stream_.IsOpen() && queueFailure_ == 0) stream_.Take(command, frame.bytes, *store_);
    m.ShowPacketProgress(number, frame.packetsToFollow, std::string(PacketKindLabel(command.code)), true);
}

IntakeOutcome DecodingIntake::AcceptStoredAnswers(ControlModule& m, CommandInFlight& command) {
    const std::uint8_t code = command.code;
    if (queueFailure_ != 0) {
        // A frame the queue could not keep means the answer is incomplete: it fails once, here, and its
        // frames are dropped. Replaying the rest would only replace the table's last whole answer with a
        // part of this one (and, on a full disk, fail again frame by frame).
        const int failure = queueFailure_;
        ClearQueue(m);
        m.ReportPacketResult(code, failure, "");
        return {failure, {}};
    }
    m.Hooks().SetBusyCursor(true);
    m.SetStoring(true);
    const std::string label(PacketKindLabel(code));
    command.refusal_code = 0;
    int processed = 0;
    auto report = [&](std::uint8_t answered, ResultCode result, int p) {
        ++processed;
        m.ReportPacketResult(answered, result, PadPacketNumber(p));
        if (result == 0 || result == result::kChainContinues) m.ShowPacketProgress(processed, p, label, false);
    };
    // The window takes clicks and keys while a long answer is stored, a few times a second; the module and
    // the console keep whatever would reach into the store or the port (unloading, the port settings,
    // clearing, the browser) for after the answer's transaction. Yielding after every frame would cost more
    // than storing it. The packet lines go to the log file at each yield, gathered, rather than with a
    // write of their own each.
    QElapsedTimer sinceYield;
    sinceYield.start();
    const qint64 every = m.StoringYieldInterval().count();
    CommandLog& log = m.Log();
    auto yield = [&sinceYield, &log, every] {
        if (sinceYield.elapsed() < every) return;
        log.FlushFile();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        sinceYield.restart();
    };
    log.HoldFileWrites(true);
    DispatchOutcome o = stream_.IsOpen() ? stream_.Finish(command, *store_, report, yield)
                                         : TakeQueuedAnswer(command, *queue_, *store_, report, yield);
    log.HoldFileWrites(false);
    m.SetStoring(false);
    m.Hooks().SetBusyCursor(false);
    return {o.result, std::move(o.display_text)};
}

void DecodingIntake::ClearQueue(ControlModule& m) {
    AbandonStream(m);
    queue_->Clear();
    queueFailure_ = 0;
}

void DecodingIntake::AnswerCutShort(ControlModule& m) { AbandonStream(m); }

void DecodingIntake::AbandonStream(ControlModule& m) {
    if (!stream_.IsOpen()) return;
    stream_.Abandon(*store_);
    m.SetStoring(false);
    StreamAbandoned(m);
}

std::unique_ptr<AnswerIntake> MakePlainIntake() { return std::make_unique<DecodingIntake>(nullptr, nullptr); }

}  // namespace karvex
