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

#include "commands/catalogue.h"
#include "commands/issuers.h"
#include "log/log_viewer_window.h"

class QAbstractButton;
class QAction;
class QCheckBox;
class QComboBox;
class QEventLoop;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QPushButton;
class QRadioButton;

namespace karvex {

class ControlModule;

class ConsoleWindow : public QMainWindow {
    Q_OBJECT
public:
    static constexpr int kPanelCount = 13;
    // Panels by number.
    static constexpr int kPrintDataPanel = 0;
    static constexpr int kDayTradePanel = 1;
    static constexpr int kFactoryDataPanel = 2;
    static constexpr int kSendStrPanel = 3;
    static constexpr int kSingleInvoicePanel = 4;
    static constexpr int kCutOffPanel = 5;
    static constexpr int kIdiographPanel = 6;
    static constexpr int kParaSetPanel = 7;
    static constexpr int kInstallPanel = 8;
    static constexpr int kCheckCardPanel = 9;
    static constexpr int kAboutPanel = 10;
    static constexpr int kCheckselfPanel = 11;
    static constexpr int kClearStorePanel = 12;

    // The table flags each box of the store-clearing panel stands for (box 13 is "全部选择").
    static constexpr std::array<std::uint32_t, 13> kClearBoxFlags = {
        0x8, 0x10, 0x6000, 0x18000, 0x1020, 0x80, 0x40, 0x20000, 0x40000, 0x80000, 0x100000, 0x200000, 0x100};

    explicit ConsoleWindow(ControlModule& module, QWidget* parent = nullptr);
    ~ConsoleWindow() override;

    ControlModule& Module() { return m_; }

    // ----- showing the console
    // Shows the window, modal when showModal is 1 (then returns once it is hidden again), records the host
    // window and hides it. Always 0.
    int ShowForm(std::int32_t showModal, std::int64_t hostWindow);
    // Brings the host window recorded by ShowForm back to its normal shown state.
    void RestoreHostWindow();

    // ----- panels
    // -1 hides every panel; 0..12 shows that panel alone.
    void ShowPanel(int n);
    // The panel on show, -1 when none.
    int VisiblePanel() const;
    QWidget* Panel(int n) const;
    // Title parts of a panel (part 0 and, for panels 0 and 4, part 1).
    QLabel* PanelTitle(int panel, int part = 0) const;

    // ----- the controls, by their array index (nullptr for an index the array does not have)
    QLineEdit* Text3(int index) const;
    QRadioButton* Option1(int index) const;
    QRadioButton* Option3(int index) const;
    QRadioButton* Option4(int index) const;
    QRadioButton* Option5(int index) const;
    QCheckBox* Check1(int index) const;
    QCheckBox* Check2(int index) const;
    QCheckBox* Check3(int index) const;
    QLabel* Label3(int index) const;
    QComboBox* Combo1() const { return combo1_; }
    QComboBox* Combo2(int index) const;
    QListWidget* List1() const { return list1_; }
    // A panel button by its control name ("CommandInvoice", "CommandSinInv", ...).
    QPushButton* Button(const QString& name) const;
    // A menu or menu item by its control name ("FileName", "CommandOnline", "PicClose", ...).
    QAction* MenuItem(const QString& name) const;
    QMenu* ClosePictureMenu() const { return closePicture_; }
    LogViewerWindow* LogViewer() const { return viewer_; }

    // ----- what the completion step asks for (through the module's console hooks)
    void FillInstallList();
    void SetCheckselfLabel(int label, const std::string& text);
    void RefreshStatus();
    void SetBusyCursor(bool busy);
    // While a command waits for its answer the command menus and the panels' buttons are disabled, and the
    // status bar says why: a second request would take the first one's answer for its own.
    void SetCommandInFlight(bool inFlight);

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
    // Building
    void BuildMenus();
    void BuildPanels();
    void BuildStatusBar();
    QLineEdit* AddText(int index, QWidget* owner);
    QPushButton* AddButton(const QString& name, const QString& caption, QWidget* owner);

    // Menu entries
    void DataQuery_Click();
    void DailyFile_Click();
    void CommandClearAccess_Click();
    void Quit_Click();
    void IssueDirect(CommandCode code);
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
    void OnTextEdited(int index);
    void OnTextEnter(int index);
    void FocusText(int index);
    void FocusButton(const QString& name);
    void Option1_Click();
    void Option4_Click();
    void Option5_Click();
    void Check2_Click(int index);
    void Check3_Click(int index);
    // Serial settings panel opening: the stored settings into the lists; 0 or the store's code.
    int ShowParaSet();

    // Says in the status bar why a command was not sent (nothing for a send or an operator's cancel).
    void ShowIssueOutcome(const IssueResult& r);
    // Empties (and focuses) the fields a refused input names, and says why in the status bar. `fields` maps
    // InputField bits to Text3 indexes.
    void ApplyResult(const IssueResult& r, const std::map<InputField, int>& fields);
    DateInput ReadDate(int yearIndex) const;
    IssueContext Context();

    void OnViewerClosed();
    void InstallClearProgress();

    ControlModule& m_;
    std::array<QWidget*, kPanelCount> panels_{};
    std::map<std::pair<int, int>, QLabel*> titles_;
    std::map<int, QLineEdit*> text3_;
    std::map<int, QRadioButton*> option1_, option3_, option4_, option5_;
    std::map<int, QCheckBox*> check1_, check2_, check3_;
    std::map<int, QLabel*> label3_;
    std::map<int, QComboBox*> combo2_;
    std::map<QString, QPushButton*> buttons_;
    std::map<QString, QAction*> menuItems_;
    QComboBox* combo1_ = nullptr;
    QListWidget* list1_ = nullptr;
    QMenu* closePicture_ = nullptr;
    // Labels that go with the two halves of the option groups of panels 0 and 9.
    std::vector<QWidget*> numberLabels0_, dateLabels0_, numberLabels9_, dateLabels9_;
    std::array<QLabel*, 5> statusPanels_{};
    QPointer<LogViewerWindow> viewer_;
    // The command panels 4 and 5 were opened for.
    CommandCode singleInvoiceCommand_ = CommandCode::InvoiceSum;
    CommandCode cutOffCommand_ = CommandCode::WriteCard;
    QEventLoop* modalLoop_ = nullptr;
    // The field or panel button in which Enter went down, nullptr for none.
    QObject* enterDownIn_ = nullptr;
};

}  // namespace karvex
