#include "karvex/fiscal.h"

#include <QResizeEvent>

#include "commands/issuers.h"
#include "control/control_module.h"
#include "convert/conversions.h"
#include "link/result_codes.h"

namespace karvex {

namespace {
// 1320 by 240 twips at 15 twips a pixel.
constexpr int kControlWidth = 88;
constexpr int kControlHeight = 16;

constexpr const char* kPortPromptTitle = "打开串口";
constexpr const char* kPortPrompt = "打开串口失败\n\n请输入税控器连接的串口号\n例：税控器连接在Com1，请输入1";

// Asks for the port number after the stored one could not be opened; the prompted port always runs at
// 9600 baud.
int PromptPortNumber(ControlModule& m) {
    std::optional<std::string> reply = m.Ui().AskText(kPortPromptTitle, kPortPrompt, "");
    if (!reply || reply->empty()) return result::kNoOpenPort;
    int r = CheckCharClass(*reply, 1);
    if (r != 0) return r;
    // A long digit string is simply no valid port; it must not overflow anything.
    if (reply->size() > 3) return result::kNoOpenPort;
    int port = std::stoi(*reply);
    if (port < 1 || port > 5) return result::kNoOpenPort;
    return m.OpenComm(port, 1);
}
}  // namespace

Fiscal::Fiscal(QWidget* parent) : QWidget(parent), module_(std::make_unique<ControlModule>()) {
    setFixedSize(kControlWidth, kControlHeight);
}

Fiscal::~Fiscal() = default;

ControlModule& Fiscal::Module() { return *module_; }

void Fiscal::SetUserInterface(std::shared_ptr<UserInterface> ui) { module_->SetUserInterface(std::move(ui)); }

void Fiscal::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (event->size() != QSize(kControlWidth, kControlHeight)) resize(kControlWidth, kControlHeight);
}

int Fiscal::Status() const { return module_->GetCommandResult(); }

QString Fiscal::Description() const { return QString::fromStdString(module_->CommandResultText()); }

std::int32_t Fiscal::LoadFiscalForm() {
    ControlModule& m = *module_;
    m.SetCommandResult(result::kCommandUnderWay);
    int r = m.FormLoad();
    if (r != 0) {
        // Without the store no answer could be kept: the link is not started.
        m.SetCommandResult(r);
        return r;
    }
    m.Intake().ClearQueue(m);
    int port = 0;
    int selector = 0;
    r = m.Intake().ReadSerialSettings(m, port, selector);
    if (r != 0) {
        m.SetCommandResult(PromptPortNumber(m));
    } else {
        m.CallerMode = kCallerHost;
        r = m.OpenComm(port, selector);
        m.SetCommandResult(r);
        if (r == 0) m.Intake().WriteSerialSettings(m, port, selector);
        m.CallerMode = kCallerConsole;
        if (m.GetCommandResult() != 0) m.SetCommandResult(PromptPortNumber(m));
    }
    if (m.GetCommandResult() == 0) m.SetCommandResult(0);
    return m.GetCommandResult();
}

std::int32_t Fiscal::UnloadFicalForm(std::int32_t) {
    ControlModule& m = *module_;
    m.SetCommandResult(result::kCommandUnderWay);
    m.SetCommandResult(m.FormUnload());
    return m.GetCommandResult();
}

std::int32_t Fiscal::FiscalOnline() {
    ControlModule& m = *module_;
    if (!m.ConsoleLoaded()) m.FormLoad();
    m.SetCommandResult(result::kCommandUnderWay);
    IssueResult r = IssueMenuCommand(m.MakeIssueContext(), CommandCode::Online);
    if (!r.sent) {
        m.SetCommandResult(r.code);
        return r.code;
    }
    m.CallerMode = kCallerHost;
    return m.WaitForCommand();
}

// ----- calls that later work brings; until then they say so instead of pretending success.

std::int32_t Fiscal::ShowFiscalForm(std::int32_t, std::int32_t) { return ControlModule::kNotAvailable; }

std::int32_t Fiscal::FiscalGetInvNum(QString&) { return ControlModule::kNotAvailable; }

std::int32_t Fiscal::FiscalMakeInv(std::int32_t, std::int32_t, std::int32_t, const QString&, const QString&,
                                   std::int32_t, const QString&, const QString&, const QString&, const QString&,
                                   const QString&) {
    return ControlModule::kNotAvailable;
}

std::int32_t Fiscal::FiscalReturnInvInfo(QString&, QString&, QString&, QString&, QString&) {
    return ControlModule::kNotAvailable;
}

std::int32_t Fiscal::FiscalInvalidateInv(QString&) { return ControlModule::kNotAvailable; }

std::int32_t Fiscal::GetPrintInv(std::int32_t, QString&, QString&, QString&, QString&, QString&, QString&,
                                 QString&, QString&, QString&, QString&, QString&, QString&, std::int32_t&) {
    return ControlModule::kNotAvailable;
}

std::int32_t Fiscal::GetInvUseSum(const QString&, QString&, QString&, QString&, QString&, std::int32_t&,
                                  std::int32_t&, double&, std::int32_t&, double&, QString&, QString&, QString&,
                                  QString&) {
    return ControlModule::kNotAvailable;
}

std::int32_t Fiscal::FiscalInstallInv(std::int32_t, std::int32_t) { return ControlModule::kNotAvailable; }

}  // namespace karvex
