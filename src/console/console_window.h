#pragma once
// The operator console MainFrm ("税控器通讯软件"): the menus that reach every command, the switching
// between the thirteen command panels (at most one visible; each panel is a class of its own in panels.h),
// the status bar, and the doors to the data browser and the log viewer.
//
// Answers come back later through the link and the completion step, which reaches this window through the
// module's console hooks; the window passes on to the panel concerned.
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
#include "console/panel.h"
#include "console/panels.h"
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

class ConsoleWindow : public QMainWindow, private PanelHost {
    Q_OBJECT
public:
    static constexpr int kPanelCount = 13;
    static_assert(static_cast<int>(ConsolePanel::StoreClearing) + 1 == kPanelCount);

    static constexpr std::size_t kClearBoxCount = StoreClearingPanel::kBoxCount;

    // The console works the module's link and the store it is given (the module's own).
    ConsoleWindow(ControlModule& module, StoreService& store, QWidget* parent = nullptr);
    ~ConsoleWindow() override;

    ControlModule& Module() override { return m_; }

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
    // Store-clearing boxes 0..12 (StoreClearingPanel::kBoxes) and the "全部选择" box; nullptr outside.
    QCheckBox* ClearCheck(std::size_t box) const;
    QCheckBox* ClearAllCheck() const { return storeClearing_->AllCheck(); }
    // The state beside a store-clearing box: "未选择", "等待清空", "清空完成".
    QLabel* ClearState(std::size_t box) const;
    QCheckBox* PrintInvoiceCheck() const { return serialSettings_->PrintInvoiceCheck(); }
    QCheckBox* CashDrawerCheck() const { return serialSettings_->CashDrawerCheck(); }
    QComboBox* CardPowerList() const { return cardCommands_->PowerList(); }
    QComboBox* SerialPortList() const { return serialSettings_->SerialPortList(); }
    QComboBox* BaudRateList() const { return serialSettings_->BaudRateList(); }
    QComboBox* PrinterPortList() const { return serialSettings_->PrinterPortList(); }
    QListWidget* RollList() const { return rollInstallation_->RollList(); }
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

    // ----- the panels a host call reaches
    RollInstallationPanel& RollInstallation() { return *rollInstallation_; }

    // The store-clearing panel's flag set for its boxes.
    std::uint32_t ClearFlags() const { return storeClearing_->Flags(); }

protected:
    void closeEvent(QCloseEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    // What the panels ask of the window.
    StoreService& Store() override { return store_; }
    void ShowIssueOutcome(const IssueResult& r) override;
    void ShowCaptionStatus(const QString& text) override;
    void ClosePanels() override { ShowPanel(ConsolePanel::None); }
    bool IsMenuShortcut(const QKeySequence& keys) const override;
    void PopUpPanelMenu(const QPoint& globalPos) override;

    void BuildMenus();
    void BuildPanels();
    void BuildStatusBar();
    // Shows a panel as its menu entry opens it.
    void OpenPanel(ConsolePanel panel);

    // Menu entries that are no panel's
    void DataQuery_Click();
    void DailyFile_Click();
    void Quit_Click();
    void IssueDirect(CommandCode code);
    void CommandInitialize_Click();
    void CommandSetTime_Click();
    void CommandDispenseInvoice_Click();
    void CommandInstallInv_Click();
    void OnViewerClosed();

    ControlModule& m_;
    StoreService& store_;
    std::array<ConsolePanelFrame*, kPanelCount> panels_{};
    CardCommandsPanel* cardCommands_ = nullptr;
    SingleInvoicePanel* singleInvoice_ = nullptr;
    CutOffDatePanel* cutOff_ = nullptr;
    SerialSettingsPanel* serialSettings_ = nullptr;
    RollInstallationPanel* rollInstallation_ = nullptr;
    SelfTestPanel* selfTest_ = nullptr;
    StoreClearingPanel* storeClearing_ = nullptr;
    std::map<QString, QAction*> menuItems_;
    QMenu* closePicture_ = nullptr;
    std::array<QLabel*, 5> statusPanels_{};
    QProgressBar* progressBar_ = nullptr;
    QPointer<LogViewerWindow> viewer_;
    QEventLoop* modalLoop_ = nullptr;
};

}  // namespace karvex
