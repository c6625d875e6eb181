#include "console/console_window.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QEventLoop>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStyle>
#include <QStatusBar>
#include <QTimer>
#include <QValidator>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <optional>

#include "commands/caller_modes.h"
#include "console/browser_entry.h"
#include "control/control_module.h"
#include "control/packet_progress.h"
#include "control/result_box.h"
#include "store/store_service.h"
#include "convert/conversions.h"
#include "link/result_codes.h"
#include "log/log_viewer_window.h"
#include "store/store_codes.h"

#ifndef KARVEX_VERSION_TEXT
#define KARVEX_VERSION_TEXT "0"
#endif

namespace karvex {

namespace {

constexpr const char* kCaption = "税控器通讯软件";
constexpr const char* kReleaseDate = "2024-06-01";
constexpr const char* kNotChosen = "未选择";
constexpr const char* kWaitingCheck = "等待检查";
constexpr const char* kWaitingClear = "等待清空";
constexpr const char* kCommandInFlightStatus = "命令执行中，请等待税控器应答";
// Beside the console the viewer is as tall as the console, and its list stops this many pixels above the
// pair's bottom edge.
constexpr int kViewerListMarginBelow = 21;

// The parts of the status bar, left to right (StatusPanel1 .. StatusPanel5).
enum StatusPart : std::size_t { kCaptionPart, kLinkPart, kInFlightPart, kPortPart, kPacketsPart };

// Captions of the self-test boxes, in SelfTestBox order.
constexpr const char* kSelfTestCaptions[kSelfTestBoxCount] = {"CPU自检..................", "代码自检.................",
                                                              "RAM自检..................", "存储器自检...............",
                                                              "指示灯检查..............."};

using F = ConsoleField;

// Where the focus goes from a field: another field, a panel button, or nowhere.
struct FocusTarget {
    std::optional<ConsoleField> field;
    const char* button = nullptr;
};
constexpr FocusTarget To(ConsoleField f) { return {f, nullptr}; }
constexpr FocusTarget Press(const char* button) { return {std::nullopt, button}; }

// The focus order of the fields: once a field holds `fillLength` GBK bytes the focus moves to `whenFull`
// (0: a field without auto-advance), and Enter in it goes to `onEnter`. `name` is the field's object name
// (Text3_<n>): scripts and tests that drive the console find the field by it, so it stays fixed whatever the
// field is called in the code.
struct FieldRow {
    ConsoleField field;
    const char* name;
    std::size_t fillLength;
    FocusTarget whenFull;
    FocusTarget onEnter;
};

constexpr FieldRow kFieldRows[] = {
    {F::PrintStartNumber, "Text3_0", 10, To(F::PrintEndNumber), To(F::PrintEndNumber)},
    {F::PrintEndNumber, "Text3_1", 10, Press("CommandInvoice"), Press("CommandInvoice")},
    {F::PrintStartYear, "Text3_2", 4, To(F::PrintStartMonth), To(F::PrintStartMonth)},
    {F::PrintStartMonth, "Text3_3", 2, To(F::PrintStartDay), To(F::PrintStartDay)},
    {F::PrintStartDay, "Text3_4", 2, To(F::PrintEndYear), To(F::PrintEndYear)},
    {F::PrintEndYear, "Text3_5", 4, To(F::PrintEndMonth), To(F::PrintEndMonth)},
    {F::PrintEndMonth, "Text3_6", 2, To(F::PrintEndDay), To(F::PrintEndDay)},
    {F::PrintEndDay, "Text3_7", 2, Press("CommandInvoice"), Press("CommandInvoice")},
    {F::InvoiceNumber, "Text3_8", 10, Press("CommandSinInv"), Press("CommandSinInv")},
    {F::DayTradeStartYear, "Text3_11", 4, To(F::DayTradeStartMonth), To(F::DayTradeStartMonth)},
    {F::DayTradeStartMonth, "Text3_12", 2, To(F::DayTradeStartDay), To(F::DayTradeStartDay)},
    {F::DayTradeStartDay, "Text3_13", 2, To(F::DayTradeEndYear), To(F::DayTradeEndYear)},
    {F::DayTradeEndYear, "Text3_14", 4, To(F::DayTradeEndMonth), To(F::DayTradeEndMonth)},
    {F::DayTradeEndMonth, "Text3_15", 2, To(F::DayTradeEndDay), To(F::DayTradeEndDay)},
    {F::DayTradeEndDay, "Text3_16", 2, Press("CommandDTRad"), Press("CommandDTRad")},
    {F::ProductionYear, "Text3_17", 4, To(F::ProductionMonth), To(F::ProductionMonth)},
    {F::ProductionMonth, "Text3_18", 2, To(F::ProductionDay), To(F::ProductionDay)},
    {F::ProductionDay, "Text3_19", 2, To(F::HardwareVersion), To(F::HardwareVersion)},
    {F::CutOffYear, "Text3_20", 4, To(F::CutOffMonth), To(F::CutOffMonth)},
    {F::CutOffMonth, "Text3_21", 2, To(F::CutOffDay), To(F::CutOffDay)},
    {F::CutOffDay, "Text3_22", 2, Press("CommandDeclareCmd"), Press("CommandDeclareCmd")},
    {F::MachineNumber, "Text3_23", 16, To(F::ProductionYear), To(F::ProductionYear)},
    {F::HardwareVersion, "Text3_24", 18, To(F::SoftwareVersion), To(F::SoftwareVersion)},
    {F::SoftwareVersion, "Text3_25", 18, Press("CommandSetMD"), Press("CommandSetMD")},
    {F::CheckStartNumber, "Text3_26", 10, To(F::CheckEndNumber), To(F::CheckEndNumber)},
    {F::CheckEndNumber, "Text3_27", 10, Press("CommandWriteCheckCard"), Press("CommandWriteCheckCard")},
    {F::SigningData, "Text3_30", 0, {}, Press("CommandDataIph")},
    {F::CardBytes, "Text3_31", 0, {}, Press("CommandSendStr")},
    {F::CheckStartYear, "Text3_32", 4, To(F::CheckStartMonth), To(F::CheckStartMonth)},
    {F::CheckStartMonth, "Text3_33", 2, To(F::CheckStartDay), To(F::CheckStartDay)},
    {F::CheckStartDay, "Text3_34", 2, To(F::CheckEndYear), To(F::CheckEndYear)},
    {F::CheckEndYear, "Text3_35", 4, To(F::CheckEndMonth), To(F::CheckEndMonth)},
    {F::CheckEndMonth, "Text3_36", 2, To(F::CheckEndDay), To(F::CheckEndDay)},
    {F::CheckEndDay, "Text3_37", 2, Press("CommandWriteCheckCard"), Press("CommandWriteCheckCard")},
};

constexpr ConsoleDateFields kPrintStart{F::PrintStartYear, F::PrintStartMonth, F::PrintStartDay};
constexpr ConsoleDateFields kPrintEnd{F::PrintEndYear, F::PrintEndMonth, F::PrintEndDay};
constexpr ConsoleDateFields kDayTradeStart{F::DayTradeStartYear, F::DayTradeStartMonth, F::DayTradeStartDay};
constexpr ConsoleDateFields kDayTradeEnd{F::DayTradeEndYear, F::DayTradeEndMonth, F::DayTradeEndDay};
constexpr ConsoleDateFields kProduction{F::ProductionYear, F::ProductionMonth, F::ProductionDay};
constexpr ConsoleDateFields kCutOff{F::CutOffYear, F::CutOffMonth, F::CutOffDay};
constexpr ConsoleDateFields kCheckStart{F::CheckStartYear, F::CheckStartMonth, F::CheckStartDay};
constexpr ConsoleDateFields kCheckEnd{F::CheckEndYear, F::CheckEndMonth, F::CheckEndDay};

const FieldRow& RowOf(ConsoleField field) {
    for (const FieldRow& row : kFieldRows) {
        if (row.field == field) return row;
    }
    // Every field has its row; a field without one is a fault in the table above.
    std::abort();
}

// The object names the other controls answer to, fixed for the scripts and tests that find them by name; the
// fields' names stand in their rows above. Nothing else in the console spells these names.
struct ChoiceRow {
    ConsoleChoice choice;
    const char* name;
};
constexpr ChoiceRow kChoiceNames[] = {
    {ConsoleChoice::PrintByNumber, "Option1_0"},      {ConsoleChoice::PrintByDates, "Option1_1"},
    {ConsoleChoice::CardDecimal, "Option3_0"},        {ConsoleChoice::CardHexadecimal, "Option3_1"},
    {ConsoleChoice::SigningHexadecimal, "Option3_2"}, {ConsoleChoice::SigningDecimal, "Option3_3"},
    {ConsoleChoice::CheckDetail, "Option4_0"},        {ConsoleChoice::CheckDeclaration, "Option4_1"},
    {ConsoleChoice::CheckDayTrade, "Option4_2"},      {ConsoleChoice::CheckByNumber, "Option5_0"},
    {ConsoleChoice::CheckByDates, "Option5_1"},
};
const char* NameOf(ConsoleChoice choice) {
    for (const ChoiceRow& row : kChoiceNames) {
        if (row.choice == choice) return row.name;
    }
    std::abort();
}
QString PanelName(ConsolePanel panel) { return QString("Picture1_%1").arg(static_cast<int>(panel)); }
QString SelfTestCheckName(SelfTestBox box) { return QString("Check2_%1").arg(static_cast<int>(box)); }
QString SelfTestVerdictName(SelfTestBox box) { return QString("Label3_%1").arg(32 + static_cast<int>(box)); }
QString ClearCheckName(std::size_t box) { return QString("Check3_%1").arg(box); }
QString ClearStateName(std::size_t box) { return QString("Label3_%1").arg(37 + box); }
constexpr const char* kClearAllName = "Check3_13";
constexpr const char* kPrinterPortName = "Combo2_0";
constexpr const char* kSerialPortName = "Combo2_1";
constexpr const char* kBaudRateName = "Combo2_2";
constexpr const char* kPrintInvoiceName = "Check1_0";
constexpr const char* kCashDrawerName = "Check1_1";
constexpr const char* kCardPowerName = "Combo1";
constexpr const char* kRollListName = "List1";

// Holds a field to the GBK bytes at which its focus moves on: the limit auto-advance measures against, so
// that a full field is never passed over by a double-byte character.
class GbkLengthValidator final : public QValidator {
public:
    GbkLengthValidator(std::size_t bytes, QObject* parent) : QValidator(parent), bytes_(bytes) {}
    State validate(QString& input, int&) const override {
        return GbkByteLength(input.toStdString()) <= bytes_ ? Acceptable : Invalid;
    }

private:
    std::size_t bytes_;
};

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

template <typename K, typename T>
T* Lookup(const std::map<K, T*>& map, K key) {
    auto it = map.find(key);
    return it == map.end() ? nullptr : it->second;
}

}  // namespace

const std::array<ConsoleWindow::ClearBox, ConsoleWindow::kClearBoxCount> ConsoleWindow::kClearBoxes = {{
    {"用户信息.....", StoreTableFlags::kUserInformation},
    {"税目信息.....", StoreTableFlags::kTaxInformation},
    // The bit beside the declaration table has no table of its own.
    {"申报数据.....", StoreTableFlags::kDeclareData | 0x4000},
    {"数据签名.....", StoreTableFlags::kIdiograph | StoreTableFlags::kIdiographShow},
    // As above, 0x1000 has no table.
    {"日交易数据...", StoreTableFlags::kDayTrade | 0x1000},
    {"单卷汇总数据.", StoreTableFlags::kInvUseSum},
    {"发票打印数据.", StoreTableFlags::kInvPrintData},
    {"发票库......", StoreTableFlags::kInvoiceNumber},
    {"开票数据....", StoreTableFlags::kMakeInvoice},
    {"监视命令....", StoreTableFlags::kWatchCommand},
    {"监视接收....", StoreTableFlags::kWatchAcceptData},
    {"监视错误....", StoreTableFlags::kWatchError},
    {"出厂数据....", StoreTableFlags::kMachineData},
}};

ConsoleWindow::ConsoleWindow(ControlModule& module, StoreService& store, QWidget* parent)
    : QMainWindow(parent), m_(module), store_(store) {
    setObjectName("MainFrm");
    setWindowTitle(Q(kCaption));
    BuildMenus();
    BuildPanels();
    BuildStatusBar();
    InstallClearProgress();
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
    const std::vector<Menu> menus = {
        {"FileName",
         "文件(&F)",
         {{"DataQuery", "数据查询(&S)", "F3", [this] { DataQuery_Click(); }},
          {"MenuLine0", nullptr, nullptr, {}},
          {"DailyFile", "打开日志(&D)", "Ctrl+D", [this] { DailyFile_Click(); }},
          {"MenuLine35", nullptr, nullptr, {}},
          // No visible way leads here: emptying the store is kept away from the everyday menus.
          {"CommandClearAccess", "清空数据库(&B)", "Ctrl+F1", [this] { CommandClearAccess_Click(); }, true},
          {"MenuLine28", nullptr, nullptr, {}, true},
          {"Quit", "退出(&Q)", "Ctrl+Q", [this] { Quit_Click(); }}}},
        {"MachineData",
         "机器数据(&M)",
         {{"CommandOnline", "联机(&O)", "Ctrl+O", direct(CommandCode::Online)},
          {"Menuline444", nullptr, nullptr, {}},
          {"CommandCheckSelf", "自检(&C)", "Ctrl+K", [this] { CommandCheckSelf_Click(); }},
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
         {{"CommandInvalidateInvoice", "废票(&I)", "F8", [this] { CommandInvalidateInvoice_Click(); }},
          {"MenuLine3", nullptr, nullptr, {}},
          {"CommandDispenseInvoice", "分发发票号(&D)", "F5", [this] { CommandDispenseInvoice_Click(); }},
          {"CommandAlreadyInvoice", "已分发发票号(&N)", "F6", direct(CommandCode::AlreadyInvoice)},
          {"CommandCurrentInvoice", "当前发票号(&C)", "F7", direct(CommandCode::CurrentInvoice)},
          {"MenuLine121", nullptr, nullptr, {}},
          {"CommandInstallInv", "安装发票(&A)", "F2",
           [this] {
               const int r = CommandInstallInv_Click();
               // A send refused by the link ends silently as every console command does; only a store
               // that could not be prepared is worth a word.
               if (r != result::kSuccess && r != result::kNoOpenPort) {
                   ShowResultBox(m_.Ui(), r, "安装发票");
               }
           }}}},
        {"InvoiceData",
         "发票数据(&D)",
         {{"CommandPrintData", "发票打印数据(&P)", "Ctrl+P", [this] { CommandPrintData_Click(); }},
          {"CommandDayTrade", "日交易数据(&D)", "Ctrl+Y", [this] { CommandDayTrade_Click(); }},
          {"CommandInvoiceSum", "单卷发票使用汇总(&S)", "Ctrl+N", [this] { CommandInvoiceSum_Click(); }},
          {"CommandInvoiceData", "发票数据上传(&I)", "Ctrl+W",
           [this] { OpenCutOffPanel(CommandCode::InvoiceData, Q("发票数据上传")); }},
          {"Menuline765", nullptr, nullptr, {}},
          {"CommandGetTotalSum", "获取累计金额(&C)", "Shift+F5", direct(CommandCode::GetTotalSum)},
          {"Menuline5", nullptr, nullptr, {}},
          {"CommandIdiograph", "数据签名(&J)", "Ctrl+J", [this] { CommandIdiograph_Click(); }}}},
        {"DeclareData",
         "税务数据(&A)",
         {{"CommandWriteCard", "申报数据写卡(&W)", "F4",
           [this] { OpenCutOffPanel(CommandCode::WriteCard, Q("申报数据写卡")); }},
          {"CommandCheckWriteCard", "稽查数据写卡(&A)", "Ctrl+F5", [this] { CommandCheckWriteCard_Click(); }},
          {"MenuLine20", nullptr, nullptr, {}},
          {"CommandDeclareData", "申报数据上传(&D)", "Ctrl+F4",
           [this] { OpenCutOffPanel(CommandCode::DeclareData, Q("申报数据上传")); }},
          {"MenuLine77", nullptr, nullptr, {}},
          {"CommandManageEchoplex", "监控管理数据回送(&E)", "Ctrl+E", direct(CommandCode::ManageEchoplex)},
          {"CommandUpdateCondo", "更新分户开票编号(&U)", "Ctrl+F6", direct(CommandCode::UpdateCondo)}}},
        {"ComSet", "系统设置(&S)", {{"CommSetting", "串口设置(&S)", "Ctrl+F7", [this] { CommSetting_Click(); }}}},
        {"Help",
         "帮助(&H)",
         {{"CommandReadMe", "使用说明(&R)", "F1", [] {}},
          {"MenuLine6", nullptr, nullptr, {}},
          {"CommandAbout", "关于(&A)", "Ctrl+A", [this] { CommandAbout_Click(); }}}},
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

QLineEdit* ConsoleWindow::AddField(ConsoleField field, QWidget* owner) {
    const FieldRow& row = RowOf(field);
    auto* edit = new QLineEdit(owner);
    edit->setObjectName(row.name);
    // A field holds no more than fills it: a full field moves the focus on, and typing on in it would only
    // make a value that auto-advance no longer notices.
    if (row.fillLength > 0) {
        edit->setMaxLength(static_cast<int>(row.fillLength));
        edit->setValidator(new GbkLengthValidator(row.fillLength, edit));
    }
    fields_[field] = edit;
    connect(edit, &QLineEdit::textEdited, this, [this, field] { OnFieldEdited(field); });
    edit->installEventFilter(this);
    return edit;
}

QPushButton* ConsoleWindow::AddButton(const QString& name, const QString& caption, QWidget* owner) {
    auto* button = new QPushButton(caption, owner);
    button->setObjectName(name);
    button->installEventFilter(this);
    buttons_[name] = button;
    return button;
}

QRadioButton* ConsoleWindow::AddChoice(ConsoleChoice choice, const char* caption, QWidget* owner, QButtonGroup* group) {
    auto* r = new QRadioButton(Q(caption), owner);
    r->setObjectName(NameOf(choice));
    choices_[choice] = r;
    // Kept at their natural width: a stretched option button does not take clicks beside its text.
    r->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    group->addButton(r);
    return r;
}

namespace {
QLabel* Caption(const char* text, QWidget* owner, std::vector<QWidget*>* group = nullptr) {
    auto* l = new QLabel(Q(text), owner);
    if (group) group->push_back(l);
    return l;
}
QVBoxLayout* PanelLayout(QWidget* panel) { return static_cast<QVBoxLayout*>(panel->layout()); }
}  // namespace

QWidget* ConsoleWindow::NewPanel(ConsolePanel id, std::initializer_list<const char*> titles) {
    QWidget* central = centralWidget();
    auto* panel = new QGroupBox(central);
    panel->setObjectName(PanelName(id));
    panel->installEventFilter(this);
    auto* layout = new QVBoxLayout(panel);
    auto* titleRow = new QHBoxLayout;
    int part = 0;
    for (const char* t : titles) {
        auto* label = new QLabel(Q(t), panel);
        label->setObjectName(QString("PanelTitle%1_%2").arg(static_cast<int>(id)).arg(part));
        QFont f = label->font();
        f.setBold(true);
        label->setFont(f);
        titles_[{id, part++}] = label;
        titleRow->addWidget(label);
    }
    titleRow->addStretch();
    layout->addLayout(titleRow);
    panels_[static_cast<std::size_t>(id)] = panel;
    static_cast<QVBoxLayout*>(central->layout())->addWidget(panel);
    return panel;
}

// Caption, then year "年" month "月" day "日".
void ConsoleWindow::AddDateRow(QGridLayout* grid, int row, const char* caption, const ConsoleDateFields& date,
                               QWidget* owner, std::vector<QWidget*>* captions) {
    grid->addWidget(Caption(caption, owner, captions), row, 0);
    auto* h = new QHBoxLayout;
    const std::pair<ConsoleField, const char*> parts[3] = {{date.year, "年"}, {date.month, "月"}, {date.day, "日"}};
    for (const auto& [field, unit] : parts) {
        h->addWidget(AddField(field, owner));
        h->addWidget(Caption(unit, owner, captions));
    }
    grid->addLayout(h, row, 1);
}

void ConsoleWindow::AddFieldRow(QGridLayout* grid, int row, const char* caption, ConsoleField field, QWidget* owner,
                                std::vector<QWidget*>* captions) {
    grid->addWidget(Caption(caption, owner, captions), row, 0);
    grid->addWidget(AddField(field, owner), row, 1);
}

void ConsoleWindow::AddOkRow(QWidget* panel, const char* name, const char* caption) {
    auto* h = new QHBoxLayout;
    h->addStretch();
    h->addWidget(AddButton(name, Q(caption), panel));
    PanelLayout(panel)->addLayout(h);
}

void ConsoleWindow::BuildPanels() {
    auto* central = new QWidget(this);
    new QVBoxLayout(central);
    setCentralWidget(central);
    BuildPrintDataPanel();
    BuildDayTradePanel();
    BuildFactoryDataPanel();
    BuildCardCommandsPanel();
    BuildSingleInvoicePanel();
    BuildCutOffDatePanel();
    BuildSigningPanel();
    BuildSerialSettingsPanel();
    BuildRollInstallationPanel();
    BuildCheckCardPanel();
    BuildAboutPanel();
    BuildSelfTestPanel();
    BuildStoreClearingPanel();
    static_cast<QVBoxLayout*>(central->layout())->addStretch();

    const std::map<QString, std::function<void()>> handlers = {
        {"CommandInvoice", [this] { CommandInvoice_Click(); }},
        {"CommandDTRad", [this] { CommandDTRad_Click(); }},
        {"CommandSetMD", [this] { CommandSetMD_Click(); }},
        {"CommandSendCom", [this] { CommandSendCom_Click(); }},
        {"CommandSendStr", [this] { CommandSendStr_Click(); }},
        {"CommandSinInv", [this] { CommandSinInv_Click(); }},
        {"CommandDeclareCmd", [this] { CommandDeclareCmd_Click(); }},
        {"CommandDataIph", [this] { CommandDataIph_Click(); }},
        {"CommandParaSet", [this] { CommandParaSet_Click(); }},
        {"CommandInsInv", [this] { CommandInsInv_Click(); }},
        {"CommandWriteCheckCard", [this] { CommandWriteCheckCard_Click(); }},
        {"CommandCheckselfSend", [this] { CommandCheckselfSend_Click(); }},
        {"CommandClearTab", [this] { CommandClearTab_Click(); }},
    };
    for (const auto& [name, run] : handlers) connect(buttons_.at(name), &QPushButton::clicked, this, run);
}

void ConsoleWindow::BuildPrintDataPanel() {
    QWidget* p = NewPanel(ConsolePanel::PrintData, {"获取", "发票打印数据"});
    auto* group = new QButtonGroup(p);
    auto* h = new QHBoxLayout;
    h->addWidget(AddChoice(ConsoleChoice::PrintByNumber, "发票号", p, group));
    h->addWidget(AddChoice(ConsoleChoice::PrintByDates, "时间段", p, group));
    PanelLayout(p)->addLayout(h);
    auto* grid = new QGridLayout;
    AddFieldRow(grid, 0, "发票起始号", F::PrintStartNumber, p, &printNumberCaptions_);
    AddFieldRow(grid, 1, "发票终止号", F::PrintEndNumber, p, &printNumberCaptions_);
    AddDateRow(grid, 2, "起始日期", kPrintStart, p, &printDateCaptions_);
    AddDateRow(grid, 3, "终止日期", kPrintEnd, p, &printDateCaptions_);
    PanelLayout(p)->addLayout(grid);
    AddOkRow(p, "CommandInvoice");
    for (ConsoleChoice c : {ConsoleChoice::PrintByNumber, ConsoleChoice::PrintByDates}) {
        connect(Choice(c), &QRadioButton::clicked, this, [this] { PrintRangeKind_Click(); });
    }
}

void ConsoleWindow::BuildDayTradePanel() {
    QWidget* p = NewPanel(ConsolePanel::DayTrade, {"日交易数据上传"});
    auto* grid = new QGridLayout;
    AddDateRow(grid, 0, "起始日期", kDayTradeStart, p);
    AddDateRow(grid, 1, "终止日期", kDayTradeEnd, p);
    PanelLayout(p)->addLayout(grid);
    AddOkRow(p, "CommandDTRad");
}

void ConsoleWindow::BuildFactoryDataPanel() {
    QWidget* p = NewPanel(ConsolePanel::FactoryData, {"设置出厂数据"});
    auto* grid = new QGridLayout;
    AddFieldRow(grid, 0, "机器编号", F::MachineNumber, p);
    AddDateRow(grid, 1, "生产日期", kProduction, p);
    AddFieldRow(grid, 2, "硬件版本号", F::HardwareVersion, p);
    AddFieldRow(grid, 3, "软件版本号", F::SoftwareVersion, p);
    PanelLayout(p)->addLayout(grid);
    AddOkRow(p, "CommandSetMD");
}

void ConsoleWindow::BuildCardCommandsPanel() {
    QWidget* p = NewPanel(ConsolePanel::CardCommands, {"发送字符串"});
    auto* v = PanelLayout(p);
    auto* h1 = new QHBoxLayout;
    cardPower_ = new QComboBox(p);
    cardPower_->setObjectName(kCardPowerName);
    cardPower_->addItems({Q("IC卡上电"), Q("IC卡下电")});
    cardPower_->setCurrentIndex(-1);
    h1->addWidget(cardPower_);
    h1->addWidget(AddButton("CommandSendCom", Q("发送"), p));
    v->addLayout(h1);
    auto* group = new QButtonGroup(p);
    auto* h2 = new QHBoxLayout;
    h2->addWidget(AddChoice(ConsoleChoice::CardDecimal, "十进制", p, group));
    h2->addWidget(AddChoice(ConsoleChoice::CardHexadecimal, "十六进制", p, group));
    Choice(ConsoleChoice::CardHexadecimal)->setChecked(true);
    v->addLayout(h2);
    auto* h3 = new QHBoxLayout;
    h3->addWidget(AddField(F::CardBytes, p));
    h3->addWidget(AddButton("CommandSendStr", Q("发送"), p));
    v->addLayout(h3);
}

void ConsoleWindow::BuildSingleInvoicePanel() {
    QWidget* p = NewPanel(ConsolePanel::SingleInvoice, {"单卷发票使用", "汇总数据上传"});
    auto* grid = new QGridLayout;
    AddFieldRow(grid, 0, "发票号码", F::InvoiceNumber, p);
    PanelLayout(p)->addLayout(grid);
    AddOkRow(p, "CommandSinInv");
}

void ConsoleWindow::BuildCutOffDatePanel() {
    QWidget* p = NewPanel(ConsolePanel::CutOffDate, {"申报数据写卡"});
    auto* grid = new QGridLayout;
    AddDateRow(grid, 0, "截止日期", kCutOff, p);
    PanelLayout(p)->addLayout(grid);
    AddOkRow(p, "CommandDeclareCmd");
}

void ConsoleWindow::BuildSigningPanel() {
    QWidget* p = NewPanel(ConsolePanel::Signing, {"数据签名"});
    auto* v = PanelLayout(p);
    v->addWidget(Caption("输入签名数据", p));
    v->addWidget(AddField(F::SigningData, p));
    auto* group = new QButtonGroup(p);
    auto* h = new QHBoxLayout;
    h->addWidget(AddChoice(ConsoleChoice::SigningHexadecimal, "十六进制", p, group));
    h->addWidget(AddChoice(ConsoleChoice::SigningDecimal, "十进制", p, group));
    Choice(ConsoleChoice::SigningHexadecimal)->setChecked(true);
    v->addLayout(h);
    AddOkRow(p, "CommandDataIph", "发送");
}

void ConsoleWindow::BuildSerialSettingsPanel() {
    QWidget* p = NewPanel(ConsolePanel::SerialSettings, {"系统参数设置"});
    auto* v = PanelLayout(p);
    auto* ports = new QGroupBox(Q("端口设置"), p);
    auto* grid = new QGridLayout(ports);
    auto list = [&](const char* name, const char* caption, QStringList items, int row) {
        auto* c = new QComboBox(ports);
        c->setObjectName(name);
        c->addItems(items);
        c->setCurrentIndex(0);
        grid->addWidget(Caption(caption, ports), row, 0);
        grid->addWidget(c, row, 1);
        return c;
    };
    serialPort_ = list(kSerialPortName, "串口", {"Com1", "Com2", "Com3", "Com4", "Com5"}, 0);
    baudRate_ = list(kBaudRateName, "波特率", {"9600", "38400"}, 1);
    printerPort_ = list(kPrinterPortName, "打印口", {"LPT1", "LPT2"}, 2);
    v->addWidget(ports);
    auto* sales = new QGroupBox(Q("销售设置"), p);
    auto* h = new QHBoxLayout(sales);
    auto check = [&](const char* name, const char* caption) {
        auto* c = new QCheckBox(Q(caption), sales);
        c->setObjectName(name);
        h->addWidget(c);
        return c;
    };
    printInvoice_ = check(kPrintInvoiceName, "打印发票");
    cashDrawer_ = check(kCashDrawerName, "开钱箱");
    v->addWidget(sales);
    AddOkRow(p, "CommandParaSet");
}

void ConsoleWindow::BuildRollInstallationPanel() {
    QWidget* p = NewPanel(ConsolePanel::RollInstallation, {"安装发票"});
    auto* v = PanelLayout(p);
    auto* box = new QGroupBox(Q("发票选择"), p);
    auto* bv = new QVBoxLayout(box);
    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    rollList_ = new QListWidget(box);
    rollList_->setObjectName(kRollListName);
    rollList_->setFont(fixed);
    // The headings stand over the columns of the rows below (4, 22 and 12 bytes wide). The rows hold
    // digits only, one cell of the fixed font each; the Chinese headings are not as wide as two cells,
    // so each heading gets its column's width rather than being padded with blanks.
    auto* heading = new QWidget(box);
    heading->setObjectName("InstallHeadings");
    auto* hh = new QHBoxLayout(heading);
    hh->setSpacing(0);
    const int indent =
        rollList_->frameWidth() + rollList_->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, rollList_) + 1;
    hh->setContentsMargins(indent, 0, 0, 0);
    const QFontMetrics cells(fixed);
    const std::pair<const char*, int> columns[] = {{"序号", 4}, {"发票代码", 22}, {"起始号", 12}, {"终止号", 0}};
    int column = 0;
    int cellsBefore = 0;
    for (const auto& [text, bytes] : columns) {
        auto* l = new QLabel(Q(text), heading);
        l->setObjectName(QString("InstallHeading%1").arg(column++));
        // Measured from the row's start: a cell need not be a whole number of pixels wide, and widths
        // rounded column by column would drift off the row by a pixel.
        if (bytes > 0) {
            l->setFixedWidth(cells.horizontalAdvance(QString(cellsBefore + bytes, QChar(' '))) -
                             cells.horizontalAdvance(QString(cellsBefore, QChar(' '))));
        }
        cellsBefore += bytes;
        hh->addWidget(l);
    }
    hh->addStretch();
    bv->addWidget(heading);
    bv->addWidget(rollList_);
    v->addWidget(box);
    AddOkRow(p, "CommandInsInv");
}

void ConsoleWindow::BuildCheckCardPanel() {
    QWidget* p = NewPanel(ConsolePanel::CheckCard, {"核查数据写卡"});
    auto* v = PanelLayout(p);
    auto* kinds = new QGroupBox(Q("命令选择"), p);
    auto* kh = new QHBoxLayout(kinds);
    auto* kindGroup = new QButtonGroup(p);
    kh->addWidget(AddChoice(ConsoleChoice::CheckDetail, "明细核查", kinds, kindGroup));
    kh->addWidget(AddChoice(ConsoleChoice::CheckDeclaration, "申报核查", kinds, kindGroup));
    kh->addWidget(AddChoice(ConsoleChoice::CheckDayTrade, "日交易核查", kinds, kindGroup));
    v->addWidget(kinds);
    auto* params = new QGroupBox(Q("命令参数"), p);
    auto* pv = new QVBoxLayout(params);
    auto* rangeGroup = new QButtonGroup(p);
    auto* ph = new QHBoxLayout;
    ph->addWidget(AddChoice(ConsoleChoice::CheckByNumber, "发票号", params, rangeGroup));
    ph->addWidget(AddChoice(ConsoleChoice::CheckByDates, "时间段", params, rangeGroup));
    pv->addLayout(ph);
    auto* grid = new QGridLayout;
    AddFieldRow(grid, 0, "发票起始号", F::CheckStartNumber, params, &checkNumberCaptions_);
    AddFieldRow(grid, 1, "发票终止号", F::CheckEndNumber, params, &checkNumberCaptions_);
    AddDateRow(grid, 2, "起始日期", kCheckStart, params, &checkDateCaptions_);
    AddDateRow(grid, 3, "终止日期", kCheckEnd, params, &checkDateCaptions_);
    pv->addLayout(grid);
    v->addWidget(params);
    AddOkRow(p, "CommandWriteCheckCard");
    for (ConsoleChoice c :
         {ConsoleChoice::CheckDetail, ConsoleChoice::CheckDeclaration, ConsoleChoice::CheckDayTrade}) {
        connect(Choice(c), &QRadioButton::clicked, this, [this] { CheckKind_Click(); });
    }
    for (ConsoleChoice c : {ConsoleChoice::CheckByNumber, ConsoleChoice::CheckByDates}) {
        connect(Choice(c), &QRadioButton::clicked, this, [this] { CheckRangeKind_Click(); });
    }
}

void ConsoleWindow::BuildAboutPanel() {
    QWidget* p = NewPanel(ConsolePanel::About, {kCaption});
    auto* v = PanelLayout(p);
    auto* version = new QLabel(Q("软件版本：") + Q(KARVEX_VERSION_TEXT), p);
    version->setObjectName("AboutVersion");
    auto* date = new QLabel(Q("发布日期：") + Q(kReleaseDate), p);
    date->setObjectName("AboutDate");
    v->addWidget(version);
    v->addWidget(date);
}

void ConsoleWindow::BuildSelfTestPanel() {
    QWidget* p = NewPanel(ConsolePanel::SelfTest, {"税控器自检"});
    auto* grid = new QGridLayout;
    for (std::size_t i = 0; i < kSelfTestBoxCount; ++i) {
        const auto box = static_cast<SelfTestBox>(i);
        auto* c = new QCheckBox(Q(kSelfTestCaptions[i]), p);
        c->setObjectName(SelfTestCheckName(box));
        selfTestChecks_[i] = c;
        auto* l = new QLabel(Q(kNotChosen), p);
        l->setObjectName(SelfTestVerdictName(box));
        selfTestVerdicts_[i] = l;
        grid->addWidget(c, static_cast<int>(i), 0);
        grid->addWidget(l, static_cast<int>(i), 1);
        connect(c, &QCheckBox::clicked, this, [this, box] { SelfTestCheck_Click(box); });
    }
    PanelLayout(p)->addLayout(grid);
    AddOkRow(p, "CommandCheckselfSend");
}

void ConsoleWindow::BuildStoreClearingPanel() {
    QWidget* p = NewPanel(ConsolePanel::StoreClearing, {"清空数据库"});
    auto* box = new QGroupBox(Q("选择数据库"), p);
    auto* grid = new QGridLayout(box);
    // Two columns of seven rows: fourteen rows in one column would not fit a small screen.
    constexpr int kRows = 7;
    for (std::size_t i = 0; i < kClearBoxCount; ++i) {
        const int n = static_cast<int>(i);
        auto* c = new QCheckBox(Q(kClearBoxes[i].caption), box);
        c->setObjectName(ClearCheckName(i));
        clearChecks_[i] = c;
        grid->addWidget(c, n % kRows, (n / kRows) * 2);
        auto* l = new QLabel(Q(kNotChosen), box);
        l->setObjectName(ClearStateName(i));
        clearStates_[i] = l;
        grid->addWidget(l, n % kRows, (n / kRows) * 2 + 1);
        connect(c, &QCheckBox::clicked, this, [this, i] { ClearCheck_Click(i); });
    }
    clearAll_ = new QCheckBox(Q("全部选择"), box);
    clearAll_->setObjectName(kClearAllName);
    constexpr int kAll = static_cast<int>(kClearBoxCount);
    grid->addWidget(clearAll_, kAll % kRows, (kAll / kRows) * 2);
    connect(clearAll_, &QCheckBox::clicked, this, [this] { ClearAllCheck_Click(); });
    PanelLayout(p)->addWidget(box);
    AddOkRow(p, "CommandClearTab");
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
    statusPanels_[kCaptionPart]->setText(Q(kCaption));
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
    auto it = titles_.find({panel, part});
    return it == titles_.end() ? nullptr : it->second;
}

QLineEdit* ConsoleWindow::Field(ConsoleField field) const { return Lookup(fields_, field); }
QRadioButton* ConsoleWindow::Choice(ConsoleChoice choice) const { return Lookup(choices_, choice); }

QCheckBox* ConsoleWindow::SelfTestCheck(SelfTestBox box) const {
    const auto i = static_cast<std::size_t>(box);
    return i < kSelfTestBoxCount ? selfTestChecks_[i] : nullptr;
}

QLabel* ConsoleWindow::SelfTestVerdict(SelfTestBox box) const {
    const auto i = static_cast<std::size_t>(box);
    return i < kSelfTestBoxCount ? selfTestVerdicts_[i] : nullptr;
}

QCheckBox* ConsoleWindow::ClearCheck(std::size_t box) const {
    return box < kClearBoxCount ? clearChecks_[box] : nullptr;
}
QLabel* ConsoleWindow::ClearState(std::size_t box) const { return box < kClearBoxCount ? clearStates_[box] : nullptr; }

QPushButton* ConsoleWindow::Button(const QString& name) const {
    auto it = buttons_.find(name);
    return it == buttons_.end() ? nullptr : it->second;
}

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
    for (QWidget* p : panels_) {
        if (p == shown) continue;
        // A hidden panel gives up the focus: the window would give it back to the hidden field when it is
        // next activated, and Enter there would send the earlier panel's command.
        if (QWidget* f = focusWidget(); f && p->isAncestorOf(f)) f->clearFocus();
        if (enterDownIn_ && p->isAncestorOf(qobject_cast<QWidget*>(enterDownIn_))) enterDownIn_ = nullptr;
        p->setVisible(false);
    }
    if (shown) shown->setVisible(true);
}

ConsolePanel ConsoleWindow::VisiblePanel() const {
    for (int i = 0; i < kPanelCount; ++i) {
        if (!panels_[static_cast<std::size_t>(i)]->isHidden()) return static_cast<ConsolePanel>(i);
    }
    return ConsolePanel::None;
}

bool ConsoleWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonRelease) {
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::RightButton) {
            for (QWidget* panel : panels_) {
                if (watched == panel) {
                    closePicture_->popup(mouse->globalPosition().toPoint());
                    return true;
                }
            }
        }
    }
    if (event->type() == QEvent::ShortcutOverride) {
        // In a field the standard editing keys belong to the field: Ctrl+Z must undo the typing, not ask the
        // processor for its factory data, and Ctrl+A select the text rather than replace the panel. Every
        // other menu key wins over the field, as the menus promise.
        auto* key = static_cast<QKeyEvent*>(event);
        const QKeySequence pressed(key->keyCombination());
        for (const auto& [field, edit] : fields_) {
            if (watched != edit) continue;
            for (QKeySequence::StandardKey editing : {QKeySequence::Undo, QKeySequence::Redo, QKeySequence::SelectAll,
                                                      QKeySequence::Cut, QKeySequence::Copy, QKeySequence::Paste}) {
                if (key->matches(editing)) {
                    event->accept();
                    return true;
                }
            }
            for (const auto& [name, action] : menuItems_) {
                if (action->isVisible() && action->isEnabled() && !action->shortcut().isEmpty() &&
                    action->shortcut() == pressed) {
                    event->ignore();
                    return true;
                }
            }
        }
    }
    if (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease) {
        auto* key = static_cast<QKeyEvent*>(event);
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && !key->isAutoRepeat()) {
            // Enter acts when it is let go, and only when it went down in this same field or on this same
            // button: the Enter that closes a message box is let go over the field or button below it and
            // must not send again (and bring the same box back).
            for (const auto& [field, edit] : fields_) {
                if (watched != edit) continue;
                // Only the panel on show acts: a key that reaches a field of a hidden panel is dropped.
                if (!edit->isVisibleTo(this)) return true;
                if (event->type() == QEvent::KeyPress) {
                    enterDownIn_ = edit;
                    break;
                }
                if (enterDownIn_ == edit) {
                    enterDownIn_ = nullptr;
                    OnFieldEnter(field);
                }
                return true;
            }
            // A focused panel button takes Enter as it takes Space: auto-advance leaves the focus on the OK
            // button, and Enter is the key the operator reaches for there.
            for (const auto& [name, button] : buttons_) {
                if (watched != button) continue;
                if (!button->isVisibleTo(this)) return true;
                if (event->type() == QEvent::KeyPress) {
                    enterDownIn_ = button;
                } else if (enterDownIn_ == button) {
                    enterDownIn_ = nullptr;
                    button->click();
                }
                return true;
            }
        }
    }
    if (event->type() == QEvent::FocusIn) {
        // A field the focus moves into has its text selected, so that what the operator types replaces an
        // old value instead of running on behind it. Coming back to the window leaves the field as it was.
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        for (const auto& [field, edit] : fields_) {
            if (watched != edit) continue;
            if (reason == Qt::MouseFocusReason) {
                // The click itself places the cursor after this event; the selection follows it.
                QTimer::singleShot(0, edit, [edit] { edit->selectAll(); });
            } else if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason) {
                edit->selectAll();
            }
            break;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

// ---------------------------------------------------------------------------------------------------------
// Fields

void ConsoleWindow::FocusField(ConsoleField field) {
    QLineEdit* edit = Field(field);
    if (edit == nullptr) return;
    edit->setFocus(Qt::OtherFocusReason);
    // A field that had the focus already gets no focus event.
    edit->selectAll();
}

void ConsoleWindow::FocusButton(const QString& name) {
    if (QPushButton* b = Button(name)) b->setFocus(Qt::OtherFocusReason);
}

void ConsoleWindow::OnFieldEdited(ConsoleField field) {
    const FieldRow& row = RowOf(field);
    if (row.fillLength == 0) return;
    if (GbkByteLength(FieldText(field)) != row.fillLength) return;
    if (row.whenFull.button) {
        FocusButton(Q(row.whenFull.button));
    } else if (row.whenFull.field) {
        FocusField(*row.whenFull.field);
    }
}

void ConsoleWindow::OnFieldEnter(ConsoleField field) {
    const FocusTarget& to = RowOf(field).onEnter;
    if (to.button) {
        if (QPushButton* b = Button(Q(to.button)); b && b->isVisibleTo(this)) Q_EMIT b->clicked();
    } else if (to.field) {
        FocusField(*to.field);
    }
}

std::string ConsoleWindow::FieldText(ConsoleField field) const { return Field(field)->text().toStdString(); }

DateInput ConsoleWindow::ReadDate(const ConsoleDateFields& date) const {
    return DateInput{FieldText(date.year), FieldText(date.month), FieldText(date.day)};
}

IssueContext ConsoleWindow::Context() { return m_.MakeIssueContext(); }

void ConsoleWindow::ShowIssueOutcome(const IssueResult& r) {
    // The caption part carries the caption while commands go out. A refusal often only empties a field, and a
    // closed port says nothing at all: the operator reads there why nothing was sent.
    if (r.sent) {
        statusPanels_[kCaptionPart]->setText(Q(kCaption));
    } else if (r.code != result::kSuccess && r.code != result::kCommandAborted) {
        statusPanels_[kCaptionPart]->setText(Q("命令未发送：") + QString::fromStdString(ResultMessage(r.code)));
    }
}

void ConsoleWindow::ApplyResult(const IssueResult& r, const std::map<InputField, ConsoleField>& fields) {
    ShowIssueOutcome(r);
    for (const auto& [input, field] : fields) {
        if (r.Clears(input)) Field(field)->clear();
    }
    if (r.focus != InputField::None) {
        auto it = fields.find(r.focus);
        if (it != fields.end()) FocusField(it->second);
    }
}

namespace {
// The issuers' names for the fields of a date group, and of a number range with its two dates.
std::map<InputField, ConsoleField> DateInputs(const ConsoleDateFields& start) {
    return {
        {InputField::StartYear, start.year}, {InputField::StartMonth, start.month}, {InputField::StartDay, start.day}};
}
std::map<InputField, ConsoleField> DateRangeInputs(const ConsoleDateFields& start, const ConsoleDateFields& end) {
    auto fields = DateInputs(start);
    fields.insert({{InputField::EndYear, end.year}, {InputField::EndMonth, end.month}, {InputField::EndDay, end.day}});
    return fields;
}
std::map<InputField, ConsoleField> RangeInputs(ConsoleField startNumber, ConsoleField endNumber,
                                               const ConsoleDateFields& start, const ConsoleDateFields& end) {
    auto fields = DateRangeInputs(start, end);
    fields.insert({{InputField::StartNumber, startNumber}, {InputField::EndNumber, endNumber}});
    return fields;
}
}  // namespace

void ConsoleWindow::PrintRangeKind_Click() {
    const bool byNumber = Choice(ConsoleChoice::PrintByNumber)->isChecked();
    for (QWidget* w : printNumberCaptions_) w->setEnabled(byNumber);
    for (ConsoleField f : {F::PrintStartNumber, F::PrintEndNumber}) Field(f)->setEnabled(byNumber);
    for (QWidget* w : printDateCaptions_) w->setEnabled(!byNumber);
    for (const ConsoleDateFields& d : {kPrintStart, kPrintEnd}) {
        for (ConsoleField f : {d.year, d.month, d.day}) Field(f)->setEnabled(!byNumber);
    }
    FocusField(byNumber ? F::PrintStartNumber : F::PrintStartYear);
}

void ConsoleWindow::CheckRangeKind_Click() {
    const bool byNumber = Choice(ConsoleChoice::CheckByNumber)->isChecked();
    for (QWidget* w : checkNumberCaptions_) w->setEnabled(byNumber);
    for (ConsoleField f : {F::CheckStartNumber, F::CheckEndNumber}) Field(f)->setEnabled(byNumber);
    for (QWidget* w : checkDateCaptions_) w->setEnabled(!byNumber);
    for (const ConsoleDateFields& d : {kCheckStart, kCheckEnd}) {
        for (ConsoleField f : {d.year, d.month, d.day}) Field(f)->setEnabled(!byNumber);
    }
    FocusField(byNumber ? F::CheckStartNumber : F::CheckStartYear);
}

void ConsoleWindow::CheckKind_Click() {
    if (Choice(ConsoleChoice::CheckDetail)->isChecked()) {
        Choice(ConsoleChoice::CheckByNumber)->setEnabled(true);
        Choice(ConsoleChoice::CheckByDates)->setEnabled(true);
        return;
    }
    // Declaration and day-trade checks only go by dates.
    Choice(ConsoleChoice::CheckByDates)->setChecked(true);
    Choice(ConsoleChoice::CheckByNumber)->setEnabled(false);
    CheckRangeKind_Click();
}

void ConsoleWindow::SelfTestCheck_Click(SelfTestBox box) {
    SelfTestVerdict(box)->setText(Q(SelfTestCheck(box)->isChecked() ? kWaitingCheck : kNotChosen));
}

void ConsoleWindow::ClearCheck_Click(std::size_t box) {
    ClearState(box)->setText(Q(ClearCheck(box)->isChecked() ? kWaitingClear : kNotChosen));
}

void ConsoleWindow::ClearAllCheck_Click() {
    const bool all = clearAll_->isChecked();
    for (std::size_t i = 0; i < kClearBoxCount; ++i) {
        clearChecks_[i]->setChecked(all);
        clearStates_[i]->setText(Q(all ? kWaitingClear : kNotChosen));
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
    ShowIssueOutcome(IssueMenuCommand(Context(), code));
}

// Initialisation cannot be undone, and its success empties nearly every local table: Ctrl+I sits beside
// Ctrl+O and Ctrl+U and works from inside a field, so it asks first, naming the tables.
void ConsoleWindow::CommandInitialize_Click() {
    ShowPanel(ConsolePanel::None);
    const std::string tables = ClearBoxCaptions(StoreTableFlags::kAfterInitialize);
    if (!m_.Ui().AskToConfirm("税控器初始化", "税控器初始化不能撤销。\n初始化成功后，本地数据库的以下各表将被清空：\n" +
                                                  tables + "\n\n确定要初始化税控器吗？")) {
        statusPanels_[kCaptionPart]->setText(Q("税控器初始化已取消"));
        return;
    }
    IssueDirect(CommandCode::Initialize);
}

std::string ConsoleWindow::ClearBoxCaptions(std::uint32_t tables) {
    std::string out;
    for (const ClearBox& box : kClearBoxes) {
        if ((box.tables & tables) == 0) continue;
        std::string caption = box.caption;
        // The captions are padded with dots to line up on the clearing panel.
        while (!caption.empty() && caption.back() == '.') caption.pop_back();
        out += (out.empty() ? "" : "、") + caption;
    }
    return out;
}

void ConsoleWindow::CommandSetTime_Click() {
    ShowPanel(ConsolePanel::None);
    ShowIssueOutcome(IssueSetTime(Context()));
}

void ConsoleWindow::CommandDispenseInvoice_Click() {
    ShowPanel(ConsolePanel::None);
    ShowIssueOutcome(IssueDispenseInvoice(Context()));
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

void ConsoleWindow::CommandClearAccess_Click() {
    ShowPanel(ConsolePanel::StoreClearing);
    for (std::size_t i = 0; i < kClearBoxCount; ++i) {
        clearChecks_[i]->setChecked(false);
        clearStates_[i]->setText(Q(kNotChosen));
    }
    clearAll_->setChecked(false);
}

void ConsoleWindow::CommandCheckSelf_Click() {
    ShowPanel(ConsolePanel::SelfTest);
    for (std::size_t i = 0; i < kSelfTestBoxCount; ++i) {
        selfTestChecks_[i]->setChecked(false);
        selfTestVerdicts_[i]->setText(Q(kNotChosen));
    }
}

void ConsoleWindow::CommandPrintData_Click() {
    ShowPanel(ConsolePanel::PrintData);
    Choice(ConsoleChoice::PrintByNumber)->setChecked(true);
    PrintRangeKind_Click();
    FocusField(F::PrintStartNumber);
}

void ConsoleWindow::CommandDayTrade_Click() {
    ShowPanel(ConsolePanel::DayTrade);
    FocusField(F::DayTradeStartYear);
}

void ConsoleWindow::CommandInvoiceSum_Click() {
    ShowPanel(ConsolePanel::SingleInvoice);
    singleInvoiceCommand_ = CommandCode::InvoiceSum;
    PanelTitle(ConsolePanel::SingleInvoice, 0)->setText(Q("单卷发票使用"));
    PanelTitle(ConsolePanel::SingleInvoice, 1)->setVisible(true);
    FocusField(F::InvoiceNumber);
}

void ConsoleWindow::CommandInvalidateInvoice_Click() {
    ShowPanel(ConsolePanel::SingleInvoice);
    singleInvoiceCommand_ = CommandCode::InvalidateInvoice;
    PanelTitle(ConsolePanel::SingleInvoice, 0)->setText(Q("    废票"));
    PanelTitle(ConsolePanel::SingleInvoice, 1)->setVisible(false);
    // The field is shared with the roll summary: a number left from there must not be voided by one Enter.
    Field(F::InvoiceNumber)->clear();
    FocusField(F::InvoiceNumber);
}

void ConsoleWindow::OpenCutOffPanel(CommandCode code, const QString& title) {
    ShowPanel(ConsolePanel::CutOffDate);
    cutOffCommand_ = code;
    PanelTitle(ConsolePanel::CutOffDate, 0)->setText(title);
    FocusField(F::CutOffYear);
}

void ConsoleWindow::CommandIdiograph_Click() {
    ShowPanel(ConsolePanel::Signing);
    Choice(ConsoleChoice::SigningHexadecimal)->setChecked(true);
    FocusField(F::SigningData);
}

void ConsoleWindow::CommandCheckWriteCard_Click() {
    ShowPanel(ConsolePanel::CheckCard);
    Choice(ConsoleChoice::CheckDetail)->setChecked(true);
    CheckKind_Click();
    Choice(ConsoleChoice::CheckByDates)->setChecked(true);
    CheckRangeKind_Click();
    FocusField(F::CheckStartYear);
}

void ConsoleWindow::CommSetting_Click() {
    ShowPanel(ConsolePanel::SerialSettings);
    ShowParaSet();
}

void ConsoleWindow::CommandAbout_Click() { ShowPanel(ConsolePanel::About); }

int ConsoleWindow::ShowParaSet() {
    int port = 0;
    int selector = 0;
    const int r = store_.LoadSerialSettings(port, selector);
    if (r != 0) return r;
    serialPort_->setCurrentIndex(port - 1);
    baudRate_->setCurrentIndex(selector - 1);
    return 0;
}

int ConsoleWindow::CommandInstallInv_Click() {
    ShowPanel(ConsolePanel::None);
    if (const int rc = store_.DropUnusedRolls(); rc != result::kSuccess) return rc;
    const IssueResult r = IssueInstallRollQuery(Context());
    ShowIssueOutcome(r);
    return r.sent ? result::kSuccess : r.code;
}

void ConsoleWindow::FillInstallList() {
    rollList_->clear();
    std::vector<StoreService::Roll> rolls;
    if (store_.UnusedRolls(rolls) != result::kSuccess || rolls.empty()) {
        m_.Ui().ShowMessage("安装发票", "选择数据库中的数据错误");
        return;
    }
    int number = 1;
    for (const StoreService::Roll& roll : rolls) {
        std::string cell, row;
        FormatTextField(std::to_string(number++), 4, ' ', kPadBehind, kKeepLong, cell);
        row += cell;
        FormatTextField(roll.code, 22, ' ', kPadBehind, kKeepLong, cell);
        row += cell;
        FormatTextField(roll.first, 12, ' ', kPadBehind, kKeepLong, cell);
        row += cell + roll.last;
        rollList_->addItem(QString::fromStdString(row));
    }
    rollList_->setCurrentRow(0);
}

// ---------------------------------------------------------------------------------------------------------
// Panel buttons

void ConsoleWindow::CommandInvoice_Click() {
    const RangeInput in{FieldText(F::PrintStartNumber), FieldText(F::PrintEndNumber), ReadDate(kPrintStart),
                        ReadDate(kPrintEnd)};
    ApplyResult(IssuePrintData(Context(), Choice(ConsoleChoice::PrintByNumber)->isChecked(), in),
                RangeInputs(F::PrintStartNumber, F::PrintEndNumber, kPrintStart, kPrintEnd));
}

void ConsoleWindow::CommandDTRad_Click() {
    const IssueResult r = IssueDayTrade(Context(), ReadDate(kDayTradeStart), ReadDate(kDayTradeEnd));
    ApplyResult(r, DateRangeInputs(kDayTradeStart, kDayTradeEnd));
}

void ConsoleWindow::CommandSetMD_Click() {
    const IssueResult r = IssueFactoryData(Context(), FieldText(F::MachineNumber), ReadDate(kProduction),
                                           FieldText(F::HardwareVersion), FieldText(F::SoftwareVersion));
    auto fields = DateInputs(kProduction);
    fields[InputField::MachineNumber] = F::MachineNumber;
    ApplyResult(r, fields);
}

void ConsoleWindow::CommandSendCom_Click() { ShowIssueOutcome(IssueCardPower(Context(), cardPower_->currentIndex())); }

void ConsoleWindow::CommandSendStr_Click() {
    const bool decimal = Choice(ConsoleChoice::CardDecimal)->isChecked();
    ShowIssueOutcome(
        IssueSendStr(Context(), FieldText(F::CardBytes), decimal ? ByteListKind::Decimal : ByteListKind::Hexadecimal));
}

void ConsoleWindow::CommandSinInv_Click() {
    if (singleInvoiceCommand_ == CommandCode::InvalidateInvoice) {
        // A number the issuer will refuse is refused there, without a question first; the question names
        // the number as it will be sent.
        std::string number;
        if (PadInvoiceNumber(FieldText(F::InvoiceNumber), number) == 0 &&
            !m_.Ui().AskToConfirm("废票",
                                  "发票号码 " + number + " 将被作废，作废后不能恢复。\n确定要作废这张发票吗？")) {
            statusPanels_[kCaptionPart]->setText(Q("废票已取消"));
            return;
        }
    }
    ShowIssueOutcome(IssueSingleInvoice(Context(), singleInvoiceCommand_, FieldText(F::InvoiceNumber)));
}

void ConsoleWindow::CommandDeclareCmd_Click() {
    ApplyResult(IssueCutOffDate(Context(), cutOffCommand_, ReadDate(kCutOff)), DateInputs(kCutOff));
}

void ConsoleWindow::CommandDataIph_Click() {
    const bool decimal = Choice(ConsoleChoice::SigningDecimal)->isChecked();
    ShowIssueOutcome(IssueIdiograph(Context(), FieldText(F::SigningData),
                                    decimal ? ByteListKind::Decimal : ByteListKind::Hexadecimal));
}

void ConsoleWindow::CommandParaSet_Click() {
    const int port = serialPort_->currentIndex() + 1;
    const int selector = baudRate_->currentIndex() == 1 ? 2 : 1;
    // The operator set the port from the console: its failures are shown.
    const int r = m_.OpenComm(port, selector, kCallerConsole);
    m_.SetCommandResult(r);
    if (r != 0) {
        m_.Ui().ShowMessage("参数设置", "串口参数设置失败");
        return;
    }
    store_.SaveSerialSettings(port, selector);
    m_.Ui().ShowMessage("参数设置", "系统参数设置成功");
    ShowPanel(ConsolePanel::None);
}

void ConsoleWindow::CommandInsInv_Click() {
    std::optional<std::string> row;
    if (QListWidgetItem* item = rollList_->currentItem(); item && item->isSelected()) row = item->text().toStdString();
    ShowIssueOutcome(IssueInstallInv(Context(), row));
}

void ConsoleWindow::CommandWriteCheckCard_Click() {
    CheckCardKind kind = CheckCardKind::Detail;
    if (Choice(ConsoleChoice::CheckDeclaration)->isChecked()) kind = CheckCardKind::Declare;
    if (Choice(ConsoleChoice::CheckDayTrade)->isChecked()) kind = CheckCardKind::DayTrade;
    const RangeInput in{FieldText(F::CheckStartNumber), FieldText(F::CheckEndNumber), ReadDate(kCheckStart),
                        ReadDate(kCheckEnd)};
    ApplyResult(IssueCheckCard(Context(), kind, Choice(ConsoleChoice::CheckByNumber)->isChecked(), in),
                RangeInputs(F::CheckStartNumber, F::CheckEndNumber, kCheckStart, kCheckEnd));
}

void ConsoleWindow::CommandCheckselfSend_Click() {
    std::array<bool, kSelfTestBoxCount> checked{};
    for (std::size_t i = 0; i < kSelfTestBoxCount; ++i) checked[i] = selfTestChecks_[i]->isChecked();
    ShowIssueOutcome(IssueCheckSelf(Context(), std::span<const bool, kSelfTestBoxCount>(checked)));
}

std::uint32_t ConsoleWindow::ClearFlags() const {
    std::uint32_t flags = 0;
    for (std::size_t i = 0; i < kClearBoxCount; ++i) {
        if (clearChecks_[i]->isChecked()) flags |= kClearBoxes[i].tables;
    }
    return flags;
}

void ConsoleWindow::CommandClearTab_Click() {
    const std::uint32_t flags = ClearFlags();
    if (flags == 0) {
        m_.Ui().ShowMessage("税控器", "请选择需要清空的数据库");
        return;
    }
    if (!m_.Ui().AskToConfirm("收款机", "清空选择的数据库？\n" + ClearBoxCaptions(flags) + "\n清空后不能恢复。"))
        return;
    InstallClearProgress();
    const int r = store_.EmptyTables(flags);
    if (r != 0) {
        // Nothing was emptied (the clearing is all or nothing); saying "done" would be a lie.
        ShowResultBox(m_.Ui(), r, "清空数据库");
        return;
    }
    m_.Ui().ShowMessage("收款机", "数据库全部清空完成");
    ShowPanel(ConsolePanel::None);
}

void ConsoleWindow::InstallClearProgress() {
    QPointer<ConsoleWindow> self(this);
    store_.SetClearProgress([self](std::uint32_t table, const std::string& caption) {
        if (!self) return;
        // A box stands for one or two tables; its state follows either.
        for (std::size_t box = 0; box < kClearBoxCount; ++box) {
            if ((kClearBoxes[box].tables & table) != 0) {
                self->clearStates_[box]->setText(QString::fromStdString(caption));
            }
        }
    });
}

// ---------------------------------------------------------------------------------------------------------
// Completion hooks

void ConsoleWindow::ShowSelfTestVerdict(SelfTestBox box, const std::string& text) {
    if (QLabel* l = SelfTestVerdict(box)) l->setText(QString::fromStdString(text));
}

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
    for (const auto& [name, button] : buttons_) button->setEnabled(!inFlight);
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
