// Connects the answer side (checks, decoders, record writers, the queue of multi-packet answers) to the
// module: its command in flight, caller mode, console state, reply values and log.
#include <QCoreApplication>

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

DecodingIntake::DecodingIntake(std::unique_ptr<AnswerStore> store, std::unique_ptr<AnswerQueue> queue)
    : store_(store ? std::move(store) : std::make_unique<NullAnswerStore>()),
      queue_(queue ? std::move(queue) : std::make_unique<MemoryAnswerQueue>()) {}

DecodingIntake::~DecodingIntake() = default;

AnswerContext DecodingIntake::Load(ControlModule& m) {
    AnswerContext c;
    c.caller_mode = m.CallerMode;
    c.dispense_roll_count = m.Console.DispenseRollCount;
    c.checkself_mask = m.Console.CheckselfMask;
    c.checkself_memo = m.Console.CheckselfFailed;
    c.current_inv_number = m.CurrentInvNumber;
    c.issue_reply = m.Issue;
    c.host_reply = m.Host;
    return c;
}

void DecodingIntake::Store(ControlModule& m, AnswerContext& c) {
    m.CallerMode = c.caller_mode;
    m.Console.DispenseRollCount = c.dispense_roll_count;
    m.Console.CheckselfMask = c.checkself_mask;
    m.Console.CheckselfFailed = c.checkself_memo;
    m.CurrentInvNumber = std::move(c.current_inv_number);
    m.Issue = std::move(c.issue_reply);
    m.Host = std::move(c.host_reply);
}

IntakeOutcome DecodingIntake::AcceptSingleAnswer(ControlModule& m, const Bytes& frame) {
    m.RxPacketCount = 0;
    AnswerContext c = Load(m);
    DispatchOutcome o = TakeAnswerFrame(m.CurrentCommand, frame, c, *store_);
    Store(m, c);
    m.NoteRefusalCode(c.refusal_code);
    if (o.checkself) {
        const CheckselfReport& r = *o.checkself;
        if (!r.item_text.empty()) m.Log().ReplaceLastLogLine(r.item_text);
        if (r.box) m.Hooks().ShowSelfTestVerdict(*r.box, r.label_text);
        if (!r.next_line.empty()) m.Log().ShowViewerLine(r.next_line);
    }
    m.ReportPacketResult(m.CurrentCommand, o.result, "");
    m.Hooks().SetBusyCursor(false);
    return {o.result, std::move(o.display_text)};
}

void DecodingIntake::SaveAnswerPacket(ControlModule& m, const ReceivedFrame& frame) {
    // The first packet of an answer starts an empty queue: packets of an answer that timed out or lost
    // its port half-way must not be replayed as part of this one.
    if (m.RxPacketCount == 1) ClearQueue(m);
    ResultCode r = QueueAnswerFrame(*queue_, frame.bytes, m.RxPacketCount);
    if (r != 0 && queueFailure_ == 0) queueFailure_ = r;
    m.ShowPacketProgress(m.RxPacketCount, frame.packetsToFollow, std::string(PacketKindLabel(m.CurrentCommand)),
                         true);
}

IntakeOutcome DecodingIntake::AcceptStoredAnswers(ControlModule& m) {
    const std::uint8_t code = m.CurrentCommand;
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
    const std::string label(PacketKindLabel(code));
    AnswerContext c = Load(m);
    int processed = 0;
    auto report = [&](std::uint8_t command, ResultCode result, int p) {
        ++processed;
        m.NoteRefusalCode(c.refusal_code);
        m.ReportPacketResult(command, result, PadPacketNumber(p));
        if (result == 0 || result == result::kChainContinues)
            m.ShowPacketProgress(processed, p, label, false);
    };
    auto yield = [] { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents); };
    DispatchOutcome o = TakeQueuedAnswer(code, *queue_, c, *store_, report, yield);
    Store(m, c);
    m.NoteRefusalCode(c.refusal_code);
    m.Hooks().SetBusyCursor(false);
    return {o.result, std::move(o.display_text)};
}

void DecodingIntake::ClearQueue(ControlModule&) {
    queue_->Clear();
    queueFailure_ = 0;
}

std::unique_ptr<AnswerIntake> MakePlainIntake() { return std::make_unique<DecodingIntake>(nullptr, nullptr); }

}  // namespace karvex
