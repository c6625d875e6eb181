#include "commands/answer_intake.h"

#include <variant>

#include "commands/catalogue.h"
#include "convert/conversions.h"
#include "link/frame_codec.h"

namespace karvex {

// ---------------------------------------------------------------------------------------------------------
// Memory queue

ResultCode MemoryAnswerQueue::Append(int frame_number, const std::string& frame_hex) {
    rows_.emplace_back(frame_number, frame_hex);
    return result::kSuccess;
}

ResultCode MemoryAnswerQueue::TakeFirst(std::string& frame_hex) {
    if (rows_.empty()) return result::kEmptyInput;
    frame_hex = std::move(rows_.front().second);
    rows_.pop_front();
    return result::kSuccess;
}

// ---------------------------------------------------------------------------------------------------------
// Dispatch

namespace {

void FillPrintReply(const InvPrintDataRecord& rec, HostReply& reply) {
    reply.print_date = rec.issue_date;
    reply.inv_num = rec.invoice_number;
    reply.inv_type = rec.invoice_type;
    reply.o_inv_num = rec.original_number;
    reply.pay_unit = rec.payer;
    reply.tax_code = rec.tax_code;
    reply.print_data = rec;
    // A slot this invoice leaves empty must not show the goods of an earlier query.
    for (std::size_t k = 0; k < rec.goods.size(); ++k) {
        GoodsReply& slot = reply.goods[k];
        slot = GoodsReply{};
        if (!rec.goods[k]) continue;
        const GoodsLine& line = *rec.goods[k];
        slot.name = line.name;
        slot.quantity = YuanText(line.quantity);
        slot.amount = YuanText(line.amount);
        // No unit price can be derived from a zero quantity.
        if (line.quantity != 0) slot.price = YuanText(line.amount / line.quantity);
    }
}

void FillRollSummaryReply(const InvUseSumRecord& rec, HostReply& reply) {
    reply.inv_code = rec.invoice_code;
    reply.begin_inv_num = rec.first_number;
    reply.end_inv_num = rec.last_number;
    reply.begin_date = rec.first_date;
    reply.end_date = rec.last_date;
    reply.normal_inv = rec.normal_count;
    reply.return_inv = rec.return_count;
    reply.invalidate_inv = rec.void_count;
    reply.normal_sum = rec.normal_total;
    reply.return_sum = rec.return_total;
}

// What follows a successful decode.
struct AfterDecode {
    CommandInFlight& command;
    AnswerStore& store;
    DispatchOutcome& outcome;

    void operator()(std::monostate) const {}
    void operator()(const InvoiceRollRecord& roll) const {
        if (const CommandInfo* row = FindCommand(command.code); row != nullptr && row->store.keyed) {
            outcome.result = store.SaveInvoiceNumber(roll, kRollByKey);
            return;
        }
        outcome.result = store.SaveInvoiceNumber(roll, kRollAdd);
        command.chain.rolls_to_dispense -= 1;
        if (outcome.result == result::kSuccess && command.chain.rolls_to_dispense > 0) {
            outcome.result = result::kChainContinues;
        }
    }
    void operator()(const CurrentInvoiceRecord& rec) const {
        command.replies.current_inv_number = rec.number;
        outcome.display_text = CurrentInvoiceText(rec);
    }
    void operator()(const IssueReply& rec) const { command.replies.issue = rec; }
    void operator()(const MachineDataRecord& rec) const {
        if (command.caller == kCallerPrintDataChain) {
            command.replies.host.machine_number = rec.machine_number;
            return;
        }
        outcome.result = store.SaveMachineData(rec);
    }
    void operator()(const UserInformationRecord& rec) const {
        if (command.caller == kCallerPrintDataChain) {
            command.replies.host.sale_unit = rec.taxpayer_name;
            command.replies.host.tax_number = rec.tax_number;
            outcome.result = result::kChainContinues;
        } else if (command.caller == kCallerRollSummaryChain) {
            command.replies.host.user_name = rec.taxpayer_name;
            command.replies.host.tax_number = rec.tax_number;
            outcome.result = result::kChainContinues;
        } else {
            outcome.result = store.SaveUserInformation(rec);
        }
    }
    void operator()(const TaxItemRecord& rec) const { outcome.result = store.SaveTaxInformation(rec); }
    void operator()(const DateTimeRecord& rec) const { outcome.display_text = ProcessorTimeText(rec); }
    void operator()(const InvUseSumRecord& rec) const {
        if (command.caller == kCallerRollSummaryChain) {
            FillRollSummaryReply(rec, command.replies.host);
            outcome.result = result::kChainContinues;
            return;
        }
        outcome.result = store.SaveInvUseSum(rec);
    }
    void operator()(const DeclareDataRecord& rec) const { outcome.result = store.SaveDeclareData(rec); }
    void operator()(const InvPrintDataRecord& rec) const {
        if (command.caller == kCallerPrintDataChain) {
            FillPrintReply(rec, command.replies.host);
            outcome.result = result::kChainContinues;
            return;
        }
        outcome.result = store.SaveInvPrintData(rec);
    }
    void operator()(const ProcessorStateRecord& rec) const { outcome.display_text = rec.text; }
    void operator()(const DayTradeRecord& rec) const { outcome.result = store.SaveDayTrade(rec); }
    void operator()(const SignatureRecord& rec) const { outcome.result = store.SaveIdiograph(rec); }
    void operator()(const CardAnswerRecord& rec) const { outcome.display_text = CardAnswerText(rec); }
    void operator()(const CardPowerOnRecord& rec) const { outcome.display_text = CardPowerOnText(rec); }
    void operator()(const SelfTestItemRecord&) const {}  // judged by the dispatch itself
    void operator()(const TotalSumRecord& rec) const { outcome.display_text = TotalSumText(rec); }
};

std::uint8_t PacketsToFollow(FrameView frame) {
    return frame.size() > kAnswerPacketsOffset ? frame[kAnswerPacketsOffset] : 0;
}

bool IsFailure(ResultCode code) { return code != result::kSuccess && code != result::kChainContinues; }

}  // namespace

DispatchOutcome DispatchAnswer(CommandInFlight& command, FrameView frame, AnswerStore& store) {
    DispatchOutcome outcome;
    const AnswerLayout& layout = FindAnswerLayout(command.code);
    if (IsQuietCardFollow(layout, frame)) return outcome;

    AnswerRecord record;
    outcome.result = DecodeAnswer(command.code, frame, record);

    if (layout.decoder == DecoderKind::kCheckself) {
        const bool more_follow = PacketsToFollow(frame) != 0;
        if (outcome.result == result::kSuccess) {
            CheckselfReport report =
                DescribeCheckselfItem(std::get<SelfTestItemRecord>(record), command.chain.checkself_mask, more_follow,
                                      command.chain.checkself_failed);
            outcome.result = report.result;
            outcome.checkself = std::move(report);
        }
        // The operator hears of the self-test once, when its last item has come, whatever that item's
        // result; the earlier items only go to the log.
        command.caller = more_follow ? kCallerHost : kCallerConsole;
        return outcome;
    }

    if (outcome.result != result::kSuccess) return outcome;
    std::visit(AfterDecode{command, store, outcome}, record);
    return outcome;
}

DispatchOutcome TakeAnswerFrame(CommandInFlight& command, FrameView frame, AnswerStore& store) {
    const AnswerCheck check = CheckAnswerFrame(frame);
    if (check.status == AnswerStatus::kError) command.refusal_code = check.refusal_code;
    if (check.status != AnswerStatus::kOk) {
        DispatchOutcome outcome;
        outcome.result = check.code;
        outcome.reset_timeout = check.reset_timeout;
        return outcome;
    }
    if (const ResultCode opened = store.OpenCommandTables(command.code); opened != result::kSuccess) {
        DispatchOutcome outcome;
        outcome.result = opened;
        return outcome;
    }
    DispatchOutcome outcome = DispatchAnswer(command, frame, store);
    store.CloseCommandTables(command.code);
    return outcome;
}

// ---------------------------------------------------------------------------------------------------------
// Queued answers

ResultCode QueueAnswerFrame(AnswerQueue& queue, FrameView frame, int frame_number) {
    std::string hex;
    BytesToHex(frame, hex);
    return queue.Append(frame_number, hex);
}

ResultCode UnqueueAnswerFrame(AnswerQueue& queue, Bytes& frame) {
    std::string hex;
    if (const ResultCode rc = queue.TakeFirst(hex); rc != result::kSuccess) return rc;
    Bytes bytes;
    if (const int rc = HexToBytes(hex, bytes); rc != 0) return rc;
    frame = std::move(bytes);
    return result::kSuccess;
}

namespace {

// One frame of a multi-frame answer as the replay and the stream both take it: an "OK" frame dispatched, a
// refusal in the middle keeping the processor's own code.
ResultCode TakeAnswerPart(CommandInFlight& command, FrameView frame, AnswerStore& store, std::string& display_text) {
    const AnswerCheck check = CheckAnswerFrame(frame);
    if (check.status != AnswerStatus::kOk) {
        if (check.status == AnswerStatus::kError) command.refusal_code = check.refusal_code;
        return check.code;
    }
    DispatchOutcome outcome = DispatchAnswer(command, frame, store);
    if (!outcome.display_text.empty()) display_text = std::move(outcome.display_text);
    return outcome.result;
}

}  // namespace

void AnswerTally::Count(ResultCode frame_result) {
    if (frame_result == result::kChainContinues) chain = true;
    if (IsFailure(frame_result)) {
        last_failure = frame_result;
        ++failures;
    }
}

ResultCode AnswerTally::Overall() const {
    return failures > 0 ? last_failure : (chain ? result::kChainContinues : result::kSuccess);
}

DispatchOutcome TakeQueuedAnswer(CommandInFlight& command, AnswerQueue& queue, AnswerStore& store,
                                 const PacketReporter& report, const YieldHook& yield) {
    DispatchOutcome overall;
    const std::size_t rows = queue.Count();

    ResultCode ready = store.OpenCommandTables(command.code);
    if (ready == result::kSuccess) ready = store.ClearCommandTable(command.code);
    if (ready != result::kSuccess) {
        // Nothing can be stored: the frames are dropped rather than left for the next answer.
        queue.Clear();
        store.CloseCommandTables(command.code);
        overall.result = ready;
        return overall;
    }

    AnswerTally tally;
    bool lost = false;
    for (std::size_t row = 0; row < rows; ++row) {
        Bytes frame;
        ResultCode frame_result = UnqueueAnswerFrame(queue, frame);
        if (frame_result == result::kSuccess)
            frame_result = TakeAnswerPart(command, frame, store, overall.display_text);
        tally.Count(frame_result);
        lost = store.WriteFailed();
        if (report) report(command.code, frame_result, PacketsToFollow(frame));
        if (tally.Exhausted() || lost) {
            queue.Clear();
            break;
        }
        if (yield) yield();
    }

    if (lost) {
        store.AbandonCommandTables(command.code);
    } else {
        store.CloseCommandTables(command.code);
    }
    overall.result = tally.Overall();
    return overall;
}

ResultCode AnswerStream::Begin(CommandInFlight& command, AnswerStore& store) {
    *this = AnswerStream{};
    code_ = command.code;
    ResultCode ready = store.OpenCommandTables(code_);
    if (ready == result::kSuccess) ready = store.ClearCommandTable(code_);
    if (ready != result::kSuccess) {
        store.AbandonCommandTables(code_);
        return ready;
    }
    open_ = true;
    return result::kSuccess;
}

void AnswerStream::Take(CommandInFlight& command, FrameView frame, AnswerStore& store) {
    // After the fourth failed frame, or one the store could not write, the rest of the answer is not decoded,
    // as a replay would drop it.
    if (!open_ || tally_.Exhausted() || lost_) return;
    const ResultCode frame_result = TakeAnswerPart(command, frame, store, display_text_);
    tally_.Count(frame_result);
    lost_ = store.WriteFailed();
    taken_.emplace_back(frame_result, PacketsToFollow(frame));
}

DispatchOutcome AnswerStream::Finish(CommandInFlight& command, AnswerStore& store, const PacketReporter& report,
                                     const YieldHook& yield) {
    DispatchOutcome overall;
    if (!open_) {
        overall.result = result::kStoreOpenFailed;
        return overall;
    }
    for (const auto& [frame_result, to_follow] : taken_) {
        if (report) report(command.code, frame_result, to_follow);
        if (yield) yield();
    }
    if (lost_) {
        store.AbandonCommandTables(code_);
    } else {
        store.CloseCommandTables(code_);
    }
    open_ = false;
    taken_.clear();
    overall.result = tally_.Overall();
    overall.display_text = std::move(display_text_);
    return overall;
}

void AnswerStream::Abandon(AnswerStore& store) {
    if (open_) store.AbandonCommandTables(code_);
    *this = AnswerStream{};
}

}  // namespace karvex
