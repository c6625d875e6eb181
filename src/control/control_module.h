#pragma once
// Everything the loaded library shares: the result word with its message, the command in flight (with its
// caller and reply values), the paths, the command log, and the console core that owns the serial link. One
// object, owned by the Fiscal control.
#include <QObject>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "commands/answer_intake.h"
#include "commands/answer_match.h"
#include "commands/answer_records.h"
#include "commands/command_in_flight.h"
#include "commands/decoders.h"
#include "commands/issuers.h"
#include "control/packet_progress.h"
#include "control/paths.h"
#include "karvex/settings.h"
#include "link/frame_receiver.h"
#include "link/user_interface.h"
#include "log/command_log.h"

namespace karvex {

class Fiscal;
class SerialLink;
class AnswerIntake;
class LineRecovery;
class StoreService;

// Status-bar texts of the console, kept here so that a window can show them and tests can read them.
struct StatusTexts {
    std::string link;     // panel 2: "已联机", "超时断开"
    std::string port;     // panel 4: "COM1", "无"
    std::string packets;  // panel 5: packet progress
};

// What the completion step asks of the console window; the widget console implements it, a headless host
// leaves it at the default (nothing to show).
class ConsoleHooks {
public:
    virtual ~ConsoleHooks() = default;
    virtual void HidePanels() {}
    // The rolls the processor reported are in the store: the installation panel lists them.
    virtual void ShowRollInstallation() {}
    virtual void HideConsole() {}
    virtual void RestoreHostWindow() {}
    virtual void StatusChanged() {}
    virtual void SetBusyCursor(bool /*busy*/) {}
    virtual void ShowSelfTestVerdict(SelfTestBox /*box*/, const std::string& /*text*/) {}
    // A command went out (true) or ended (false): the console offers no other command meanwhile.
    virtual void CommandInFlightChanged(bool /*inFlight*/) {}
    // A frame of a multi-packet answer came, or the answer ended (`done`).
    virtual void ProgressChanged(const Progress& /*progress*/) {}
    // A queued answer is being stored (true) or is stored (false). Input is taken meanwhile: whatever
    // would reach into the store or the port waits for the end.
    virtual void StoringChanged(bool /*storing*/) {}
};

// The result of taking up one answer (or a whole queued answer).
struct IntakeOutcome {
    int result = 0;
    std::string displayText;
};

class ControlModule : public QObject {
    Q_OBJECT
public:
    // Takes its data directory, store key, port devices, tick, trace file and clock from `settings`; the
    // environment is not read here (Settings::FromEnvironment is the caller's choice).
    explicit ControlModule(Settings settings = {});
    ~ControlModule() override;

    // ----- settings
    const Settings& GetSettings() const { return settings_; }
    // Replaces the settings. The port devices and the trace file count from the next port opening, the store
    // key from the next FormLoad; the data directory moves (with the command log) only while the store is
    // closed. A tick of zero leaves the tick as it is; a clock replaces the library clock while the module
    // lives.
    void ApplySettings(Settings settings);

    // ----- shared result word
    // The refusal of a second command (136) leaves the word to the command in flight.
    void SetCommandResult(int code);
    // What lies behind a code that is about to become the result (a path, the engine's text): the next
    // SetCommandResult with that code puts it after the message, "0x5B：数据库对象打开失败：…". Any
    // result stored after that one drops it.
    void SetResultDetail(int code, std::string detail);
    int GetCommandResult() const { return commandResult_; }
    const std::string& CommandResultText() const { return commandResultText_; }
    // The code text of `code` as messages show it: for 135 with the refused code byte it stands for.
    std::string CodeText(int code) const;

    // ----- the command in flight
    // The command in flight, or the last one once it ended (its reply values are what the host reads).
    const CommandInFlight& Command() const { return command_; }
    // The reply values the host reads, for what settles a command outside its answer: the sales journal
    // puts back the issue reply of a sale it already knows, or the one it rebuilt for a lost answer.
    ReplyValues& Replies() { return command_.replies; }
    // A new command for `code` started by `caller`, carrying the reply values the last one left.
    CommandInFlight NewCommand(std::uint8_t code, std::uint16_t caller) const;
    // Every command starts here, and nowhere else: while another one waits for its answer, `command` is
    // dropped and the result is 136 (the one in flight keeps its caller, reply values and result word);
    // without an open port 132. Once the frame is written the module owns `command` until its answer is
    // taken up, it times out or the port goes.
    int Start(CommandInFlight command, const Bytes& frame);
    // 136 while a command is in flight, else 0: the one rule for refusing a second command, asked by
    // Start and, before they look at their arguments or the result word, by the host calls.
    // An answer's one transaction is open (an upload stored as it arrives, or a queued answer replayed):
    // whatever would reach into the store waits for it.
    void SetStoring(bool storing);
    bool Storing() const { return storing_; }
    // How often storing lets the window take its input (tests shorten it to every frame).
    void SetStoringYieldInterval(std::chrono::milliseconds interval) { storingYield_ = interval; }
    std::chrono::milliseconds StoringYieldInterval() const { return storingYield_; }
    int RefuseSecondCommand() const;
    // True when the last exchange ended with an answer taken: no time-out, refusal, answer to something else
    // or port opening since. A refusal after an unclean exchange may be owed to an earlier request.
    bool LineClean() const { return lineClean_; }
    // The processor's current invoice number when its answer was the last exchange and nothing has been sent
    // since; empty otherwise.
    const std::string& KnownCounter() const { return knownCounter_; }
    // The load compared the processor's invoices with the journal since the port was opened: nobody else can
    // have issued since, so a first sale need not look again.
    bool ProcessorChecked() const { return processorChecked_; }
    void SetProcessorChecked() { processorChecked_ = true; }
    // The sales journal row whose own request may go out while it is unsettled (0: none). Every other
    // command that changes the processor is refused with 143 while a row is unsettled.
    void SetSaleRowSending(std::int64_t row) { saleRowSending_ = row; }
    // From the start of a command until its answer is taken up (the whole answer of a multi-packet or
    // self-test command), its time-out or the loss of the port.
    bool InFlight() const;

    // ----- the invoice record FiscalMakeInv fills and sends; reused by every call
    InvoiceRequest& HostInvoice() { return hostInvoice_; }

    // ----- the console window as the host last showed it (ShowFiscalForm)
    void SetConsoleShown(bool modal, std::int64_t hostWindow);
    std::int32_t ConsoleModal() const { return consoleModal_; }
    std::int64_t HostWindow() const { return hostWindow_; }

    // ----- paths and log
    const DataPaths& Paths() const { return paths_; }
    CommandLog& Log() { return *log_; }

    // ----- user interface and console window hooks
    UserInterface& Ui() { return *ui_; }
    void SetUserInterface(std::shared_ptr<UserInterface> ui);
    ConsoleHooks& Hooks() { return *hooks_; }
    void SetConsoleHooks(std::shared_ptr<ConsoleHooks> hooks);

    // ----- console core (created by FormLoad, dropped by FormUnload)
    bool ConsoleLoaded() const { return link_ != nullptr; }
    // Creates the link and opens the store; 0 or the store's code.
    int FormLoad();
    // Opens the store in the data directory (nothing when it is open); 0 or the store's code, logged.
    int OpenStore();
    // Shut-down of the console: timers, viewer, log, store compaction. 0 or the store's code.
    // 136 (command in flight), and nothing closed, while a queued answer is being stored.
    int FormUnload();

    // ----- link
    // Opens the port; a failure is shown in a box when the console (`caller`) asked.
    int OpenComm(int port, int selector, std::uint16_t caller = kCallerConsole);
    bool PortOpen() const;
    void SetTickInterval(std::chrono::milliseconds interval);
    std::chrono::milliseconds TickInterval() const { return tick_; }
    // How long the line must be silent before a request follows a time-out, a lost port, an opening or a
    // refused answer, and how long a request waits for that at most. Unset, both follow the tick.
    void SetQuietInterval(std::chrono::milliseconds quiet, std::chrono::milliseconds bound);
    const StatusTexts& Status() const { return status_; }
    // The port is open and the processor accepted the on-line command, with no time-out since.
    bool ProcessorOnline() const { return online_ && PortOpen(); }
    // The serial settings the link was last opened with (ComSet: CommPort, Bite).
    int StoredPort() const { return storedPort_; }
    int StoredSelector() const { return storedSelector_; }
    // The port last asked for, opened or not (0 before any), and its device.
    int WantedPort() const { return wantedPort_; }
    std::string WantedDevice() const;
    // Whether the wanted port's device node exists.
    bool DevicePresent() const;

    // Line recovery: while on, a line whose device went away, or that could not be opened, is opened again
    // by itself once its device is back (looked for every `poll`; failed opens wait longer each time), and
    // `restored` runs after each reopen, on this thread. Off by default: an interactive host decides itself.
    void SetLineRecovery(bool on, std::function<void()> restored = {},
                         std::chrono::milliseconds poll = std::chrono::milliseconds(500));
    bool LineRecoveryOn() const { return recoveryOn_; }
    // The line is down and being looked after (recovery on and not open).
    bool LineRecovering() const;
    // For a code of the line (a time-out, a port that is not open or went away ...): which port and device,
    // and what to look at ("Comm1 /dev/ttyS0 无应答（…）"); empty for other codes or before any port.
    std::string LineProblem(int code) const;

    // The context the console issuers run in; their commands answer `caller`.
    IssueContext MakeIssueContext(std::uint16_t caller = kCallerConsole);

    // Console cue after a successful send: "发送" + text + "命令", then the waiting line.
    void CueCommandSendFinish(const std::string& displayText);
    // Ends a command: result word, message, follow-ups (the next link of a chain carries the chain step
    // and reply values of the command in flight).
    void CompleteCommand(std::uint8_t code, const std::string& displayText, int result, std::uint16_t callerMode);
    // Logs the judgement of one answer frame.
    void ReportPacketResult(std::uint8_t code, int result, const std::string& packetText);
    // Progress lines of a multi-packet answer.
    void ShowPacketProgress(int count, int packetsToFollow, const std::string& label, bool receiving);
    // The host's progress callback (Fiscal::SetProgressCallback) and the clock its figures are measured with.
    void SetProgressCallback(std::function<void(const Progress&)> callback) { progressCallback_ = std::move(callback); }
    void SetProgressClock(std::function<PacketProgress::TimePoint()> clock) { progressClock_ = std::move(clock); }

    // Waits, letting window events run, while the result word says "under way" (and, when `throughChain`,
    // while a chain continues or a command is in flight, which includes the follow-ups the completion step
    // sends after a success). Sleeps between events instead of spinning.
    int WaitForCommand(bool throughChain = false);

    // A console menu command run for a host: marks the word "under way", sends through the console's own
    // handler, waits as a host call through the whole chain of follow-ups and returns the final code (the
    // send's code when nothing went out).
    int RunMenuCommandForHost(CommandCode code);

    // Sends a bare command with its display text, as the console or a host (by the caller mode) may send it;
    // 0 or the send's code.
    int IssueBare(std::uint8_t code, std::uint16_t callerMode);

    // The store the module's answers, serial settings and bookkeeping go to: opened by FormLoad, compacted
    // and closed by FormUnload. The console and the data browser are given the same service.
    StoreService& Store() { return *store_; }

    // The answer intake (CRC and status check, decoding, queueing of multi-packet answers).
    AnswerIntake& Intake() { return *intake_; }
    void SetIntake(std::unique_ptr<AnswerIntake> intake);

private:
    bool OnFrame(const ReceivedFrame& frame);
    bool RefuseMismatchedAnswer(std::uint8_t code, int result);
    void SetInFlight(bool inFlight);
    void OnTimeout();
    void OnPortLost(const std::string& reason, bool waiting);
    void SetStatus(std::string StatusTexts::*field, std::string text);
    void ReportProgress(const Progress& progress);
    // The completion step's share of a command's catalogue row: its own step on success, and the next
    // command of its chain (0 or the send's code).
    void RunSuccessStep(SuccessStep step, std::uint16_t callerMode);
    // Starts a command that has no payload for the sender its caller mode stands for, and logs it; 0 or the
    // start's code (229 when the command table does not let that sender send it).
    int StartBare(CommandInFlight command);
    // 143 for a command that changes the processor while a sale other than the one sending is unsettled.
    int RefuseWhileSaleInDoubt(const Bytes& frame);
    int SendFollowUp(const FollowUp& follow, std::uint16_t callerMode);

    void InstallClock(const Settings& settings);

    Settings settings_;
    bool clockInstalled_ = false;
    int commandResult_ = 0;
    std::string commandResultText_;
    int detailCode_ = 0;
    std::string detail_;
    DataPaths paths_;
    std::unique_ptr<CommandLog> log_;
    std::shared_ptr<UserInterface> ui_;
    std::shared_ptr<ConsoleHooks> hooks_;
    std::unique_ptr<SerialLink> link_;
    std::shared_ptr<StoreService> store_;
    std::unique_ptr<AnswerIntake> intake_;
    std::chrono::milliseconds tick_{1000};
    std::optional<std::pair<std::chrono::milliseconds, std::chrono::milliseconds>> quiet_;
    StatusTexts status_;
    CommandInFlight command_;
    bool inFlight_ = false;
    bool lineClean_ = false;
    bool online_ = false;
    std::string knownCounter_;
    bool processorChecked_ = false;
    std::int64_t saleRowSending_ = 0;
    // Nesting depth of answer handling: the time-out is stopped while a queued answer is replayed.
    int handlingAnswer_ = 0;
    bool storing_ = false;
    std::chrono::milliseconds storingYield_{15};
    AnswerExpectation expected_;
    PacketProgress progress_;
    std::function<void(const Progress&)> progressCallback_;
    std::function<PacketProgress::TimePoint()> progressClock_ = [] { return std::chrono::steady_clock::now(); };
    InvoiceRequest hostInvoice_;
    std::int32_t consoleModal_ = 0;
    std::int64_t hostWindow_ = 0;
    int storedPort_ = 1;
    int storedSelector_ = 1;
    int wantedPort_ = 0;
    int wantedSelector_ = 1;
    bool recoveryOn_ = false;
    std::function<void()> restored_;
    std::unique_ptr<LineRecovery> recovery_;
    // Starts looking for the device again when recovery is on and the line is down.
    void KeepLineInView();
};

// The module behind a control: the console, the tests and the benchmarks work on it; programs built on the
// control use the narrower control/fiscal_access.h.
ControlModule& ModuleOf(Fiscal& fiscal);

// Takes up answer frames for the command in flight, which the module hands over by reference. The plain
// intake checks frames and decodes the answers that are only shown; the store-backed intake also queues
// multi-packet answers and keeps decoded records.
class AnswerIntake {
public:
    virtual ~AnswerIntake() = default;
    // A one-frame answer (or one self-test item).
    virtual IntakeOutcome AcceptSingleAnswer(ControlModule& m, CommandInFlight& command, const Bytes& frame) = 0;
    // Queues one packet of a multi-packet answer (storing it at once where the intake stores answers as they
    // arrive); reports progress through the module.
    virtual void SaveAnswerPacket(ControlModule& m, CommandInFlight& command, const ReceivedFrame& frame) = 0;
    // Decodes every queued packet after the last one came.
    virtual IntakeOutcome AcceptStoredAnswers(ControlModule& m, CommandInFlight& command) = 0;
    // A new link start: forget queued packets.
    virtual void ClearQueue(ControlModule& m) = 0;
    // The command ended before its answer did (a time-out, a lost port, an unload): whatever part of the
    // answer was taken is undone.
    virtual void AnswerCutShort(ControlModule&) {}
};


// The intake that decodes every answer and hands the records to `store` (or keeps nothing when it is null),
// queueing multi-packet answers in `queue` (in memory when null). Both may be shared with a store service.
class DecodingIntake : public AnswerIntake {
public:
    DecodingIntake(std::shared_ptr<AnswerStore> store, std::shared_ptr<AnswerQueue> queue);
    ~DecodingIntake() override;
    IntakeOutcome AcceptSingleAnswer(ControlModule& m, CommandInFlight& command, const Bytes& frame) override;
    void SaveAnswerPacket(ControlModule& m, CommandInFlight& command, const ReceivedFrame& frame) override;
    IntakeOutcome AcceptStoredAnswers(ControlModule& m, CommandInFlight& command) override;
    void ClearQueue(ControlModule& m) override;
    void AnswerCutShort(ControlModule& m) override;

protected:
    AnswerStore& Writers() { return *store_; }
    AnswerQueue& Queue() { return *queue_; }
    // Asked at an answer's first frame: whether it is stored as its frames arrive rather than replayed
    // from the queue after its last one.
    virtual bool StoresAsItArrives(ControlModule&, const CommandInFlight&) { return false; }
    // An answer stored as it arrived was abandoned.
    virtual void StreamAbandoned(ControlModule&) {}
    bool Streaming() const { return stream_.IsOpen(); }

private:
    void AbandonStream(ControlModule& m);

    std::shared_ptr<AnswerStore> store_;
    std::shared_ptr<AnswerQueue> queue_;
    int queueFailure_ = 0;
    AnswerStream stream_;
};

// The intake without a store: every answer decoded, nothing kept, packets queued in memory.
std::unique_ptr<AnswerIntake> MakePlainIntake();

}  // namespace karvex
