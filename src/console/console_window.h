#pragma once
// The operator console MainFrm ("税控器通讯软件"): the menus that reach every command, the thirteen
// command panels (at most one visible), the status bar, the serial settings, the self-test and
// store-clearing panels, and the doors to the data browser and the log viewer.
//
// The panels only gather what the operator typed; the issuers of the command catalogue check it, send the
// request and name the fields to empty. Answers come back later through the link and the completion step,
// which reaches this window through the module's console hooks.
#include <QMainWindow>
#include <QPointer>

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "commands/catalogue.h"
#include "commands/decoders.h"
#include "commands/issuers.h"
#include "karvex/fiscal.h"
#include "log/log_viewer_window.h"

class QAbstractButton;
class QAction;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QEventLoop;
class QGridLayout;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QMenu;
class QPushButton;
class QRadioButton;

namespace karvex {

class ControlModule;
class StoreService;

// The command panels, at most one on show.
enum class ConsolePanel : int {
    None = -1,
    PrintData,         // "获取" "发票打印数据": by invoice numbers or by dates
    DayTrade,          // "日交易数据上传"
    FactoryData,       // "设置出厂数据"
    CardCommands,      // "发送字符串": card power and typed bytes
    SingleInvoice,     // one invoice number: roll summary or invalidation
    CutOffDate,        // one cut-off date: declaration to card, declaration or invoice data upload
    Signing,           // "数据签名"
    SerialSettings,    // "系统参数设置"
    RollInstallation,  // "安装发票"
    CheckCard,         // "核查数据写卡"
    About,
    SelfTest,       // "税控器自检"
    StoreClearing,  // "清空数据库"
};

// The typed inputs, by the panel they sit on and what they hold.
// clang-format off
enum class ConsoleField : std::uint8_t {
    PrintStartNumber, PrintEndNumber,
    PrintStartYear, PrintStartMonth, PrintStartDay,
    PrintEndYear, PrintEndMonth, PrintEndDay,
    InvoiceNumber,
    DayTradeStartYear, DayTradeStartMonth, DayTradeStartDay,
    DayTradeEndYear, DayTradeEndMonth, DayTradeEndDay,
    ProductionYear, ProductionMonth, ProductionDay,
    CutOffYear, CutOffMonth, CutOffDay,
    MachineNumber, HardwareVersion, SoftwareVersion,
    CheckStartNumber, CheckEndNumber,
    SigningData,
    CardBytes,
    CheckStartYear, CheckStartMonth, CheckStartDay,
    CheckEndYear, CheckEndMonth, CheckEndDay,
};
// clang-format on

// A date typed in three fields.
struct ConsoleDateFields {
    ConsoleField year, month, day;
};

// The option buttons, by the choice they stand for.
// clang-format off
enum class ConsoleChoice : std::uint8_t {
    PrintByNumber, PrintByDates,
    CardDecimal, CardHexadecimal,
    SigningHexadecimal, SigningDecimal,
    CheckDetail, CheckDeclaration, CheckDayTrade,
    CheckByNumber, CheckByDates,
};
// clang-format on

class ConsoleWindow : public QMainWindow {
    Q_OBJECT
public:
    static constexpr int kPanelCount = 13;
    static_assert(static_cast<int>(ConsolePanel::StoreClearing) + 1 == kPanelCount);

    // A box of the store-clearing panel: its caption and the tables (StoreTableFlags) it stands for.
    struct ClearBox {
        const char* caption;
        std::uint32_t tables;
    };
    static constexpr std::size_t kClearBoxCount = 13;
    static const std::array<ClearBox, kClearBoxCount> kClearBoxes;

    // The console works the module's link and the store it is given (the module's own).
    ConsoleWindow(ControlModule& module, StoreService& store, QWidget* parent = nullptr);
    ~ConsoleWindow() override;

    ControlModule& Module() { return m_; }

    // ----- showing the console
    // Shows the window, modal when showModal is 1 (then returns once it is hidden again), records the host
    // window and hides it. Always 0.
    int ShowForm(std::int32_t showModal, std::int64_t hostWindow);
    // Brings the host window recorded by ShowForm back to its normal shown state.
    void RestoreHostWindow();

    // ----- panels
    // ConsolePanel::None hides every panel; any other shows that panel alone.
    void ShowPanel(ConsolePanel panel);
    // The panel on show, None when none.
    ConsolePanel VisiblePanel() const;
    QWidget* Panel(ConsolePanel panel) const;
    // Title parts of a panel (part 0 and, for the print-data and single-invoice panels, part 1).
    QLabel* PanelTitle(ConsolePanel panel, int part = 0) const;

    // ----- the controls, by what they hold
    QLineEdit* Field(ConsoleField field) const;
    QRadioButton* Choice(ConsoleChoice choice) const;
    QCheckBox* SelfTestCheck(SelfTestBox box) const;
    // The verdict beside a self-test box: "未选择", "等待检查", then what the processor reported.
    QLabel* SelfTestVerdict(SelfTestBox box) const;
    // Store-clearing boxes 0..12 (kClearBoxes) and the "全部选择" box; nullptr outside.
    QCheckBox* ClearCheck(std::size_t box) const;
    QCheckBox* ClearAllCheck() const { return clearAll_; }
    // The state beside a store-clearing box: "未选择", "等待清空", "清空完成".
    QLabel* ClearState(std::size_t box) const;
    QCheckBox* PrintInvoiceCheck() const { return printInvoice_; }
    QCheckBox* CashDrawerCheck() const { return cashDrawer_; }
    QComboBox* CardPowerList() const { return cardPower_; }
    QComboBox* SerialPortList() const { return serialPort_; }
    QComboBox* BaudRateList() const { return baudRate_; }
    QComboBox* PrinterPortList() const { return printerPort_; }
    QListWidget* RollList() const { return rollList_; }
    // A panel button by its control name ("CommandInvoice", "CommandSinInv", ...).
    QPushButton* Button(const QString& name) const;
    // A menu or menu item by its control name ("FileName", "CommandOnline", "PicClose", ...).
    QAction* MenuItem(const QString& name) const;
    QMenu* ClosePictureMenu() const { return closePicture_; }
    LogViewerWindow* LogViewer() const { return viewer_; }

    // ----- what the completion step asks for (through the module's console hooks)
    void FillInstallList();
    void ShowSelfTestVerdict(SelfTestBox box, const std::string& text);
    void RefreshStatus();
    void SetBusyCursor(bool busy);
    // While a command waits for its answer the command menus and the panels' buttons are disabled, and the
    // status bar says why: a second request would take the first one's answer for its own.
    void SetCommandInFlight(bool inFlight);
    // While an answer is stored the window takes input, but the entries that would reach into the store or
    // the port (数据查询, 清空数据库, 串口设置) are off until it is stored.
    void SetStoring(bool storing);
    // During a multi-packet answer the status bar shows a progress bar: the data kind, frames received of
    // the total announced, frames per second and the time left; it goes when the answer has ended.
    void ShowProgress(const Progress& progress);
    QProgressBar* ProgressBar() const { return progressBar_; }

    // ----- entries a host call runs too
    // The roll installation: removes the unused rolls from the store and asks the processor for its rolls
    // (caller mode 5). 0, or the store's or the send's code.
    int CommandInstallInv_Click();

    // The store-clearing panel's flag set for its boxes.
    std::uint32_t ClearFlags() const;

protected:
    void closeEvent(QCloseEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Building: one builder per panel, on the helpers that lay out their rows.
    void BuildMenus();
    void BuildPanels();
    void BuildPrintDataPanel();
    void BuildDayTradePanel();
    void BuildFactoryDataPanel();
    void BuildCardCommandsPanel();
    void BuildSingleInvoicePanel();
    void BuildCutOffDatePanel();
    void BuildSigningPanel();
    void BuildSerialSettingsPanel();
    void BuildRollInstallationPanel();
    void BuildCheckCardPanel();
    void BuildAboutPanel();
    void BuildSelfTestPanel();
    void BuildStoreClearingPanel();
    void BuildStatusBar();
    QWidget* NewPanel(ConsolePanel panel, std::initializer_list<const char*> titles);
    QLineEdit* AddField(ConsoleField field, QWidget* owner);
    QPushButton* AddButton(const QString& name, const QString& caption, QWidget* owner);
    QRadioButton* AddChoice(ConsoleChoice choice, const char* caption, QWidget* owner, QButtonGroup* group);
    void AddFieldRow(QGridLayout* grid, int row, const char* caption, ConsoleField field, QWidget* owner,
                     std::vector<QWidget*>* captions = nullptr);
    void AddDateRow(QGridLayout* grid, int row, const char* caption, const ConsoleDateFields& date, QWidget* owner,
                    std::vector<QWidget*>* captions = nullptr);
    void AddOkRow(QWidget* panel, const char* name, const char* caption = "确定");

    // Menu entries
    void DataQuery_Click();
    void DailyFile_Click();
    void CommandClearAccess_Click();
    void Quit_Click();
    void IssueDirect(CommandCode code);
    void CommandInitialize_Click();
    // The store-clearing panel's captions of the boxes that stand for any of `tables`, joined by "、".
    static std::string ClearBoxCaptions(std::uint32_t tables);
    void CommandSetTime_Click();
    void CommandDispenseInvoice_Click();
    void CommandCheckSelf_Click();
    void CommandInvalidateInvoice_Click();
    void CommandPrintData_Click();
    void CommandDayTrade_Click();
    void CommandInvoiceSum_Click();
    void OpenCutOffPanel(CommandCode code, const QString& title);
    void CommandIdiograph_Click();
    void CommandCheckWriteCard_Click();
    void CommSetting_Click();
    void CommandAbout_Click();

    // Panel buttons
    void CommandInvoice_Click();
    void CommandDTRad_Click();
    void CommandSetMD_Click();
    void CommandSendCom_Click();
    void CommandSendStr_Click();
    void CommandSinInv_Click();
    void CommandDeclareCmd_Click();
    void CommandDataIph_Click();
    void CommandParaSet_Click();
    void CommandInsInv_Click();
    void CommandWriteCheckCard_Click();
    void CommandCheckselfSend_Click();
    void CommandClearTab_Click();

    // Fields and option groups
    void OnFieldEdited(ConsoleField field);
    void OnFieldEnter(ConsoleField field);
    void FocusField(ConsoleField field);
    void FocusButton(const QString& name);
    void PrintRangeKind_Click();
    void CheckKind_Click();
    void CheckRangeKind_Click();
    void SelfTestCheck_Click(SelfTestBox box);
    void ClearCheck_Click(std::size_t box);
    void ClearAllCheck_Click();
    // Serial settings panel opening: the stored settings into the lists; 0 or the store's code.
    int ShowParaSet();

    // Says in the status bar why a command was not sent (nothing for a send or an operator's cancel).
    void ShowIssueOutcome(const IssueResult& r);
    // Empties (and focuses) the fields a refused input names, and says why in the status bar. `fields` maps
    // the issuer's InputField bits to this panel's fields.
    void ApplyResult(const IssueResult& r, const std::map<InputField, ConsoleField>& fields);
    DateInput ReadDate(const ConsoleDateFields& date) const;
    std::string FieldText(ConsoleField field) const;
    IssueContext Context();

    void OnViewerClosed();
    void InstallClearProgress();

    ControlModule& m_;
    StoreService& store_;
    std::array<QWidget*, kPanelCount> panels_{};
    std::map<std::pair<ConsolePanel, int>, QLabel*> titles_;
    std::map<ConsoleField, QLineEdit*> fields_;
    std::map<ConsoleChoice, QRadioButton*> choices_;
    std::array<QCheckBox*, kSelfTestBoxCount> selfTestChecks_{};
    std::array<QLabel*, kSelfTestBoxCount> selfTestVerdicts_{};
    std::array<QCheckBox*, kClearBoxCount> clearChecks_{};
    std::array<QLabel*, kClearBoxCount> clearStates_{};
    QCheckBox* clearAll_ = nullptr;
    QCheckBox* printInvoice_ = nullptr;
    QCheckBox* cashDrawer_ = nullptr;
    std::map<QString, QPushButton*> buttons_;
    std::map<QString, QAction*> menuItems_;
    QComboBox* cardPower_ = nullptr;
    QComboBox* serialPort_ = nullptr;
    QComboBox* baudRate_ = nullptr;
    QComboBox* printerPort_ = nullptr;
    QListWidget* rollList_ = nullptr;
    QMenu* closePicture_ = nullptr;
    // The captions that go with the number and date halves of the print-data and check-card panels.
    std::vector<QWidget*> printNumberCaptions_, printDateCaptions_, checkNumberCaptions_, checkDateCaptions_;
    std::array<QLabel*, 5> statusPanels_{};
    QProgressBar* progressBar_ = nullptr;
    QPointer<LogViewerWindow> viewer_;
    // The commands the single-invoice and cut-off panels were opened for.
    CommandCode singleInvoiceCommand_ = CommandCode::InvoiceSum;
    CommandCode cutOffCommand_ = CommandCode::WriteCard;
    QEventLoop* modalLoop_ = nullptr;
    // The field or panel button in which Enter went down, nullptr for none.
    QObject* enterDownIn_ = nullptr;
};

}  // namespace karvex
