// The answer intake that needs no store: frame checks, the answers that are only shown, and the reply
// values of the host calls. Multi-packet answers are queued in memory.
#include <deque>

#include "commands/decoders.h"
#include "control/control_module.h"
#include "link/frame_codec.h"
#include "link/result_codes.h"

namespace karvex {

namespace {

class PlainIntake final : public AnswerIntake {
public:
    IntakeOutcome AcceptSingleAnswer(ControlModule& m, const Bytes& frame) override {
        m.RxPacketCount = 0;
        IntakeOutcome o = Judge(m, frame);
        m.ReportPacketResult(m.CurrentCommand, o.result, "");
        m.Hooks().SetBusyCursor(false);
        return o;
    }

    void SaveAnswerPacket(ControlModule& m, const ReceivedFrame& frame) override {
        queue_.push_back(frame.bytes);
        m.ShowPacketProgress(m.RxPacketCount, frame.packetsToFollow, std::string(PacketKindLabel(m.CurrentCommand)),
                             true);
    }

    IntakeOutcome AcceptStoredAnswers(ControlModule& m) override {
        IntakeOutcome overall;
        int failures = 0;
        m.RxPacketCount = 0;
        while (!queue_.empty()) {
            Bytes frame = std::move(queue_.front());
            queue_.pop_front();
            const int p = frame.size() > 2 ? frame[2] : 0;
            IntakeOutcome o = Judge(m, frame);
            if (o.result != 0) {
                overall.result = o.result;
                ++failures;
            }
            if (!o.displayText.empty()) overall.displayText = o.displayText;
            m.ReportPacketResult(m.CurrentCommand, o.result, PadPacketNumber(p));
            if (failures >= 4) {
                queue_.clear();
                break;
            }
        }
        return overall;
    }

    void ClearQueue(ControlModule&) override { queue_.clear(); }

private:
    static IntakeOutcome Judge(ControlModule& m, const Bytes& frame) {
        IntakeOutcome o;
        AnswerCheck check = CheckAnswerFrame(std::span<const std::uint8_t>(frame));
        if (check.status != AnswerStatus::kOk || check.code != 0) {
            o.result = check.code;
            return o;
        }
        const std::uint8_t code = m.CurrentCommand;
        ++m.RxPacketCount;
        AnswerRecord record;
        o.result = DecodeAnswer(code, frame, record);
        if (o.result != 0) return o;
        if (auto* r = std::get_if<CurrentInvoiceRecord>(&record)) {
            m.CurrentInvNumber = r->number;
            o.displayText = CurrentInvoiceText(*r);
        } else if (auto* r = std::get_if<IssueReply>(&record)) {
            m.Issue = *r;
        } else if (auto* r = std::get_if<DateTimeRecord>(&record)) {
            o.displayText = ProcessorTimeText(*r);
        } else if (auto* r = std::get_if<ProcessorStateRecord>(&record)) {
            o.displayText = r->text;
        } else if (auto* r = std::get_if<CardAnswerRecord>(&record)) {
            o.displayText = CardAnswerText(*r);
        } else if (auto* r = std::get_if<CardPowerOnRecord>(&record)) {
            o.displayText = CardPowerOnText(*r);
        } else if (auto* r = std::get_if<TotalSumRecord>(&record)) {
            o.displayText = TotalSumText(*r);
        }
        return o;
    }

    std::deque<Bytes> queue_;
};

}  // namespace

std::unique_ptr<AnswerIntake> MakePlainIntake() { return std::make_unique<PlainIntake>(); }

}  // namespace karvex
