#include "console/console_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>
#include <QVBoxLayout>

#include <algorithm>
#include <functional>

#include "console/browser_entry.h"
#include "control/control_module.h"
#include "control/packet_progress.h"
#include "control/result_box.h"
#include "link/result_codes.h"
#include "log/log_viewer_window.h"
#include "store/store_codes.h"
#include "store/store_service.h"

namespace karvex {

namespace {

constexpr const char* kCommandInFlightStatus = "命令执行中，请等待税控器应答";
// Beside the console the viewer is as tall as the console, and its list stops this many pixels above the
// pair's bottom edge.
constexpr int kViewerListMarginBelow = 21;

// The parts of the status bar, left to right (StatusPanel1 .. StatusPanel5).
enum StatusPart : std::size_t { kCaptionPart, kLinkPart, kInFlightPart, kPortPart, kPacketsPart };

// The upload's progress text in the status bar: the kind, the count, the rate and the time left. Where the
// bar is too narrow for it (the window at its 640 px, the status bar's other parts beside it) the blanks go
// first, then the middle of the kind's name, so that the figures always stay readable.
class FittingProgressBar final : public QProgressBar {
public:
    using QProgressBar::QProgressBar;
    void SetParts(const QString& kind, const QString& count, const QString& rate, const QString& left) {
        kind_ = kind;
        count_ = count;
        rate_ = rate;
        left_ = left;
        update();
    }
    QString text() const override {
        const QString roomy = QString("%1  %2  %3 帧/秒  剩余 %4 秒").arg(kind_, count_, rate_, left_);
        // Laid out before it is shown, it takes the whole text.
        if (!isVisible()) return roomy;
        const QFontMetrics fm = fontMetrics();
        const int room = std::max(0, contentsRect().width() - 2 * style()->pixelMetric(QStyle::PM_ButtonMargin));
        if (fm.horizontalAdvance(roomy) <= room) return roomy;
        const QString figures = QString(" %1 %2帧/秒 剩余%3秒").arg(count_, rate_, left_);
        return fm.elidedText(kind_, Qt::ElideMiddle, std::max(0, room - fm.horizontalAdvance(figures))) + figures;
    }

private:
    QString kind_, count_, rate_, left_;
};

QString Q(const char* text) { return QString::fromUtf8(text); }

}  // namespace

ConsoleWindow::ConsoleWindow(ControlModule& module, StoreService& store, QWidget* parent)
    : QMainWindow(parent), m_(module), store_(store) {
    setObjectName("MainFrm");
    setWindowTitle(Q(kConsoleCaption));
    BuildMenus();
    BuildPanels();
    BuildStatusBar();
    RefreshStatus();
    // Room for the largest panel from the start, so that the window does not grow under the operator's
    // hands as panels change; the panels themselves sit at the top of it.
    ensurePolished();
    QSize room(640, 440);
    for (int n = 0; n < kPanelCount; ++n) {
        ShowPanel(static_cast<ConsolePanel>(n));
        // Unshown windows do not notice their children coming and going: the layouts are told.
        centralWidget()->layout()->invalidate();
        centralWidget()->updateGeometry();
        room = room.expandedTo(sizeHint()).expandedTo(minimumSizeHint());
    }
    ShowPanel(ConsolePanel::None);
    resize(room);
    // Centred on the screen when first created.
    if (QScreen* s = screen()) {
        const QRect area = s->availableGeometry();
        move(area.x() + (area.width() - frameGeometry().width()) / 2,
             area.y() + (area.height() - frameGeometry().height()) / 2);
    }
}

// The module may be half torn down when its hooks let go of the window: nothing here may reach into it.
ConsoleWindow::~ConsoleWindow() {
    if (modalLoop_) modalLoop_->quit();
}

// ---------------------------------------------------------------------------------------------------------
// Building

void ConsoleWindow::BuildMenus() {
    struct Item {
        const char* name;
        const char* caption;  // nullptr: separator
        const char* shortcut;
        std::function<void()> run;
        bool hidden = false;
    };
    struct Menu {
        const char* name;
        const char* caption;
        std::vector<Item> items;
    };
    auto direct = [this](CommandCode c) { return [this, c] { IssueDirect(c); }; };
    // A command that changes the processor for good, one key away: it asks first, "否" by default.
    auto asked = [this](CommandCode c, const char* title, const char* question) {
        return [this, c, title, question] {
            ShowPanel(ConsolePanel::None);
            if (!m_.Ui().AskToConfirm(title, question)) {
                statusPanels_[kCaptionPart]->setText(Q(title) + Q("已取消"));
                return;
            }
            IssueDirect(c);
        };
    };
    auto open = [this](ConsolePanel p) { return [this, p] { OpenPanel(p); }; };
    auto singleInvoiceFor = [this](CommandCode c) {
        ShowPanel(ConsolePanel::SingleInvoice);
        singleInvoice_->OpenFor(c);
    };
    auto cutOffFor = [this](CommandCode c, const QString& title) {
        ShowPanel(ConsolePanel::CutOffDate);
        cutOff_->OpenFor(c, title);
    };
    const std::vector<Menu> menus = {
        {"FileName",
         "文件(&F)",
         {{"DataQuery", "数据查询(&S)", "F3", [this] { DataQuery_Click(); }},
          {"MenuLine0", nullptr, nullptr, {}},
          {"DailyFile", "打开日志(&D)", "Ctrl+D", [this] { DailyFile_Click(); }},
          {"MenuLine35", nullptr, nullptr, {}},
          // No visible way leads here: emptying the store is kept away from the everyday menus.
          {"CommandClearAccess", "清空数据库(&B)", "Ctrl+F1", open(ConsolePanel::StoreClearing), true},
          {"MenuLine28", nullptr, nullptr, {}, true},
          {"Quit", "退出(&Q)", "Ctrl+Q", [this] { Quit_Click(); }}}},
        {"MachineData",
         "机器数据(&M)",
         {{"CommandOnline", "联机(&O)", "Ctrl+O", direct(CommandCode::Online)},
          {"Menuline444", nullptr, nullptr, {}},
          {"CommandCheckSelf", "自检(&C)", "Ctrl+K", open(ConsolePanel::SelfTest)},
          {"MenuLine445", nullptr, nullptr, {}},
          {"CommandInitialize", "税控器初始化(&I)", "Ctrl+I", [this] { CommandInitialize_Click(); }},
          {"CommandMachineState", "税控器状态(&S)", "Ctrl+S", direct(CommandCode::MachineState)},
          {"MenuLine1", nullptr, nullptr, {}},
          {"CommandGetTime", "获取税控器时间(&G)", "Ctrl+G", direct(CommandCode::GetTime)},
          {"CommandSetTime", "设置税控器时间(&T)", "Ctrl+T", [this] { CommandSetTime_Click(); }},
          {"MenuLine2", nullptr, nullptr, {}},
          {"CommandGetMachineData", "获取出厂数据(&D)", "Ctrl+Z", direct(CommandCode::GetMachineData)},
          {"MenuLine10", nullptr, nullptr, {}},
          {"CommandUserInformation", "用户信息(&U)", "Ctrl+U", direct(CommandCode::UserInformation)},
          {"CommandTaxInformation", "税种税目信息(&T)", "Ctrl+L", direct(CommandCode::TaxInformation)}}},
        {"InvoiceCommand",
         "发票命令(&V)",
         {{"CommandInvalidateInvoice", "废票(&I)", "F8",
           [singleInvoiceFor] { singleInvoiceFor(CommandCode::InvalidateInvoice); }},
          {"MenuLine3", nullptr, nullptr, {}},
          {"CommandDispenseInvoice", "分发发票号(&D)", "F5", [this] { CommandDispenseInvoice_Click(); }},
          {"CommandAlreadyInvoice", "已分发发票号(&N)", "F6", direct(CommandCode::AlreadyInvoice)},
          {"CommandCurrentInvoice", "当前发票号(&C)", "F7", direct(CommandCode::CurrentInvoice)},
          {"MenuLine121", nullptr, nullptr, {}},
          {"CommandInstallInv", "安装发票(&A)", "F2", [this] { CommandInstallInv_Click(); }}}},
        {"InvoiceData",
         "发票数据(&D)",
         {{"CommandPrintData", "发票打印数据(&P)", "Ctrl+P", open(ConsolePanel::PrintData)},
          {"CommandDayTrade", "日交易数据(&D)", "Ctrl+Y", open(ConsolePanel::DayTrade)},
          {"CommandInvoiceSum", "单卷发票使用汇总(&S)", "Ctrl+N",
           [singleInvoiceFor] { singleInvoiceFor(CommandCode::InvoiceSum); }},
          {"CommandInvoiceData", "发票数据上传(&I)", "Ctrl+W",
           [cutOffFor] { cutOffFor(CommandCode::InvoiceData, Q("发票数据上传")); }},
          {"Menuline765", nullptr, nullptr, {}},
          {"CommandGetTotalSum", "获取累计金额(&C)", "Shift+F5", direct(CommandCode::GetTotalSum)},
          {"Menuline5", nullptr, nullptr, {}},
          {"CommandIdiograph", "数据签名(&J)", "Ctrl+J", open(ConsolePanel::Signing)}}},
        {"DeclareData",
         "税务数据(&A)",
         {{"CommandWriteCard", "申报数据写卡(&W)", "F4",
           [cutOffFor] { cutOffFor(CommandCode::WriteCard, Q("申报数据写卡")); }},
          {"CommandCheckWriteCard", "稽查数据写卡(&A)", "Ctrl+F5", open(ConsolePanel::CheckCard)},
          {"MenuLine20", nullptr, nullptr, {}},
          {"CommandDeclareData", "申报数据上传(&D)", "Ctrl+F4",
           [cutOffFor] { cutOffFor(CommandCode::DeclareData, Q("申报数据上传")); }},
          {"MenuLine77", nullptr, nullptr, {}},
          {"CommandManageEchoplex", "监控管理数据回送(&E)", "Ctrl+E",
           asked(CommandCode::ManageEchoplex, "监控管理数据回送",
                 "税控卡中的监控管理数据将写入税控器，写入后不能撤销。\n确定要回送监控管理数据吗？")},
          {"CommandUpdateCondo", "更新分户开票编号(&U)", "Ctrl+F6",
           asked(CommandCode::UpdateCondo, "更新分户开票编号",
                 "税控器的分户开票编号文件将被更新，更新后不能撤销。\n确定要更新分户开票编号吗？")}}},
        {"ComSet", "系统设置(&S)", {{"CommSetting", "串口设置(&S)", "Ctrl+F7", open(ConsolePanel::SerialSettings)}}},
        {"Help",
         "帮助(&H)",
         {{"CommandReadMe", "使用说明(&R)", "F1", [] {}},
          {"MenuLine6", nullptr, nullptr, {}},
          {"CommandAbout", "关于(&A)", "Ctrl+A", open(ConsolePanel::About)}}},
    };
    for (const Menu& menu : menus) {
        QMenu* qmenu = menuBar()->addMenu(Q(menu.caption));
        qmenu->setObjectName(menu.name);
        qmenu->menuAction()->setObjectName(menu.name);
        menuItems_[menu.name] = qmenu->menuAction();
        for (const Item& item : menu.items) {
            QAction* action = item.caption ? qmenu->addAction(Q(item.caption)) : qmenu->addSeparator();
            action->setObjectName(item.name);
            if (item.shortcut) action->setShortcut(QKeySequence(QString::fromLatin1(item.shortcut)));
            if (item.run) connect(action, &QAction::triggered, this, item.run);
            if (item.hidden) action->setVisible(false);
            menuItems_[item.name] = action;
        }
    }
    // The pop-up of the panel frames; it has no place in the menu bar.
    closePicture_ = new QMenu(Q("关闭Pic"), this);
    closePicture_->setObjectName("ClosePicture");
    menuItems_["ClosePicture"] = closePicture_->menuAction();
    QAction* close = closePicture_->addAction(Q("关闭"));
    close->setObjectName("PicClose");
    connect(close, &QAction::triggered, this, [this] { ShowPanel(ConsolePanel::None); });
    menuItems_["PicClose"] = close;
}

void ConsoleWindow::BuildPanels() {
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    setCentralWidget(central);
    PanelHost& host = *this;
    cardCommands_ = new CardCommandsPanel(host, central);
    singleInvoice_ = new SingleInvoicePanel(host, central);
    cutOff_ = new CutOffDatePanel(host, central);
    serialSettings_ = new SerialSettingsPanel(host, central);
    rollInstallation_ = new RollInstallationPanel(host, central);
    selfTest_ = new SelfTestPanel(host, central);
    storeClearing_ = new StoreClearingPanel(host, central);
    // In ConsolePanel order, which is the order they stack in.
    const std::array<ConsolePanelFrame*, kPanelCount> panels = {
        new PrintDataPanel(host, central),
        new DayTradePanel(host, central),
        new FactoryDataPanel(host, central),
        cardCommands_,
        singleInvoice_,
        cutOff_,
        new SigningPanel(host, central),
        serialSettings_,
        rollInstallation_,
        new CheckCardPanel(host, central),
        new AboutPanel(host, central),
        selfTest_,
        storeClearing_,
    };
    for (ConsolePanelFrame* panel : panels) {
        // A panel out of its place would be shown for another's menu entry.
        Q_ASSERT(panels_[static_cast<std::size_t>(panel->Id())] == nullptr);
        panels_[static_cast<std::size_t>(panel->Id())] = panel;
        layout->addWidget(panel);
    }
    layout->addStretch();
}

void ConsoleWindow::OpenPanel(ConsolePanel panel) {
    ShowPanel(panel);
    if (QWidget* p = Panel(panel)) static_cast<ConsolePanelFrame*>(p)->Opened();
}

void ConsoleWindow::BuildStatusBar() {
    QStatusBar* bar = statusBar();
    bar->setObjectName("StatusBar1");
    for (std::size_t i = 0; i < statusPanels_.size(); ++i) {
        auto* panel = new QLabel(bar);
        panel->setObjectName(QString("StatusPanel%1").arg(i + 1));
        statusPanels_[i] = panel;
        bar->addWidget(panel, i == kCaptionPart ? 1 : 0);
    }
    statusPanels_[kCaptionPart]->setText(Q(kConsoleCaption));
    // The in-flight part tells why the commands are unavailable while one is in flight; it is wide enough for
    // that from the start, so that the window does not change size when the text comes and goes.
    QLabel* inFlight = statusPanels_[kInFlightPart];
    inFlight->setMinimumWidth(inFlight->fontMetrics().horizontalAdvance(Q(kCommandInFlightStatus)) +
                              inFlight->contentsMargins().left() + inFlight->contentsMargins().right());
    progressBar_ = new FittingProgressBar(bar);
    progressBar_->setObjectName("UploadProgress");
    // Room for the figures at least; the kind's name gives way where the window is narrow.
    progressBar_->setMinimumWidth(
        progressBar_->fontMetrics().horizontalAdvance(Q("发票… 99999/≥99999 999.9帧/秒 剩余9999秒")));
    // The caption part gives up its room first.
    statusPanels_[kCaptionPart]->setMinimumWidth(0);
    statusPanels_[kCaptionPart]->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    progressBar_->hide();
    bar->addPermanentWidget(progressBar_);
}

void ConsoleWindow::ShowProgress(const Progress& p) {
    if (p.done) {
        progressBar_->hide();
        progressBar_->reset();
        return;
    }
    // The processor counts at most 255 frames ahead: while it says 255 the total is only a lower bound.
    const bool atLeast = p.total - p.received >= PacketProgress::kFollowCap;
    progressBar_->setRange(0, std::max(p.total, 1));
    progressBar_->setValue(std::min(p.received, std::max(p.total, 1)));
    const QString rate = p.framesPerSecond > 0 ? QString::number(p.framesPerSecond, 'f', 1) : Q("--");
    const QString left = p.secondsLeft >= 0 ? QString::number(p.secondsLeft) : Q("--");
    static_cast<FittingProgressBar*>(progressBar_)
        ->SetParts(p.label, QString("%1/%2%3").arg(p.received).arg(atLeast ? Q("≥") : QString()).arg(p.total), rate,
                   left);
    progressBar_->show();
}

// ---------------------------------------------------------------------------------------------------------
// Access to the controls

QWidget* ConsoleWindow::Panel(ConsolePanel panel) const {
    const int n = static_cast<int>(panel);
    return n >= 0 && n < kPanelCount ? panels_[static_cast<std::size_t>(n)] : nullptr;
}

QLabel* ConsoleWindow::PanelTitle(ConsolePanel panel, int part) const {
    const int n = static_cast<int>(panel);
    return n >= 0 && n < kPanelCount ? panels_[static_cast<std::size_t>(n)]->Title(part) : nullptr;
}

QLineEdit* ConsoleWindow::Field(ConsoleField field) const {
    for (ConsolePanelFrame* p : panels_) {
        if (QLineEdit* e = p->Field(field)) return e;
    }
    return nullptr;
}

QRadioButton* ConsoleWindow::Choice(ConsoleChoice choice) const {
    for (ConsolePanelFrame* p : panels_) {
        if (QRadioButton* r = p->Choice(choice)) return r;
    }
    return nullptr;
}

QPushButton* ConsoleWindow::Button(const QString& name) const {
    for (ConsolePanelFrame* p : panels_) {
        if (QPushButton* b = p->Button(name)) return b;
    }
    return nullptr;
}

QCheckBox* ConsoleWindow::SelfTestCheck(SelfTestBox box) const { return selfTest_->Check(box); }
QLabel* ConsoleWindow::SelfTestVerdict(SelfTestBox box) const { return selfTest_->Verdict(box); }
QCheckBox* ConsoleWindow::ClearCheck(std::size_t box) const { return storeClearing_->Check(box); }
QLabel* ConsoleWindow::ClearState(std::size_t box) const { return storeClearing_->State(box); }

QAction* ConsoleWindow::MenuItem(const QString& name) const {
    auto it = menuItems_.find(name);
    return it == menuItems_.end() ? nullptr : it->second;
}

// ---------------------------------------------------------------------------------------------------------
// Showing and hiding

int ConsoleWindow::ShowForm(std::int32_t showModal, std::int64_t hostWindow) {
    const bool modal = showModal == 1;
    // The host window is recorded and hidden before the console shows: a modal console returns only when
    // it is closed again, and by then quitting must already know which window to bring back.
    m_.SetConsoleShown(modal, hostWindow);
    if (hostWindow != 0) {
        if (QWidget* host = QWidget::find(static_cast<WId>(hostWindow)); host && host != this) host->hide();
    }
    const Qt::WindowModality wanted = modal ? Qt::ApplicationModal : Qt::NonModal;
    if (windowModality() != wanted) {
        // Modality only changes while the window is hidden.
        if (isVisible()) hide();
        setWindowModality(wanted);
    }
    show();
    raise();
    activateWindow();
    if (modal && modalLoop_ == nullptr) {
        QEventLoop loop;
        modalLoop_ = &loop;
        QPointer<ConsoleWindow> self(this);
        connect(this, &QObject::destroyed, &loop, &QEventLoop::quit);
        loop.exec();
        if (self) self->modalLoop_ = nullptr;
    }
    return 0;
}

void ConsoleWindow::RestoreHostWindow() {
    if (m_.HostWindow() == 0) return;
    if (QWidget* host = QWidget::find(static_cast<WId>(m_.HostWindow())); host && host != this) host->showNormal();
}

void ConsoleWindow::closeEvent(QCloseEvent* event) {
    // The close box only hides the console: the link, the panels and their contents stay for the next show.
    event->ignore();
    hide();
    RestoreHostWindow();
}

void ConsoleWindow::hideEvent(QHideEvent* event) {
    QMainWindow::hideEvent(event);
    if (!event->spontaneous() && modalLoop_) modalLoop_->quit();
}

void ConsoleWindow::Quit_Click() {
    hide();
    RestoreHostWindow();
}

void ConsoleWindow::ShowPanel(ConsolePanel panel) {
    // The others go first: two panels on show at once, even for a moment, would make the window grow to
    // hold both.
    QWidget* shown = Panel(panel);
    for (ConsolePanelFrame* p : panels_) {
        if (p != shown) p->Withdraw();
    }
    if (shown) shown->setVisible(true);
}

ConsolePanel ConsoleWindow::VisiblePanel() const {
    for (int i = 0; i < kPanelCount; ++i) {
        if (!panels_[static_cast<std::size_t>(i)]->isHidden()) return static_cast<ConsolePanel>(i);
    }
    return ConsolePanel::None;
}

bool ConsoleWindow::IsMenuShortcut(const QKeySequence& keys) const {
    for (const auto& [name, action] : menuItems_) {
        if (action->isVisible() && action->isEnabled() && !action->shortcut().isEmpty() && action->shortcut() == keys)
            return true;
    }
    return false;
}

void ConsoleWindow::PopUpPanelMenu(const QPoint& globalPos) { closePicture_->popup(globalPos); }

void ConsoleWindow::ShowCaptionStatus(const QString& text) { statusPanels_[kCaptionPart]->setText(text); }

void ConsoleWindow::ShowIssueOutcome(const IssueResult& r) {
    // The caption part carries the caption while commands go out. A refusal often only empties a field, and a
    // closed port says nothing at all: the operator reads there why nothing was sent.
    if (r.sent) {
        statusPanels_[kCaptionPart]->setText(Q(kConsoleCaption));
    } else if (r.code != result::kSuccess && r.code != result::kCommandAborted) {
        statusPanels_[kCaptionPart]->setText(Q("命令未发送：") + QString::fromStdString(ResultMessage(r.code)));
    }
}

// ---------------------------------------------------------------------------------------------------------
// Menu entries
//
// The entries that open a panel start nothing: the panel's issuer starts its command when its request goes
// out, and an entry opened while a host call still waits for its answer must not turn that answer into a
// console answer (or cut a query chain short).

void ConsoleWindow::IssueDirect(CommandCode code) {
    ShowPanel(ConsolePanel::None);
    ShowIssueOutcome(IssueMenuCommand(m_.MakeIssueContext(), code));
}

// Initialisation cannot be undone, and its success empties nearly every local table: Ctrl+I sits beside
// Ctrl+O and Ctrl+U and works from inside a field, so it asks first, naming the tables.
void ConsoleWindow::CommandInitialize_Click() {
    ShowPanel(ConsolePanel::None);
    const std::string tables = StoreClearingPanel::Captions(StoreTableFlags::kAfterInitialize);
    if (!m_.Ui().AskToConfirm("税控器初始化", "税控器初始化不能撤销。\n初始化成功后，本地数据库的以下各表将被清空：\n" +
                                                  tables + "\n\n确定要初始化税控器吗？")) {
        statusPanels_[kCaptionPart]->setText(Q("税控器初始化已取消"));
        return;
    }
    IssueDirect(CommandCode::Initialize);
}

void ConsoleWindow::CommandSetTime_Click() {
    ShowPanel(ConsolePanel::None);
    ShowIssueOutcome(IssueSetTime(m_.MakeIssueContext()));
}

void ConsoleWindow::CommandDispenseInvoice_Click() {
    ShowPanel(ConsolePanel::None);
    ShowIssueOutcome(IssueDispenseInvoice(m_.MakeIssueContext()));
}

void ConsoleWindow::DataQuery_Click() {
    ShowPanel(ConsolePanel::None);
    ShowDataBrowser(store_, this);
}

void ConsoleWindow::DailyFile_Click() {
    if (!viewer_) {
        viewer_ = new LogViewerWindow(m_.Log(), this);
        viewer_->SetClearQuestion([this] {
            return m_.Ui().AskToConfirm("清除日志", "命令日志将被全部删除，删除后不能恢复。\n确定要清除日志吗？");
        });
        connect(viewer_, &LogViewerWindow::Closed, this, [this] { OnViewerClosed(); });
    }
    const Qt::WindowModality wanted = m_.ConsoleModal() == 1 ? Qt::ApplicationModal : Qt::NonModal;
    if (viewer_->windowModality() != wanted) {
        // Modality only changes while the window is hidden (a viewer left open from an earlier showing).
        if (viewer_->isVisible()) viewer_->hide();
        viewer_->setWindowModality(wanted);
    }
    // Shown first: the window frames are only known once the windows exist.
    viewer_->show();
    // Console and viewer side by side, centred together on the screen.
    if (QScreen* s = screen()) {
        const int screenWidth = s->geometry().width();
        const int consoleWidth = frameGeometry().width();
        const int viewerWidth = viewer_->frameGeometry().width();
        const int left = s->geometry().x() + (screenWidth - consoleWidth - viewerWidth) / 2;
        move(left, frameGeometry().top());
        viewer_->move(left + consoleWidth, frameGeometry().top());
        viewer_->resize(viewer_->width(), height());
        viewer_->SetListHeight(height() - kViewerListMarginBelow);
    }
    m_.Log().TrimLogViewer();
    viewer_->SelectLast();
    viewer_->raise();
}

void ConsoleWindow::OnViewerClosed() {
    viewer_ = nullptr;
    const Qt::WindowStates state = windowState();
    if (state & (Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen)) return;
    if (QScreen* s = screen()) {
        move(s->geometry().x() + (s->geometry().width() - frameGeometry().width()) / 2, frameGeometry().top());
    }
}

void ConsoleWindow::CommandInstallInv_Click() {
    const int r = rollInstallation_->QueryRolls();
    // A send refused by the link ends silently as every console command does; only a store that could not
    // be prepared is worth a word.
    if (r != result::kSuccess && r != result::kNoOpenPort) ShowResultBox(m_.Ui(), r, "安装发票");
}

// ---------------------------------------------------------------------------------------------------------
// Completion hooks

void ConsoleWindow::FillInstallList() { rollInstallation_->FillList(); }

void ConsoleWindow::ShowSelfTestVerdict(SelfTestBox box, const std::string& text) { selfTest_->ShowVerdict(box, text); }

void ConsoleWindow::RefreshStatus() {
    const StatusTexts& s = m_.Status();
    statusPanels_[kLinkPart]->setText(QString::fromStdString(s.link));
    statusPanels_[kPortPart]->setText(QString::fromStdString(s.port));
    statusPanels_[kPacketsPart]->setText(QString::fromStdString(s.packets));
}

void ConsoleWindow::SetCommandInFlight(bool inFlight) {
    for (const char* name : {"MachineData", "InvoiceCommand", "InvoiceData", "DeclareData"}) {
        QAction* menu = menuItems_.at(name);
        menu->setEnabled(!inFlight);
        // The entries' shortcuts stay live in a disabled menu; each entry is disabled too.
        for (QAction* entry : menu->menu()->actions()) entry->setEnabled(!inFlight);
    }
    for (ConsolePanelFrame* panel : panels_) {
        for (const auto& [name, button] : panel->Buttons()) button->setEnabled(!inFlight);
    }
    statusPanels_[kInFlightPart]->setText(inFlight ? Q(kCommandInFlightStatus) : QString());
}

void ConsoleWindow::SetStoring(bool storing) {
    for (const char* name : {"DataQuery", "CommandClearAccess", "CommSetting"})
        menuItems_.at(name)->setEnabled(!storing);
}

void ConsoleWindow::SetBusyCursor(bool busy) {
    if (busy) {
        setCursor(Qt::BusyCursor);
    } else {
        unsetCursor();
    }
}

}  // namespace karvex
