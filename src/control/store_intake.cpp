#include "control/store_intake.h"

#include "commands/catalogue.h"
#include "link/result_codes.h"
#include "store/store_access.h"
#include "store/store_codes.h"

namespace karvex {

namespace {

std::string NextNumber(const std::string& number) {
    std::uint64_t n = 0;
    for (char c : number) {
        if (c < '0' || c > '9') return {};
        n = n * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (number.size() != 10 || n >= 9999999999ULL) return {};
    std::string next = std::to_string(n + 1);
    return std::string(10 - next.size(), '0') + next;
}

}  // namespace

StoreIntake::StoreIntake(std::shared_ptr<StoreService> store)
    : DecodingIntake(store->Writers(), store->AnswerFrames()),
      store_(std::move(store)),
      writers_(store_->Writers().get()),
      queue_(store_->AnswerFrames().get()) {
    store_->SetWriterNotice([this](const std::string& title, const std::string& text) {
        if (module_ == nullptr) return;
        module_->Log().WriteLogLine(text);
        noticeLogged_ = true;
        // Host calls report through their result code only.
        const CommandInFlight& command = module_->Command();
        if (command.caller == kCallerConsole)
            module_->Ui().ShowMessage(title.empty() ? CommandName(command.code) : title, text);
    });
}

StoreIntake::~StoreIntake() { store_->SetWriterNotice({}); }

void StoreIntake::BeginAnswer(ControlModule& m, const CommandInFlight& command) {
    module_ = &m;
    noticeLogged_ = false;
    writers_->ClearError();
    // The print-data and roll-summary queries of a host only read the answers: the tables keep what the
    // operator uploaded.
    writers_->KeepTables(command.caller == kCallerPrintDataChain || command.caller == kCallerRollSummaryChain);
}

void StoreIntake::EndAnswer(ControlModule& m, std::uint8_t command, IntakeOutcome& o, const std::string& queueError) {
    writers_->KeepTables(false);
    const bool failed = o.result != 0 && o.result != result::kChainContinues;
    // Rows written for a frame are only kept when the answer's transaction commits; a failed commit must
    // not be reported as a stored answer.
    if (int closed = writers_->TakeCloseResult(); closed != 0 && !failed) {
        store_->ReportFailure(CommandName(command) + "数据保存失败", closed, writers_->LastErrorText());
        m.SetResultDetail(closed, writers_->LastErrorText());
        o.result = closed;
    } else if (failed) {
        // A store failure goes to the log and into the result's message once, with the engine's reason.
        const std::string& why = !writers_->LastErrorText().empty() ? writers_->LastErrorText() : queueError;
        if (!why.empty()) {
            if (!noticeLogged_) store_->ReportFailure(CommandName(command) + "数据保存失败", o.result, why);
            m.SetResultDetail(o.result, why);
        }
    }
    module_ = nullptr;
}

IntakeOutcome StoreIntake::AcceptSingleAnswer(ControlModule& m, CommandInFlight& command, const Bytes& frame) {
    BeginAnswer(m, command);
    IntakeOutcome o = DecodingIntake::AcceptSingleAnswer(m, command, frame);
    EndAnswer(m, command.code, o, {});
    if (o.result == 0) RunRollProgress(m, command);
    return o;
}

bool StoreIntake::StoresAsItArrives(ControlModule& m, const CommandInFlight& command) {
    // An upload that replaces a table (print data, day trade, roll summaries, declarations) is written as it
    // arrives: a long one then leaves only its commit for after the last frame. The chains that only read
    // such an answer into the host's replies keep the replay, which leaves the replies of an answer cut
    // short untouched.
    const bool readOnly = command.caller == kCallerPrintDataChain || command.caller == kCallerRollSummaryChain;
    if (readOnly || !store_->IsOpen() || !StoreAccess::AnswerRefillsTable(command.code)) return false;
    BeginAnswer(m, command);
    return true;
}

void StoreIntake::StreamAbandoned(ControlModule&) {
    writers_->KeepTables(false);
    module_ = nullptr;
}

IntakeOutcome StoreIntake::AcceptStoredAnswers(ControlModule& m, CommandInFlight& command) {
    // An answer stored as it arrived began when its first frame came.
    if (!Streaming()) BeginAnswer(m, command);
    const std::string queueError = queue_->LastErrorText();
    // Frames still held in memory are replayed straight from there; nothing to write first.
    IntakeOutcome o = DecodingIntake::AcceptStoredAnswers(m, command);
    EndAnswer(m, command.code, o, queueError);
    // Whatever the replay left (dropped after four failures, or put back by a transaction that did not
    // commit) must not be taken for the first frames of the next answer.
    queue_->Clear();
    return o;
}

void StoreIntake::RunRollProgress(ControlModule& m, const CommandInFlight& command) {
    if (!store_->IsOpen()) return;
    std::string current;
    const CommandInfo* row = FindCommand(command.code);
    const RollProgress progress = row != nullptr ? row->rollProgress : RollProgress::None;
    if (progress == RollProgress::CurrentNumber) {
        current = command.replies.current_inv_number;
    } else if (progress == RollProgress::NumberInUse) {
        // An issue or a return takes the current number of the roll in use; the processor moves on to
        // the next one.
        std::string inUse;
        if (!writers_->CurrentNumberInUse(inUse)) return;
        current = NextNumber(inUse);
        if (current.empty()) return;
    } else {
        return;
    }
    std::string previous;
    const int r = writers_->SaveMakeInvoice(current, previous);
    // The bookkeeping is the control's own: its outcome is logged and never changes the command's result.
    // Only a store that failed is a failure; the rest says what the bookkeeping made of the number.
    switch (r) {
    case 0: m.Log().WriteLogLine("发票卷记录更新：当前发票号 " + current); break;
    case result::kRollNotNextNumber:
        m.Log().WriteLogLine("发票卷记录更新：当前发票号 " + current + "（原来发票号 " + previous + "，不是加一）");
        break;
    case result::kRollNumberLower:
        m.Log().WriteLogLine("当前发票号 " + current + " 小于已记录的发票号 " + previous + "，发票卷记录不变");
        break;
    case result::kRollNumberNotFound:
    case result::kStoreTableEmpty:
        m.Log().WriteLogLine("数据库中没有当前发票号 " + current + " 所在的发票卷，发票卷记录不变");
        break;
    default: store_->ReportFailure("发票卷记录更新失败 当前发票号 " + current, r, writers_->LastErrorText()); break;
    }
}

std::unique_ptr<AnswerIntake> MakeStoreIntake(std::shared_ptr<StoreService> store) {
    return std::make_unique<StoreIntake>(std::move(store));
}

}  // namespace karvex
