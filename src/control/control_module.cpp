#include "control/control_module.h"

#include <sys/stat.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QLoggingCategory>

#include <cstdlib>
#include <filesystem>

#include "commands/catalogue.h"
#include "convert/conversions.h"
#include "link/frame_codec.h"
#include "link/result_codes.h"
#include "link/serial_link.h"
#include "control/line_recovery.h"
#include "control/result_box.h"
#include "control/store_intake.h"
#include "store/store_connection.h"
#include "store/store_key.h"
#include "journal/sales_journal.h"
#include "store/store_service.h"

Q_LOGGING_CATEGORY(lcLink, "karvex.link", QtWarningMsg)

namespace karvex {

namespace {
constexpr const char* kTimeoutLine = "通讯超时            Fail";
constexpr const char* kPortLostLine = "串口设备已断开        Fail";

std::string HexLine(const Bytes& bytes) {
    std::string out;
    BytesToSpacedHex(bytes, out);
    return out;
}
}  // namespace

ControlModule::ControlModule(Settings settings)
    : settings_(std::move(settings)),
      paths_(ResolveDataPaths(settings_)),
      log_(std::make_unique<CommandLog>(paths_.logPath)),
      ui_(std::make_shared<SilentUserInterface>()),
      hooks_(std::make_shared<ConsoleHooks>()),
      store_(std::make_shared<StoreService>()),
      intake_(MakeStoreIntake(store_)) {
    store_->SetReports({[this](const std::string& line) { log_->WriteLogLine(line); },
                        [this](int code, const std::string& detail) { SetResultDetail(code, detail); }});
    log_->Open();
    SetCommandResult(0);
    if (settings_.tick.count() > 0) tick_ = settings_.tick;
    InstallClock(settings_);
}

ControlModule::~ControlModule() {
    link_.reset();
    log_->Close();
    if (clockInstalled_) SetClock({});
}

void ControlModule::InstallClock(const Settings& settings) {
    if (settings.clock) {
        SetClock([clock = settings.clock] { return LocalTimeAt(clock()); });
        clockInstalled_ = true;
    } else if (clockInstalled_) {
        SetClock({});
        clockInstalled_ = false;
    }
}

void ControlModule::ApplySettings(Settings settings) {
    if (!store_->IsOpen()) {
        DataPaths paths = ResolveDataPaths(settings);
        if (paths.logPath != paths_.logPath) {
            const bool open = log_->IsOpen();
            log_->Close();
            log_ = std::make_unique<CommandLog>(paths.logPath);
            if (open) log_->Open();
        }
        paths_ = std::move(paths);
    }
    if (settings.tick.count() > 0) SetTickInterval(settings.tick);
    if (link_) {
        link_->SetDevices(settings.devices);
        link_->SetTraceFile(settings.traceFile);
    }
    InstallClock(settings);
    settings_ = std::move(settings);
}

void ControlModule::SetCommandResult(int code) {
    // A refused second command tells its caller by its return value; the word still describes the first.
    if (code == result::kCommandInFlight && InFlight()) return;
    commandResult_ = code;
    commandResultText_ = CodeText(code);
    if (!detail_.empty() && code == detailCode_)
        commandResultText_ += "：" + detail_;
    else if (const std::string line = LineProblem(code); !line.empty())
        commandResultText_ += "：" + line;
    detail_.clear();
}

std::string ControlModule::WantedDevice() const {
    return wantedPort_ > 0 ? SerialDeviceForPort(wantedPort_, settings_.devices) : std::string();
}

bool ControlModule::DevicePresent() const {
    const std::string device = WantedDevice();
    struct stat st {};
    return !device.empty() && ::stat(device.c_str(), &st) == 0;
}

std::string ControlModule::LineProblem(int code) const {
    if (wantedPort_ <= 0) return {};
    const std::string port = "Comm" + std::to_string(wantedPort_) + " " + WantedDevice();
    switch (code) {
    case result::kTimeout: return port + " 无应答（请检查税控器电源、串口线和串口号）";
    case result::kWrongAnswerLength:
    case result::kCrcError: return port + " 应答有误（请检查串口线和波特率）";
    case result::kNoOpenPort:
    case result::kPortLost:
    case SerialLink::kErrorPortNotFound:
    case SerialLink::kErrorPortInUse:
    case SerialLink::kErrorPortOther:
        if (!DevicePresent())
            return port + " 设备不存在（请检查串口设备或 KARVEX_COM" + std::to_string(wantedPort_) + "）";
        if (PortOpen()) return {};
        if (code == SerialLink::kErrorPortInUse) return port + " 已被占用或没有使用权限";
        return port + " 未打开";
    default: return {};
    }
}

void ControlModule::SetLineRecovery(bool on, std::function<void()> restored, std::chrono::milliseconds poll) {
    recoveryOn_ = on;
    restored_ = std::move(restored);
    if (!recovery_) {
        LineRecovery::Hooks hooks;
        hooks.devicePresent = [this] { return DevicePresent(); };
        hooks.reopen = [this] {
            // A command of the host's own may be under way on a line that is opening: not now.
            if (InFlight() || wantedPort_ <= 0) return static_cast<int>(result::kCommandInFlight);
            return OpenComm(wantedPort_, wantedSelector_, kCallerHost);
        };
        hooks.restored = [this] {
            log_->WriteLogLine("串口 Comm" + std::to_string(wantedPort_) + " " + WantedDevice() + " 已重新打开");
            if (restored_) restored_();
        };
        recovery_ = std::make_unique<LineRecovery>(std::move(hooks));
    }
    recovery_->SetPollInterval(poll);
    if (on)
        KeepLineInView();
    else
        recovery_->Stop();
}

bool ControlModule::LineRecovering() const { return recoveryOn_ && recovery_ && recovery_->Running(); }

void ControlModule::KeepLineInView() {
    if (recoveryOn_ && recovery_ && wantedPort_ > 0 && !PortOpen()) recovery_->Start();
}

void ControlModule::SetResultDetail(int code, std::string detail) {
    detailCode_ = code;
    detail_ = std::move(detail);
}

std::string ControlModule::CodeText(int code) const {
    std::string text = ResultCodeText(code);
    if (code == result::kUnknownProcessorCode) text += "（错误代码 " + std::to_string(command_.refusal_code) + "）";
    return text;
}

void ControlModule::SetUserInterface(std::shared_ptr<UserInterface> ui) {
    ui_ = ui ? std::move(ui) : std::make_shared<SilentUserInterface>();
}

void ControlModule::SetConsoleHooks(std::shared_ptr<ConsoleHooks> hooks) {
    hooks_ = hooks ? std::move(hooks) : std::make_shared<ConsoleHooks>();
}

void ControlModule::SetIntake(std::unique_ptr<AnswerIntake> intake) {
    if (intake) intake_ = std::move(intake);
}

int ControlModule::FormLoad() {
    if (!link_) {
        SerialLink::Handlers h;
        h.frame = [this](const ReceivedFrame& f) { return OnFrame(f); };
        h.timeout = [this] { OnTimeout(); };
        h.lost = [this](const std::string& reason, bool waiting) { OnPortLost(reason, waiting); };
        link_ = std::make_unique<SerialLink>(std::move(h));
        link_->SetDevices(settings_.devices);
        link_->SetTraceFile(settings_.traceFile);
        link_->SetTickInterval(tick_);
        if (quiet_) link_->SetQuietInterval(quiet_->first, quiet_->second);
    }
    if (!log_->IsOpen()) log_->Open();
    int r = OpenStore();
    if (r == 0) intake_->ClearQueue(*this);
    return r;
}

int ControlModule::OpenStore() {
    if (store_->IsOpen()) return 0;
    if (paths_.source == DataDirSource::Missing) {
        log_->WriteLogLine("没有可用的数据目录：HOME 未设置，程序目录 " + LibraryDirectory() +
                           " 不能写入；请用 KARVEX_DATA_DIR 指定数据目录");
        return result::kNoDataDirectory;
    }
    std::filesystem::path dir = paths_.appDir;
    if (dir.empty()) dir = std::filesystem::path(paths_.storePath).parent_path();
    std::string why;
    std::string key = StoreKeyFor(settings_, why);
    if (key.empty()) {
        log_->WriteLogLine(why);
        return result::kStoreKeyFileFailed;
    }
    const int opened = store_->Open(dir, key);
    WipeText(key);
    if (opened != 0) return opened;
    if (const auto conn = store_->Connection(); conn && conn->RekeyedFromBuiltIn())
        log_->WriteLogLine("存储文件 " + paths_.storePath + " 已由内置密钥改为本机密钥加密");
    // A store away from the library's directory is easily looked for in the wrong place, and one inside a
    // system directory is easily lost with a package.
    const std::string library = LibraryDirectory();
    if (paths_.source == DataDirSource::HomeFallback)
        log_->WriteLogLine("程序目录 " + library + " 不能写入或属于系统目录，使用数据库 " + paths_.storePath);
    else if (paths_.source == DataDirSource::SystemState)
        log_->WriteLogLine("程序安装在系统目录 " + library + "，使用数据库 " + paths_.storePath);
    else if (paths_.source == DataDirSource::Library && InSystemPrefix(library))
        log_->WriteLogLine("使用程序目录中已有的数据库 " + paths_.storePath);
    return 0;
}

int ControlModule::FormUnload() {
    // A click taken while a queued answer is replayed may lead here: the store and the port stay until it is
    // done. Between the frames of an answer stored as it arrives, the answer is given up instead.
    if (handlingAnswer_ > 0) return result::kCommandInFlight;
    if (recovery_) recovery_->Stop();
    if (link_) {
        link_->Close();
        link_.reset();
    }
    SetInFlight(false);
    hooks_->RestoreHostWindow();
    log_->CloseViewer();
    log_->Close();
    return store_->Close();
}

void ControlModule::SetConsoleShown(bool modal, std::int64_t hostWindow) {
    consoleModal_ = modal ? 1 : 0;
    hostWindow_ = hostWindow;
}

int ControlModule::OpenComm(int port, int selector, std::uint16_t caller) {
    if (handlingAnswer_ > 0) return result::kCommandInFlight;
    if (selector != 1 && selector != 2) {
        ui_->ShowMessage("串口设置错误", "无效的串口波特率");
        return result::kNoOpenPort;
    }
    if (port < 1 || port > 5) {
        ui_->ShowMessage("串口设置错误", "无效的端口号");
        return result::kNoOpenPort;
    }
    if (!link_) FormLoad();
    // Another device: whatever was awaited on the old one will not come.
    if (link_->PortNumber() != port) SetInFlight(false);
    wantedPort_ = port;
    wantedSelector_ = selector;
    std::string error;
    int r = link_->Open(port, selector, &error);
    if (r != 0) {
        if (caller == kCallerConsole) ui_->ShowMessage("提示", "Comm" + std::to_string(port) + " " + error);
        SetStatus(&StatusTexts::port, "无");
        KeepLineInView();
        return r;
    }
    // A port just opened may still carry an answer the processor owed another process.
    lineClean_ = false;
    knownCounter_.clear();
    processorChecked_ = false;
    storedPort_ = port;
    storedSelector_ = selector;
    SetStatus(&StatusTexts::port, "COM" + std::to_string(port));
    return 0;
}

bool ControlModule::PortOpen() const { return link_ && link_->IsOpen(); }

bool ControlModule::InFlight() const {
    // The time-out runs from the send to the answer; only the replay of a queued answer runs without it.
    return inFlight_ && PortOpen() && (link_->TimeoutRunning() || handlingAnswer_ > 0);
}

void ControlModule::SetInFlight(bool inFlight) {
    if (inFlight_ == inFlight) return;
    inFlight_ = inFlight;
    // A command that ends before the last frame of its answer leaves nothing of the answer behind.
    if (!inFlight && intake_) intake_->AnswerCutShort(*this);
    // However the command ended (its answer stored, a time-out, a lost port), a progress shown ends with it.
    if (!inFlight && progress_.Active()) ReportProgress(progress_.Done());
    hooks_->CommandInFlightChanged(inFlight);
}

void ControlModule::ReportProgress(const Progress& progress) {
    hooks_->ProgressChanged(progress);
    if (progressCallback_) progressCallback_(progress);
}

void ControlModule::SetStoring(bool storing) {
    if (storing_ == storing) return;
    storing_ = storing;
    hooks_->StoringChanged(storing);
}

int ControlModule::RefuseSecondCommand() const { return InFlight() ? result::kCommandInFlight : result::kSuccess; }

CommandInFlight ControlModule::NewCommand(std::uint8_t code, std::uint16_t caller) const {
    CommandInFlight command(code, caller);
    command.replies = command_.replies;
    return command;
}

int ControlModule::Start(CommandInFlight command, const Bytes& frame) {
    if (!link_ || !link_->IsOpen()) return result::kNoOpenPort;
    if (const int busy = RefuseSecondCommand(); busy != 0) {
        // A second request now would take the first one's answer (or the rest of it) for its own.
        qCInfo(lcLink) << "request refused: command" << Qt::hex << command_.code << "still in flight";
        return busy;
    }
    if (const int doubt = RefuseWhileSaleInDoubt(frame); doubt != 0) return doubt;
    qCDebug(lcLink) << ">>" << HexLine(frame).c_str();
    command_.frames_received = 0;
    int r = link_->SendFrame(frame);
    if (r == 0) {
        knownCounter_.clear();
        command.frames_received = 0;
        command_ = std::move(command);
        expected_ = ExpectedAnswer(frame);
        SetInFlight(true);
        hooks_->SetBusyCursor(true);
    }
    return r;
}

int ControlModule::RefuseWhileSaleInDoubt(const Bytes& frame) {
    // Whatever changes the processor could move its counter or change the invoice an unsettled sale is
    // judged by (a void of that very invoice, say), so it waits until every sale is settled; the queries
    // that settle them still go out. Every process that shares the store shares its journal.
    const CommandInfo* info = frame.size() > 2 ? FindCommand(frame[2]) : nullptr;
    if (info == nullptr || !info->changesProcessor || !store_) return 0;
    const auto conn = store_->Connection();
    if (!conn) return 0;
    SalesJournal journal(*conn);
    if (!journal.HasUnresolved(saleRowSending_)) return 0;
    qCInfo(lcLink) << "request refused: a sale is in doubt, command" << Qt::hex << frame[2];
    SetCommandResult(result::kSaleInDoubt);
    return result::kSaleInDoubt;
}

void ControlModule::SetTickInterval(std::chrono::milliseconds interval) {
    tick_ = interval;
    if (link_) link_->SetTickInterval(interval);
}

void ControlModule::SetQuietInterval(std::chrono::milliseconds quiet, std::chrono::milliseconds bound) {
    quiet_ = std::make_pair(quiet, bound);
    if (link_) link_->SetQuietInterval(quiet, bound);
}

IssueContext ControlModule::MakeIssueContext(std::uint16_t caller) {
    return IssueContext{
        *ui_,
        // An issuer knows nothing of earlier answers: its command starts from the reply values the last
        // one left.
        [this](CommandInFlight command, const Bytes& f) {
            command.replies = command_.replies;
            return Start(std::move(command), f);
        },
        caller,
        [this](const std::string& text) { CueCommandSendFinish(text); },
        [this](const std::string& typed) { return store_->BookSigning(typed); },
        {},
    };
}

void ControlModule::CueCommandSendFinish(const std::string& displayText) {
    log_->LogSentCommand("发送" + displayText + "命令");
}

int ControlModule::RunMenuCommandForHost(CommandCode code) {
    if (!ConsoleLoaded()) FormLoad();
    SetCommandResult(result::kCommandUnderWay);
    // The console's handler, but the answer belongs to a host call.
    IssueResult r = IssueMenuCommand(MakeIssueContext(kCallerHost), code);
    if (!r.sent) {
        SetCommandResult(r.code);
        return r.code;
    }
    // Initializing, the monitor echo and the user information go on with follow-ups of their own; the
    // host's call ends with the last of them.
    return WaitForCommand(true);
}

int ControlModule::IssueBare(std::uint8_t code, std::uint16_t callerMode) {
    return StartBare(NewCommand(code, callerMode));
}

int ControlModule::StartBare(CommandInFlight command) {
    const std::uint8_t code = command.code;
    const std::optional<CommandCode> known = ToCommandCode(code);
    const BuiltFrame built =
        known ? BuildRequest(*known, NoPayload{}, SenderOf(command.caller)) : BuiltFrame{result::kCommandTypeError, {}};
    int r = SendBuiltFrame([&](const Bytes& f) { return Start(std::move(command), f); }, built);
    if (r != 0) return r;
    CueCommandSendFinish(CommandDisplayText(code));
    return 0;
}

void ControlModule::RunSuccessStep(SuccessStep step, std::uint16_t callerMode) {
    switch (step) {
    case SuccessStep::None: break;
    case SuccessStep::MarkOnline:
        online_ = true;
        SetStatus(&StatusTexts::link, "已联机");
        break;
    case SuccessStep::EmptyStore: store_->EmptyTables(StoreTableFlags::kAfterInitialize); break;
    case SuccessStep::ShowInstallList:
        if (callerMode == kCallerInstall) hooks_->ShowRollInstallation();
        break;
    case SuccessStep::EndInstallation:
        hooks_->HidePanels();
        hooks_->HideConsole();
        hooks_->RestoreHostWindow();
        break;
    }
}

int ControlModule::SendFollowUp(const FollowUp& follow, std::uint16_t callerMode) {
    if (!follow.Present()) return 0;
    if (follow.when == FollowWhen::CallerIsHost && callerMode != kCallerHost) return 0;
    if (follow.when == FollowWhen::RollsLeft && command_.chain.rolls_to_dispense <= 0) return 0;
    std::uint16_t caller = callerMode;
    switch (follow.caller) {
    case FollowCaller::None:
    case FollowCaller::Same: break;
    case FollowCaller::Host: caller = kCallerHost; break;
    case FollowCaller::PrintDataChain: caller = kCallerPrintDataChain; break;
    case FollowCaller::RollSummaryChain: caller = kCallerRollSummaryChain; break;
    }
    return StartBare(command_.FollowUp(ToByte(follow.next), caller));
}

void ControlModule::CompleteCommand(std::uint8_t code, const std::string& displayText, int result,
                                    std::uint16_t callerMode) {
    command_.result = result;
    SetCommandResult(result);
    lineClean_ = result == result::kSuccess || result == result::kChainContinues;
    if (result == result::kSuccess && code == ToByte(CommandCode::CurrentInvoice))
        knownCounter_ = command_.replies.current_inv_number;
    const std::string name = CommandName(code);
    hooks_->SetBusyCursor(false);
    int followUp = 0;
    if (result == result::kSuccess) {
        if (callerMode == kCallerConsole) ui_->ShowMessage(name, displayText.empty() ? name + "成功" : displayText);
        const CommandInfo* row = FindCommand(code);
        if (row != nullptr) {
            RunSuccessStep(row->onSuccess, callerMode);
            followUp = SendFollowUp(row->afterSuccess, callerMode);
        }
    } else if (result == result::kChainContinues) {
        if (const CommandInfo* row = FindCommand(code)) followUp = SendFollowUp(row->afterChain, callerMode);
    } else if (result == result::kUnknownProcessorCode && callerMode == kCallerConsole) {
        // The table's message alone would not tell which byte the processor sent.
        ui_->ShowMessage(ResultBoxTitle(name),
                         ResultBoxText(result) + "（错误代码 " + std::to_string(command_.refusal_code) + "）");
        hooks_->HidePanels();
    } else {
        if (callerMode == kCallerConsole) ShowResultBox(*ui_, result, name);
        hooks_->HidePanels();
    }
    // A chain whose next link cannot be sent must end with that code; otherwise a waiting host call
    // would wait on "chain continues" for ever. A command that succeeded keeps its 0: only its
    // refreshing follow-up is missing.
    if (followUp != 0 && result == result::kChainContinues) SetCommandResult(followUp);
}

void ControlModule::ReportPacketResult(std::uint8_t code, int result, const std::string& packetText) {
    std::string text = CommandName(code);
    int packetNumber = -1;
    if (!packetText.empty()) {
        text += packetText;
        packetNumber = std::atoi(packetText.c_str());
    }
    std::string line;
    if (result == result::kSuccess || result == result::kChainContinues) {
        line = text + "成功";
    } else if (result == result::kAnswerNextCommand) {
        line = "税控器请求发送下一命令";
    } else if (result == result::kAnswerKeepWaiting) {
        line = "税控器请求继续等待";
    } else {
        line = text + "失败 Err" + CodeText(result);
    }
    log_->ReplaceLastLogLine(line);
    if (packetNumber > 0) {
        log_->WriteLogLine("等待处理下一数据包");
    } else if (packetNumber == 0) {
        log_->WriteLogLine("数据处理完成");
    }
}

void ControlModule::ShowPacketProgress(int count, int packetsToFollow, const std::string& label, bool receiving) {
    std::string line = label + "包号";
    std::size_t width = GbkByteLength(label);
    if (width < 12) line.append(12 - width, ' ');
    // Lines are numbered by the frames handled so far: the frame's own count of packets to follow is a
    // single byte and stays at 255 for as long as more than 255 remain.
    line += PadPacketNumber(count) + "OK";
    log_->ReplaceLastLogLine(line);
    if (packetsToFollow != 0) {
        log_->ShowViewerLine(receiving ? "接收下一个数据包..." : "处理下一个数据包...");
        SetStatus(&StatusTexts::packets,
                  std::string(receiving ? "接收包数： " : "处理包数： ") + PadPacketNumber(count));
    } else if (receiving) {
        log_->WriteLogLine(label + "接收完成");
        log_->WriteLogLine("开始处理数据包");
        log_->ShowViewerLine("处理第一个数据包...");
    } else {
        log_->WriteLogLine(label + "处理完成");
        SetStatus(&StatusTexts::packets, "处理包数： " + PadPacketNumber(count));
    }
    // After the packet count, so that whoever is told sees the status bar agree with the figures.
    if (receiving) ReportProgress(progress_.Frame(label, count, packetsToFollow, progressClock_()));
}

int ControlModule::WaitForCommand(bool throughChain) {
    for (;;) {
        int r = commandResult_;
        const bool pending = r == result::kCommandUnderWay || (throughChain && r == result::kChainContinues);
        if (!pending && !(throughChain && InFlight())) return r;
        if (!QCoreApplication::instance()) return r;  // nothing could ever change the word
        // Only an answer or the time-out can end the wait; with no time-out running (nothing was sent, or
        // the port went away) the word would never change, so the wait ends here instead of hanging.
        if (!link_ || !link_->TimeoutRunning()) {
            if (!pending) return r;
            SetCommandResult(result::kTimeout);
            return result::kTimeout;
        }
        // Sleeps until the port, a timer or the window system has something; no busy loop.
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
}

bool ControlModule::OnFrame(const ReceivedFrame& frame) {
    qCDebug(lcLink) << "<<" << HexLine(frame.bytes).c_str();
    if (frame.IsWait()) return true;  // the processor asks for patience; the count was restarted
    // The completion step may start the next link of a chain, which takes the module's command over: what
    // the completion needs of this one is read before.
    const std::uint8_t code = command_.code;
    if (const int match = MatchAnswer(expected_, frame.bytes); match != result::kSuccess) {
        return RefuseMismatchedAnswer(code, match);
    }
    ++command_.frames_received;
    struct Handling {
        int& depth;
        explicit Handling(int& d) : depth(d) { ++depth; }
        ~Handling() { --depth; }
    } handling(handlingAnswer_);
    if (FindAnswerLayout(code).handling == FrameHandling::kPerFrame) {
        // A self-test answers with one frame per item, each taken up and completed on its own.
        const bool last = frame.packetsToFollow == 0;
        if (last) link_->StopReceiving();
        IntakeOutcome o = intake_->AcceptSingleAnswer(*this, command_, frame.bytes);
        if (last) SetInFlight(false);
        CompleteCommand(code, o.displayText, o.result, command_.caller);
        return !last;
    }
    if (command_.frames_received > 1 || frame.packetsToFollow != 0) {
        intake_->SaveAnswerPacket(*this, command_, frame);
        if (frame.packetsToFollow != 0) return true;
        link_->StopTimeout();
        IntakeOutcome o = intake_->AcceptStoredAnswers(*this, command_);
        command_.frames_received = 0;
        SetInFlight(false);
        CompleteCommand(code, o.displayText, o.result, command_.caller);
        return false;
    }
    link_->StopReceiving();
    IntakeOutcome o = intake_->AcceptSingleAnswer(*this, command_, frame.bytes);
    command_.frames_received = 0;
    SetInFlight(false);
    CompleteCommand(code, o.displayText, o.result, command_.caller);
    return false;
}

bool ControlModule::RefuseMismatchedAnswer(std::uint8_t code, int result) {
    // A frame of an earlier request: neither it nor anything queued with it is this command's answer, and
    // more of its kind may follow, so the line must fall quiet before the next request.
    qCWarning(lcLink) << "answer refused: it does not answer command" << Qt::hex << code;
    lineClean_ = false;
    link_->StopReceiving();
    link_->Unsettle();
    intake_->ClearQueue(*this);
    command_.frames_received = 0;
    ReportPacketResult(code, result, "");
    SetInFlight(false);
    CompleteCommand(code, "", result, command_.caller);
    return false;
}

void ControlModule::OnTimeout() {
    lineClean_ = false;
    online_ = false;
    log_->ReplaceLastLogLine(kTimeoutLine);
    SetStatus(&StatusTexts::link, "超时断开");
    hooks_->SetBusyCursor(false);
    command_.frames_received = 0;
    command_.result = result::kTimeout;
    SetInFlight(false);
    SetCommandResult(result::kTimeout);
}

void ControlModule::OnPortLost(const std::string& reason, bool waiting) {
    qCWarning(lcLink) << "serial device lost:" << reason.c_str();
    lineClean_ = false;
    knownCounter_.clear();
    processorChecked_ = false;
    SetStatus(&StatusTexts::port, "无");
    command_.frames_received = 0;
    SetInFlight(false);
    hooks_->SetBusyCursor(false);
    const int r = commandResult_;
    if (waiting || r == result::kCommandUnderWay || r == result::kChainContinues) {
        log_->ReplaceLastLogLine(kPortLostLine);
        command_.result = result::kPortLost;
        SetCommandResult(result::kPortLost);
    }
    KeepLineInView();
}

void ControlModule::SetStatus(std::string StatusTexts::*field, std::string text) {
    status_.*field = std::move(text);
    hooks_->StatusChanged();
}

}  // namespace karvex
