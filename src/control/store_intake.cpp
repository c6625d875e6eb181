#include "control/store_intake.h"

#include <filesystem>

#include "commands/catalogue.h"
#include "link/result_codes.h"
#include "store/store_codes.h"

namespace karvex {

namespace {

constexpr int kComSetSlot = 0;
constexpr int kClearSlot = StoreAccess::kRollSlot;

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

StoreIntake::StoreIntake() : StoreIntake(std::make_shared<StoreHandle>(), nullptr, nullptr) {}

StoreIntake::StoreIntake(std::shared_ptr<StoreHandle> handle, std::unique_ptr<StoreRecordWriters> writers,
                         std::unique_ptr<StoreAnswerQueue> queue)
    : DecodingIntake(writers ? std::move(writers)
                             : std::make_unique<StoreRecordWriters>(
                                   handle,
                                   [this](const std::string& title, const std::string& text) {
                                       if (module_ == nullptr) return;
                                       module_->Log().WriteLogLine(text);
                                       noticeLogged_ = true;
                                       // Host calls report through their result code only.
                                       const CommandInFlight& command = module_->Command();
                                       if (command.caller == kCallerConsole)
                                           module_->Ui().ShowMessage(
                                               title.empty() ? CommandName(command.code) : title, text);
                                   }),
                     queue ? std::move(queue) : std::make_unique<StoreAnswerQueue>(handle)),
      handle_(std::move(handle)),
      writers_(static_cast<StoreRecordWriters*>(&Writers())),
      queue_(static_cast<StoreAnswerQueue*>(&Queue())) {}

StoreIntake::~StoreIntake() {
    writers_->ReleaseStatements();
    queue_->Detach();
    if (handle_->access) handle_->access->Close();
}

void StoreIntake::ReportStoreFailure(ControlModule& m, const std::string& what, int code, const std::string& detail) {
    std::string line = what + " Err" + ResultCodeText(code);
    if (!detail.empty()) line += "：" + detail;
    m.Log().WriteLogLine(line);
}

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
        ReportStoreFailure(m, CommandName(command) + "数据保存失败", closed, writers_->LastErrorText());
        m.SetResultDetail(closed, writers_->LastErrorText());
        o.result = closed;
    } else if (failed) {
        // A store failure goes to the log and into the result's message once, with the engine's reason.
        const std::string& why = !writers_->LastErrorText().empty() ? writers_->LastErrorText() : queueError;
        if (!why.empty()) {
            if (!noticeLogged_) ReportStoreFailure(m, CommandName(command) + "数据保存失败", o.result, why);
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

IntakeOutcome StoreIntake::AcceptStoredAnswers(ControlModule& m, CommandInFlight& command) {
    BeginAnswer(m, command);
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
    if (handle_->Open() == nullptr) return;
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
    case 0:
        m.Log().WriteLogLine("发票卷记录更新：当前发票号 " + current);
        break;
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
    default:
        ReportStoreFailure(m, "发票卷记录更新失败 当前发票号 " + current, r, writers_->LastErrorText());
        break;
    }
}

int StoreIntake::OpenStore(ControlModule& m) {
    if (handle_->Open() != nullptr) return 0;
    std::filesystem::path dir = m.Paths().appDir;
    if (dir.empty()) dir = std::filesystem::path(m.Paths().storePath).parent_path();
    handle_->access = std::make_unique<StoreAccess>(dir);
    int r = handle_->access->Open();
    if (r == 0) r = handle_->access->OpenAnswerQueue();
    if (r != 0) {
        const std::string why = handle_->access->LastErrorText();
        ReportStoreFailure(m, "数据库打开失败", r, why);
        m.SetResultDetail(r, why);
        handle_->access->Close();
        handle_->access.reset();
        return r;
    }
    queue_->Detach();
    // A store away from the library's directory is easily looked for in the wrong place.
    if (m.Paths().source == DataDirSource::HomeFallback)
        m.Log().WriteLogLine("程序目录 " + LibraryDirectory() + " 不能写入，使用数据库 " +
                             handle_->access->StorePath().string());
    return 0;
}

int StoreIntake::CloseStore(ControlModule& m) {
    StoreAccess* access = handle_->Open();
    if (access == nullptr) {
        handle_->access.reset();
        return 0;
    }
    writers_->ReleaseStatements();
    queue_->Detach();
    const int r = access->CompactStoreAtUnload();
    if (r != 0) {
        ReportStoreFailure(m, "数据库压缩失败", r, access->LastErrorText());
        m.SetResultDetail(r, access->LastErrorText());
    }
    if (r == 0 && access->CompactionSkipped()) m.Log().WriteLogLine("数据库正被其他程序打开，本次不压缩");
    access->Close();
    handle_->access.reset();
    return r;
}

int StoreIntake::ReadSerialSettings(ControlModule& m, int& port, int& selector) {
    port = 0;
    selector = 0;
    StoreAccess* access = handle_->Open();
    if (access == nullptr) return result::kStoreOpenFailed;
    int r = access->OpenAccess(Selection::Of("ComSet"), kComSetSlot);
    RecordSet* rs = access->Slot(kComSetSlot);
    std::int64_t p = 0, b = 0;
    if (r == 0) r = rs->MoveFirst();
    if (r == 0) r = rs->GetInteger("CommPort", p);
    if (r == 0) r = rs->GetInteger("Bite", b);
    access->ReleaseSlot(kComSetSlot);
    if (r != 0) {
        ReportStoreFailure(m, "读取串口设置失败", r, access->LastErrorText());
        return r;
    }
    // 0 means nothing was chosen yet: the settings panel then shows the first entry of each list
    // (COM1, 9600), and that is what is tried first. A value outside the lists cannot be opened.
    if (p == 0) p = 1;
    if (b == 0) b = 1;
    if (p < 1 || p > 5 || b < 1 || b > 2) return result::kNoCurrentRecord;
    port = static_cast<int>(p);
    selector = static_cast<int>(b);
    return 0;
}

void StoreIntake::WriteSerialSettings(ControlModule& m, int port, int selector) {
    StoreAccess* access = handle_->Open();
    if (access == nullptr) return;
    int r = access->OpenAccess(Selection::Of("ComSet"), kComSetSlot);
    RecordSet* rs = access->Slot(kComSetSlot);
    if (r == 0 && rs->Eof()) r = rs->AddNew();
    if (r == 0) r = rs->SetInteger("CommPort", port);
    if (r == 0) r = rs->SetInteger("Bite", selector);
    if (r == 0) r = rs->Update();
    const std::string detail = rs->LastErrorText();
    access->ReleaseSlot(kComSetSlot);
    if (r != 0) ReportStoreFailure(m, "保存串口设置失败", r, detail);
}

int StoreIntake::ClearStoreTables(ControlModule& m, std::uint32_t flags) {
    StoreAccess* access = handle_->Open();
    if (access == nullptr) return result::kStoreOpenFailed;
    const int r = access->ClearStoreTables(kClearSlot, flags, clearProgress_);
    if (r != 0) ReportStoreFailure(m, "清空数据库失败", r, access->LastErrorText());
    return r;
}

int StoreIntake::BookSignature(ControlModule& m, const std::string& typedText) {
    if (handle_->Open() == nullptr) return result::kStoreOpenFailed;
    const int r = writers_->BookSignature(typedText);
    if (r != 0) ReportStoreFailure(m, "保存签名数据失败", r, writers_->LastErrorText());
    return r;
}

std::shared_ptr<StoreConnection> StoreIntake::JournalStore() {
    StoreAccess* access = handle_->Open();
    return access != nullptr ? access->Connection() : nullptr;
}

std::unique_ptr<AnswerIntake> MakeStoreIntake() { return std::make_unique<StoreIntake>(); }

}  // namespace karvex
