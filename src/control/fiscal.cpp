#include "karvex/fiscal.h"

#include <QResizeEvent>

#include <QApplication>
#include <QGuiApplication>

#include "commands/issuers.h"
#include "console/console.h"
#include "control/control_module.h"
#include "control/host_calls.h"
#include "convert/conversions.h"
#include "journal/sale_flow.h"
#include "link/result_codes.h"
#include "store/store_service.h"

namespace karvex {

namespace {
// 1320 by 240 twips at 15 twips a pixel.
constexpr int kControlWidth = 88;
constexpr int kControlHeight = 16;

constexpr const char* kPortPromptTitle = "打开串口";
constexpr const char* kPortPrompt = "打开串口失败\n\n请输入税控器连接的串口号\n例：税控器连接在Com1，请输入1";

// Asks for the port number after the stored one could not be opened; the prompted port always runs at
// 9600 baud.
bool HasScreen() {
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) return false;
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

int PromptPortNumber(ControlModule& m) {
    std::optional<std::string> reply = m.Ui().AskText(kPortPromptTitle, kPortPrompt, "");
    if (!reply || reply->empty()) return result::kNoOpenPort;
    int r = CheckCharClass(*reply, 1);
    if (r != 0) return r;
    // Read digit by digit so that leading zeros ("03") still name the port and a long digit string is
    // simply no valid port instead of overflowing anything.
    int port = 0;
    for (char c : *reply) {
        port = port * 10 + (c - '0');
        if (port > 5) return result::kNoOpenPort;
    }
    if (port < 1) return result::kNoOpenPort;
    return m.OpenComm(port, 1);
}

std::string ToUtf8(const QString& text) { return text.toStdString(); }

// Every host call that can send a command or write the result word asks the module's one rule first
// (RefuseSecondCommand). While a command waits for its answer (an upload started at the console, a host call
// waiting in the event loop when a timer of the host calls again) the new call's argument checks or its
// "under way" would land in the word the waiting caller reads, and could end that wait early with a code
// that is not its own. So the new call is refused before its arguments are looked at, and the command in
// flight keeps its word, record and replies.

// A request the checks refused: nothing was sent; the code goes into the result word only where the call's
// contract says so.
int Refuse(ControlModule& m, const HostRequest& request) {
    if (request.store) m.SetCommandResult(request.code);
    return request.code;
}

// Puts a checked query or maintenance request on the line as `command` and logs it once, as the console
// logs its commands. A send failure is returned as it is and leaves the result word alone.
int SendPrepared(ControlModule& m, const HostRequest& request, CommandInFlight command) {
    if (!m.ConsoleLoaded()) m.FormLoad();
    command.code = request.command;
    command.caller = request.caller_mode;
    const int sent = SendHostRequest([&](const Bytes& frame) { return m.Start(std::move(command), frame); }, request);
    if (sent != 0) return sent;
    m.CueCommandSendFinish(CommandDisplayText(request.command));
    return 0;
}

int SendPrepared(ControlModule& m, const HostRequest& request) {
    return SendPrepared(m, request, m.NewCommand(request.command, request.caller_mode));
}

// The print-data query of the last invoice, as GetPrintInv 177 sends it: the journal's way to learn what
// became of a sale whose answer was lost.
ResultCode AskPrintData(ControlModule& m, std::int32_t which, const std::string& number, LastInvoice& last) {
    // The query starts from an empty host reply: nothing of an earlier query may pass for this invoice.
    last = LastInvoice{};
    CommandInFlight command = m.NewCommand(kCommandLastInvData, kCallerHost);
    command.replies.host = HostReply{};
    const HostRequest request = PrepareGetPrintInv(which, number, command.replies.host);
    if (request.kind == RequestKind::kNone) return request.code;
    if (const int sent = SendPrepared(m, request, std::move(command)); sent != 0) return sent;
    m.SetCommandResult(result::kCommandUnderWay);
    const int code = m.WaitForCommand(request.through_chain);
    const HostReply& host = m.Command().replies.host;
    last.record = host.print_data;
    last.machineNumber = host.machine_number;
    last.taxpayerName = host.sale_unit;
    last.taxNumber = host.tax_number;
    return code;
}

ResultCode AskLastInvoice(ControlModule& m, LastInvoice& last) {
    return AskPrintData(m, kHostLastInvoiceData, "", last);
}

// The processor's counter. Certain without a read when the processor's answer of it was the last exchange:
// nothing has gone out since, so nothing can have moved it.
ResultCode ReadCounter(ControlModule& m, std::string& number, bool& certain) {
    if (!m.KnownCounter().empty()) {
        number = m.KnownCounter();
        certain = true;
        return result::kSuccess;
    }
    certain = false;
    const int code = m.RunMenuCommandForHost(CommandCode::CurrentInvoice);
    if (code == result::kSuccess) number = m.Command().replies.current_inv_number;
    return code;
}

SaleLine MakeSaleLine(ControlModule& m, std::function<SentRequest()> send) {
    return SaleLine{std::move(send),
                    [&m](LastInvoice& last) { return AskLastInvoice(m, last); },
                    [&m](const std::string& text) { m.Log().WriteLogLine(text); },
                    [&m](std::string& number, bool& certain) { return ReadCounter(m, number, certain); },
                    [&m](const std::string& number, LastInvoice& last) {
                        return AskPrintData(m, kHostPrintDataByNumber, number, last);
                    },
                    [&m](std::int64_t row) { m.SetSaleRowSending(row); }};
}

// A store restored from a copy or replaced knows fewer invoices than the processor holds. The processor's newest
// invoice is recorded as made elsewhere, so that no sale is ever taken for it, and the host is told (184 in the result
// word; the load itself succeeded). Only when the counter is not where the journal left it is the last invoice read.
ResultCode CheckStoreBehind(ControlModule& m, SalesJournal& journal) {
    std::string counter;
    bool certain = false;
    if (ReadCounter(m, counter, certain) != result::kSuccess) return result::kSuccess;
    if (const auto expected = journal.ExpectedCounter(); expected && *expected == counter) return result::kSuccess;
    LastInvoice last;
    AskLastInvoice(m, last);
    if (!last.record) return result::kSuccess;  // no invoice at all, or nothing to be learnt now
    if (journal.HoldsInvoice(0, IssueFormTaxCode(last.record->tax_code))) return result::kSuccess;
    journal.RecordElsewhere(*last.record);
    m.Log().WriteLogLine("税控器最后发票 " + last.record->invoice_number + "（" + last.record->issue_date +
                         "）不在销售记录中，已记为他处开具");
    return result::kStoreBehindProcessor;
}
}  // namespace

Fiscal::Fiscal(QWidget* parent) : Fiscal(Settings::FromEnvironment(), parent) {}

Fiscal::Fiscal(Settings settings, QWidget* parent)
    : QWidget(parent), module_(std::make_unique<ControlModule>(std::move(settings))) {
    setFixedSize(kControlWidth, kControlHeight);
}

void Fiscal::SetSettings(Settings settings) { module_->ApplySettings(std::move(settings)); }

const Settings& Fiscal::CurrentSettings() const { return module_->GetSettings(); }

Fiscal::~Fiscal() = default;

ControlModule& Fiscal::Module() { return *module_; }

void Fiscal::SetLineRecovery(bool on, std::function<void()> restored) {
    module_->SetLineRecovery(on, std::move(restored));
}

void Fiscal::SetUserInterface(std::shared_ptr<UserInterface> ui) { module_->SetUserInterface(std::move(ui)); }

void Fiscal::SetProgressCallback(std::function<void(const karvex::Progress&)> callback) {
    module_->SetProgressCallback(std::move(callback));
}

void Fiscal::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (event->size() != QSize(kControlWidth, kControlHeight)) resize(kControlWidth, kControlHeight);
}

int Fiscal::Status() const { return module_->GetCommandResult(); }

QString Fiscal::Description() const { return QString::fromStdString(module_->CommandResultText()); }

std::int32_t Fiscal::LoadFiscalForm() {
    ControlModule& m = *module_;
    if (const int busy = m.RefuseSecondCommand(); busy != 0) return busy;
    m.SetCommandResult(result::kCommandUnderWay);
    int r = m.FormLoad();
    if (r != 0) {
        // Without the store no answer could be kept: the link is not started.
        m.SetCommandResult(r);
        return r;
    }
    // A host with a real screen gets the console window behind the control, and with it real dialogue
    // boxes unless it installed its own; headless hosts keep theirs so that nothing can block on a box.
    if (HasScreen()) AttachConsole(m);
    m.Intake().ClearQueue(m);
    int port = 0;
    int selector = 0;
    r = m.Store().LoadSerialSettings(port, selector);
    if (r != 0) {
        m.SetCommandResult(PromptPortNumber(m));
    } else {
        r = m.OpenComm(port, selector, kCallerHost);
        m.SetCommandResult(r);
        if (r == 0) m.Store().SaveSerialSettings(port, selector);
        if (m.GetCommandResult() != 0) m.SetCommandResult(PromptPortNumber(m));
    }
    if (m.GetCommandResult() == 0) {
        // A sale left without its outcome by a program that ended is settled before the host sells again.
        ResultCode behind = result::kSuccess;
        if (const auto store = m.Store().Connection()) {
            SalesJournal journal(*store);
            // A journal that never recorded anything has nothing to be behind of: its first sale looks at the
            // processor's newest invoice instead, so that a load of a new store sends nothing.
            SaleRecord any;
            const bool used = journal.FindLast(any) == result::kSuccess || journal.ExpectedCounter().has_value();
            if (ResolveSales(journal, MakeSaleLine(m, {})) == result::kSuccess && used)
                behind = CheckStoreBehind(m, journal);
        }
        m.SetCommandResult(behind);
        return 0;
    }
    return m.GetCommandResult();
}

std::int32_t Fiscal::UnloadFicalForm(std::int32_t) {
    ControlModule& m = *module_;
    m.SetCommandResult(result::kCommandUnderWay);
    // The console and its log viewer go first: the viewer shows the log's list, which the unload drops.
    DetachConsole(m);
    m.SetCommandResult(m.FormUnload());
    return m.GetCommandResult();
}

std::int32_t Fiscal::FiscalOnline() {
    ControlModule& m = *module_;
    if (const int busy = m.RefuseSecondCommand(); busy != 0) return busy;
    return m.RunMenuCommandForHost(CommandCode::Online);
}

std::int32_t Fiscal::ShowFiscalForm(std::int32_t showModal, std::int32_t inHandle) {
    return ShowConsole(*module_, showModal, inHandle);
}

std::int32_t Fiscal::FiscalGetInvNum(QString& invNum) {
    ControlModule& m = *module_;
    if (const int busy = m.RefuseSecondCommand(); busy != 0) return busy;
    const int final = m.RunMenuCommandForHost(CommandCode::CurrentInvoice);
    std::string number = ToUtf8(invNum);
    const ResultCode code = CopyFiscalGetInvNum(final, m.Command().replies.current_inv_number, number);
    if (code == result::kSuccess) invNum = QString::fromStdString(number);
    return code;
}

std::int32_t Fiscal::FiscalMakeInv(std::int32_t commandNum, std::int32_t fhNumber, std::int32_t invMode,
                                   const QString& oInvNum, const QString& payUnit, std::int32_t salesNum,
                                   const QString& salesName, const QString& salesAmount, const QString& salesPrice,
                                   const QString& salesSum, const QString& taxIndex) {
    return FiscalMakeInv(QString(), commandNum, fhNumber, invMode, oInvNum, payUnit, salesNum, salesName, salesAmount,
                         salesPrice, salesSum, taxIndex);
}

std::int32_t Fiscal::FiscalMakeInv(const QString& saleId, std::int32_t commandNum, std::int32_t fhNumber,
                                   std::int32_t invMode, const QString& oInvNum, const QString& payUnit,
                                   std::int32_t salesNum, const QString& salesName, const QString& salesAmount,
                                   const QString& salesPrice, const QString& salesSum, const QString& taxIndex) {
    ControlModule& m = *module_;
    if (const int busy = m.RefuseSecondCommand(); busy != 0) return busy;
    MakeInvArgs args;
    args.CommandNum = commandNum;
    args.FhNumber = fhNumber;
    args.InvMode = invMode;
    args.OInvNum = ToUtf8(oInvNum);
    args.PayUnit = ToUtf8(payUnit);
    args.SalesNum = salesNum;
    args.SalesName = ToUtf8(salesName);
    args.SalesAmount = ToUtf8(salesAmount);
    args.SalesPrice = ToUtf8(salesPrice);
    args.SalesSum = ToUtf8(salesSum);
    args.TaxIndex = ToUtf8(taxIndex);

    // An argument too wide for its wire field throws out of here before the record, the result word or the
    // line are touched.
    const InvoiceCheck check = PrepareFiscalMakeInv(args, m.HostInvoice());
    if (check.code != result::kSuccess) {
        if (check.store) m.SetCommandResult(check.code);
        return check.code;
    }

    if (!m.ConsoleLoaded()) m.FormLoad();
    const auto command = ToCommandCode(check.command);
    const auto send = [&m, command]() -> SentRequest {
        const bool clean = m.LineClean();
        IssueResult r = command ? IssueHostInvoice(m.MakeIssueContext(kCallerHost), *command, m.HostInvoice())
                                : IssueResult{result::kCommandTypeError};
        if (!r.sent) return {false, r.code};
        m.SetCommandResult(result::kCommandUnderWay);
        return {true, m.WaitForCommand(), clean};
    };
    // Every request goes through the sales journal; only a control without a store sends without it.
    const BuiltFrame built = command ? BuildRequest(*command, std::cref(m.HostInvoice()), Sender::Host)
                                     : BuiltFrame{result::kCommandTypeError, {}};
    int r = built.code;
    if (const auto store = m.Store().Connection(); store && built.ok()) {
        SalesJournal journal(*store);
        r = RunSale(journal, ToUtf8(saleId), built.frame, MakeSaleLine(m, send), m.Replies().issue);
    } else if (built.ok()) {
        r = saleId.isEmpty() ? send().code : result::kStoreOpenFailed;
    }
    m.SetCommandResult(r);
    return r;
}

std::int32_t Fiscal::FiscalGetSale(const QString& saleId, QString& state, QString& invNum, QString& taxCode,
                                   QString& dateTime) {
    ControlModule& m = *module_;
    if (const int busy = m.RefuseSecondCommand(); busy != 0) return busy;
    const int opened = m.ConsoleLoaded() ? m.OpenStore() : m.FormLoad();
    const auto store = m.Store().Connection();
    if (!store) return opened != 0 ? opened : result::kStoreOpenFailed;
    SalesJournal journal(*store);
    SaleRecord row;
    const int r = saleId.isEmpty() ? journal.FindLast(row) : journal.FindSale(ToUtf8(saleId), row);
    if (r != result::kSuccess) return r;
    state = QString::fromStdString(row.state);
    invNum = QString::fromStdString(row.invNum);
    taxCode = QString::fromStdString(row.taxCode);
    dateTime = QString::fromStdString(row.dateTime);
    return r;
}

std::int32_t Fiscal::FiscalResolveSales() {
    ControlModule& m = *module_;
    if (const int busy = m.RefuseSecondCommand(); busy != 0) return busy;
    const int opened = m.ConsoleLoaded() ? m.OpenStore() : m.FormLoad();
    const auto store = m.Store().Connection();
    if (!store) return opened != 0 ? opened : result::kStoreOpenFailed;
    SalesJournal journal(*store);
    return ResolveSales(journal, MakeSaleLine(m, {}));
}

std::int32_t Fiscal::FiscalReturnInvInfo(QString& machineNum, QString& userName, QString& taxNumber, QString& taxCode,
                                         QString& dateTime) {
    ReturnInvInfoOutputs out;
    const ResultCode code = CopyFiscalReturnInvInfo(module_->Command().replies.issue, out);
    machineNum = QString::fromStdString(out.MachineNum);
    userName = QString::fromStdString(out.UserName);
    taxNumber = QString::fromStdString(out.TaxNumber);
    taxCode = QString::fromStdString(out.TaxCode);
    dateTime = QString::fromStdString(out.DateTime);
    return code;
}

std::int32_t Fiscal::FiscalInvalidateInv(QString& invNum) {
    ControlModule& m = *module_;
    if (const int busy = m.RefuseSecondCommand(); busy != 0) return busy;
    std::string number = ToUtf8(invNum);
    const HostRequest request = PrepareFiscalInvalidateInv(number);
    // The host gets the number back as it was checked: the 10 digits, or nothing when the check refused it.
    invNum = QString::fromStdString(number);
    if (request.kind == RequestKind::kNone) return Refuse(m, request);
    if (const int sent = SendPrepared(m, request); sent != 0) return sent;
    m.SetCommandResult(result::kCommandUnderWay);
    const int code = m.WaitForCommand();
    // A void is a row of the journal's own: an accountant reads what was voided beside what was issued.
    if (const auto store = m.Store().Connection()) SalesJournal(*store).RecordVoid(request.second, code);
    return code;
}

std::int32_t Fiscal::GetPrintInv(std::int32_t commandNum, QString& invNum, QString& oInvNum, QString& machineNumber,
                                 QString& saleUnit, QString& payUnit, QString& taxNumber, QString& taxCode,
                                 QString& printDate, QString& salesName, QString& salesAmount, QString& salesPrice,
                                 QString& salesSum, std::int32_t& invType) {
    ControlModule& m = *module_;
    if (const int busy = m.RefuseSecondCommand(); busy != 0) return busy;
    // The command starts from the last replies with its goods slots emptied.
    CommandInFlight command = m.NewCommand(0, kCallerHost);
    const HostRequest request = PrepareGetPrintInv(commandNum, ToUtf8(invNum), command.replies.host);
    if (request.kind == RequestKind::kNone) return Refuse(m, request);
    if (const int sent = SendPrepared(m, request, std::move(command)); sent != 0) return sent;
    m.SetCommandResult(result::kCommandUnderWay);
    const int finalCode = m.WaitForCommand(request.through_chain);

    // The goods outputs grow from what the host passed in, so they start from its texts.
    PrintInvOutputs out;
    out.SalesName = ToUtf8(salesName);
    out.SalesAmount = ToUtf8(salesAmount);
    out.SalesPrice = ToUtf8(salesPrice);
    out.SalesSum = ToUtf8(salesSum);
    const ResultCode code = CopyGetPrintInvReply(finalCode, m.Command().replies.host, out);
    if (code != result::kSuccess) return code;
    invNum = QString::fromStdString(out.InvNum);
    oInvNum = QString::fromStdString(out.OInvNum);
    machineNumber = QString::fromStdString(out.MachineNumber);
    saleUnit = QString::fromStdString(out.SaleUnit);
    payUnit = QString::fromStdString(out.PayUnit);
    taxNumber = QString::fromStdString(out.TaxNumber);
    taxCode = QString::fromStdString(out.TaxCode);
    printDate = QString::fromStdString(out.PrintDate);
    salesName = QString::fromStdString(out.SalesName);
    salesAmount = QString::fromStdString(out.SalesAmount);
    salesPrice = QString::fromStdString(out.SalesPrice);
    salesSum = QString::fromStdString(out.SalesSum);
    invType = out.InvType;
    return code;
}

std::int32_t Fiscal::GetInvUseSum(const QString& invNum, QString& beginDate, QString& endDate, QString& beginInvNum,
                                  QString& endInvNum, std::int32_t& invalidateInv, std::int32_t& normalInv,
                                  double& normalSum, std::int32_t& returnInv, double& returnSum, QString& invCode,
                                  QString& taxNumber, QString& userName, QString& machineNumber) {
    ControlModule& m = *module_;
    if (const int busy = m.RefuseSecondCommand(); busy != 0) return busy;
    const HostRequest request = PrepareGetInvUseSum(ToUtf8(invNum));
    if (request.kind == RequestKind::kNone) return Refuse(m, request);
    if (const int sent = SendPrepared(m, request); sent != 0) return sent;
    m.SetCommandResult(result::kCommandUnderWay);

    InvUseSumOutputs out;
    const int finalCode = m.WaitForCommand(request.through_chain);
    const ResultCode code = CopyGetInvUseSumReply(finalCode, m.Command().replies.host, out);
    if (code != result::kSuccess) return code;
    beginDate = QString::fromStdString(out.BeginDate);
    endDate = QString::fromStdString(out.EndDate);
    beginInvNum = QString::fromStdString(out.BeginInvNum);
    endInvNum = QString::fromStdString(out.EndInvNum);
    invalidateInv = out.InvalidateInv;
    normalInv = out.NormalInv;
    normalSum = out.NormalSum;
    returnInv = out.ReturnInv;
    returnSum = out.ReturnSum;
    invCode = QString::fromStdString(out.InvCode);
    taxNumber = QString::fromStdString(out.TaxNumber);
    userName = QString::fromStdString(out.UserName);
    machineNumber = QString::fromStdString(out.MachineNumber);
    return code;
}

std::int32_t Fiscal::FiscalInstallInv(std::int32_t showModal, std::int32_t inHandle) {
    ControlModule& m = *module_;
    if (const int busy = m.RefuseSecondCommand(); busy != 0) return busy;
    return ShowInstallPanel(m, showModal, inHandle);
}

}  // namespace karvex
