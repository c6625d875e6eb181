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
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStyle>
#include <QStatusBar>
#include <QTimer>
#include <QValidator>
#include <QVBoxLayout>

#include <functional>

#include "commands/caller_modes.h"
#include "console/browser_entry.h"
#include "control/control_module.h"
#include "control/store_intake.h"
#include "convert/conversions.h"
#include "link/result_codes.h"
#include "log/log_viewer_window.h"
#include "store/record_set.h"
#include "store/store_access.h"
#include "store/store_codes.h"

#ifndef KARVEX_VERSION_TEXT
#define KARVEX_VERSION_TEXT "0.1.0"
#endif

namespace karvex {

namespace {

constexpr const char* kCaption = "税控器通讯软件";
constexpr const char* kReleaseDate = "2024-06-01";
constexpr const char* kNotChosen = "未选择";
constexpr const char* kWaitingCheck = "等待检查";
constexpr const char* kWaitingClear = "等待清空";
constexpr const char* kCommandInFlightStatus = "命令执行中，请等待税控器应答";
constexpr int kListHeightMarginTwips = 320;

// Captions of the self-test boxes (Check2) and the store-clearing boxes (Check3).
constexpr const char* kCheckselfCaptions[kSelfTestBoxCount] = {
    "CPU自检..................", "代码自检.................", "RAM自检..................",
    "存储器自检...............", "指示灯检查..............."};
constexpr const char* kClearCaptions[13] = {"用户信息.....", "税目信息.....", "申报数据.....", "数据签名.....",
                                            "日交易数据...", "单卷汇总数据.", "发票打印数据.", "发票库......",
                                            "开票数据....", "监视命令....", "监视接收....", "监视错误....",
                                            "出厂数据...."};

// Text3 indexes that exist.
bool IsText3Index(int i) { return (i >= 0 && i <= 8) || (i >= 11 && i <= 27) || (i >= 30 && i <= 37); }

// Where the focus goes once a field is full: a field index or a button name.
struct Advance {
    std::size_t threshold = 0;  // 0: never
    int field = -1;
    const char* button = nullptr;
};

Advance AdvanceOf(int index) {
    switch (index) {
    case 0: return {10, 1, nullptr};
    case 26: return {10, 27, nullptr};
    case 1: return {10, -1, "CommandInvoice"};
    case 8: return {10, -1, "CommandSinInv"};
    case 27: return {10, -1, "CommandWriteCheckCard"};
    case 2: case 5: case 11: case 14: case 17: case 20: case 32: case 35: return {4, index + 1, nullptr};
    case 7: return {2, -1, "CommandInvoice"};
    case 16: return {2, -1, "CommandDTRad"};
    case 22: return {2, -1, "CommandDeclareCmd"};
    case 37: return {2, -1, "CommandWriteCheckCard"};
    case 19: return {2, 24, nullptr};
    case 23: return {16, 17, nullptr};
    case 24: return {18, 25, nullptr};
    case 25: return {18, -1, "CommandSetMD"};
    case 30: case 31: return {};
    default: return {2, index + 1, nullptr};
    }
}

// What Enter does in a field: press a button or move to a field.
Advance EnterOf(int index) {
    switch (index) {
    case 1: case 7: return {0, -1, "CommandInvoice"};
    case 8: return {0, -1, "CommandSinInv"};
    case 16: return {0, -1, "CommandDTRad"};
    case 22: return {0, -1, "CommandDeclareCmd"};
    case 25: return {0, -1, "CommandSetMD"};
    case 27: case 37: return {0, -1, "CommandWriteCheckCard"};
    case 30: return {0, -1, "CommandDataIph"};
    case 31: return {0, -1, "CommandSendStr"};
    case 19: return {0, 24, nullptr};
    case 23: return {0, 17, nullptr};
    default: return {0, index + 1, nullptr};
    }
}

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

// The rolls not yet in use, which the installation replaces by what the processor reports.
Selection UnusedRolls() { return Selection::Of("InvoiceNumber").Where("发票使用状态", std::int64_t{1}); }

StoreAccess* OpenStore(ControlModule& m) {
    auto* intake = dynamic_cast<StoreIntake*>(&m.Intake());
    return intake ? intake->Access() : nullptr;
}

QString Q(const char* text) { return QString::fromUtf8(text); }

template <typename T>
T* Lookup(const std::map<int, T*>& map, int index) {
    auto it = map.find(index);
    return it == map.end() ? nullptr : it->second;
}

}  // namespace

ConsoleWindow::ConsoleWindow(ControlModule& module, QWidget* parent) : QMainWindow(parent), m_(module) {
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
        ShowPanel(n);
        // Unshown windows do not notice their children coming and going: the layouts are told.
        centralWidget()->layout()->invalidate();
        centralWidget()->updateGeometry();
        room = room.expandedTo(sizeHint()).expandedTo(minimumSizeHint());
    }
    ShowPanel(-1);
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
        {"FileName", "文件(&F)",
         {{"DataQuery", "数据查询(&S)", "F3", [this] { DataQuery_Click(); }},
          {"MenuLine0", nullptr, nullptr, {}},
          {"DailyFile", "打开日志(&D)", "Ctrl+D", [this] { DailyFile_Click(); }},
          {"MenuLine35", nullptr, nullptr, {}},
          // No visible way leads here: emptying the store is kept away from the everyday menus.
          {"CommandClearAccess", "清空数据库(&B)", "Ctrl+F1", [this] { CommandClearAccess_Click(); }, true},
          {"MenuLine28", nullptr, nullptr, {}, true},
          {"Quit", "退出(&Q)", "Ctrl+Q", [this] { Quit_Click(); }}}},
        {"MachineData", "机器数据(&M)",
         {{"CommandOnline", "联机(&O)", "Ctrl+O", direct(CommandCode::Online)},
          {"Menuline444", nullptr, nullptr, {}},
          {"CommandCheckSelf", "自检(&C)", "Ctrl+K", [this] { CommandCheckSelf_Click(); }},
          {"MenuLine445", nullptr, nullptr, {}},
          {"CommandInitialize", "税控器初始化(&I)", "Ctrl+I", direct(CommandCode::Initialize)},
          {"CommandMachineState", "税控器状态(&S)", "Ctrl+S", direct(CommandCode::MachineState)},
          {"MenuLine1", nullptr, nullptr, {}},
          {"CommandGetTime", "获取税控器时间(&G)", "Ctrl+G", direct(CommandCode::GetTime)},
          {"CommandSetTime", "设置税控器时间(&T)", "Ctrl+T", [this] { CommandSetTime_Click(); }},
          {"MenuLine2", nullptr, nullptr, {}},
          {"CommandGetMachineData", "获取出厂数据(&D)", "Ctrl+Z", direct(CommandCode::GetMachineData)},
          {"MenuLine10", nullptr, nullptr, {}},
          {"CommandUserInformation", "用户信息(&U)", "Ctrl+U", direct(CommandCode::UserInformation)},
          {"CommandTaxInformation", "税种税目信息(&T)", "Ctrl+L", direct(CommandCode::TaxInformation)}}},
        {"InvoiceCommand", "发票命令(&V)",
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
                   DescribeResult(r, "安装发票", kDescribeWithBox, &m_.Ui());
               }
           }}}},
        {"InvoiceData", "发票数据(&D)",
         {{"CommandPrintData", "发票打印数据(&P)", "Ctrl+P", [this] { CommandPrintData_Click(); }},
          {"CommandDayTrade", "日交易数据(&D)", "Ctrl+Y", [this] { CommandDayTrade_Click(); }},
          {"CommandInvoiceSum", "单卷发票使用汇总(&S)", "Ctrl+N", [this] { CommandInvoiceSum_Click(); }},
          {"CommandInvoiceData", "发票数据上传(&I)", "Ctrl+W",
           [this] { OpenCutOffPanel(CommandCode::InvoiceData, Q("发票数据上传")); }},
          {"Menuline765", nullptr, nullptr, {}},
          {"CommandGetTotalSum", "获取累计金额(&C)", "Shift+F5", direct(CommandCode::GetTotalSum)},
          {"Menuline5", nullptr, nullptr, {}},
          {"CommandIdiograph", "数据签名(&J)", "Ctrl+J", [this] { CommandIdiograph_Click(); }}}},
        {"DeclareData", "税务数据(&A)",
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
        {"Help", "帮助(&H)",
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
    connect(close, &QAction::triggered, this, [this] { ShowPanel(-1); });
    menuItems_["PicClose"] = close;
}

QLineEdit* ConsoleWindow::AddText(int index, QWidget* owner) {
    auto* edit = new QLineEdit(owner);
    edit->setObjectName(QString("Text3_%1").arg(index));
    // A field holds no more than fills it: a full field moves the focus on, and typing on in it would only
    // make a value that auto-advance no longer notices.
    if (const std::size_t limit = AdvanceOf(index).threshold; limit > 0) {
        edit->setMaxLength(static_cast<int>(limit));
        edit->setValidator(new GbkLengthValidator(limit, edit));
    }
    text3_[index] = edit;
    connect(edit, &QLineEdit::textEdited, this, [this, index] { OnTextEdited(index); });
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

void ConsoleWindow::BuildPanels() {
    auto* central = new QWidget(this);
    auto* centralLayout = new QVBoxLayout(central);
    setCentralWidget(central);

    auto newPanel = [&](int n, std::initializer_list<const char*> titles) {
        auto* panel = new QGroupBox(central);
        panel->setObjectName(QString("Picture1_%1").arg(n));
        panel->installEventFilter(this);
        auto* layout = new QVBoxLayout(panel);
        auto* titleRow = new QHBoxLayout;
        int part = 0;
        for (const char* t : titles) {
            auto* label = new QLabel(Q(t), panel);
            label->setObjectName(QString("PanelTitle%1_%2").arg(n).arg(part));
            QFont f = label->font();
            f.setBold(true);
            label->setFont(f);
            titles_[{n, part++}] = label;
            titleRow->addWidget(label);
        }
        titleRow->addStretch();
        layout->addLayout(titleRow);
        panels_[n] = panel;
        centralLayout->addWidget(panel);
        return panel;
    };
    auto label = [](const char* text, QWidget* owner, std::vector<QWidget*>* group = nullptr) {
        auto* l = new QLabel(Q(text), owner);
        if (group) group->push_back(l);
        return l;
    };
    // Caption, then year "年" month "月" day "日".
    auto dateRow = [&](QGridLayout* grid, int row, const char* caption, int first, QWidget* owner,
                       std::vector<QWidget*>* group = nullptr) {
        grid->addWidget(label(caption, owner, group), row, 0);
        auto* h = new QHBoxLayout;
        const char* units[3] = {"年", "月", "日"};
        for (int i = 0; i < 3; ++i) {
            h->addWidget(AddText(first + i, owner));
            h->addWidget(label(units[i], owner, group));
        }
        grid->addLayout(h, row, 1);
    };
    auto fieldRow = [&](QGridLayout* grid, int row, const char* caption, int index, QWidget* owner,
                        std::vector<QWidget*>* group = nullptr) {
        grid->addWidget(label(caption, owner, group), row, 0);
        grid->addWidget(AddText(index, owner), row, 1);
    };
    auto okRow = [&](QWidget* panel, const char* name, const char* caption = "确定") {
        auto* h = new QHBoxLayout;
        h->addStretch();
        h->addWidget(AddButton(name, Q(caption), panel));
        static_cast<QVBoxLayout*>(panel->layout())->addLayout(h);
    };
    auto radio = [&](std::map<int, QRadioButton*>& array, int index, const char* caption, QWidget* owner,
                     QButtonGroup* group, const char* name) {
        auto* r = new QRadioButton(Q(caption), owner);
        r->setObjectName(QString("%1_%2").arg(name).arg(index));
        array[index] = r;
        // Kept at their natural width: a stretched option button does not take clicks beside its text.
        r->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
        group->addButton(r);
        return r;
    };

    // 0: print data
    {
        QWidget* p = newPanel(kPrintDataPanel, {"获取", "发票打印数据"});
        auto* group = new QButtonGroup(p);
        auto* h = new QHBoxLayout;
        h->addWidget(radio(option1_, 0, "发票号", p, group, "Option1"));
        h->addWidget(radio(option1_, 1, "时间段", p, group, "Option1"));
        static_cast<QVBoxLayout*>(p->layout())->addLayout(h);
        auto* grid = new QGridLayout;
        fieldRow(grid, 0, "发票起始号", 0, p, &numberLabels0_);
        fieldRow(grid, 1, "发票终止号", 1, p, &numberLabels0_);
        dateRow(grid, 2, "起始日期", 2, p, &dateLabels0_);
        dateRow(grid, 3, "终止日期", 5, p, &dateLabels0_);
        static_cast<QVBoxLayout*>(p->layout())->addLayout(grid);
        okRow(p, "CommandInvoice");
        for (QRadioButton* r : {option1_[0], option1_[1]}) connect(r, &QRadioButton::clicked, this, [this] { Option1_Click(); });
    }
    // 1: day trade
    {
        QWidget* p = newPanel(kDayTradePanel, {"日交易数据上传"});
        auto* grid = new QGridLayout;
        dateRow(grid, 0, "起始日期", 11, p);
        dateRow(grid, 1, "终止日期", 14, p);
        static_cast<QVBoxLayout*>(p->layout())->addLayout(grid);
        okRow(p, "CommandDTRad");
    }
    // 2: factory data
    {
        QWidget* p = newPanel(kFactoryDataPanel, {"设置出厂数据"});
        auto* grid = new QGridLayout;
        fieldRow(grid, 0, "机器编号", 23, p);
        dateRow(grid, 1, "生产日期", 17, p);
        fieldRow(grid, 2, "硬件版本号", 24, p);
        fieldRow(grid, 3, "软件版本号", 25, p);
        static_cast<QVBoxLayout*>(p->layout())->addLayout(grid);
        okRow(p, "CommandSetMD");
    }
    // 3: card commands
    {
        QWidget* p = newPanel(kSendStrPanel, {"发送字符串"});
        auto* v = static_cast<QVBoxLayout*>(p->layout());
        auto* h1 = new QHBoxLayout;
        combo1_ = new QComboBox(p);
        combo1_->setObjectName("Combo1");
        combo1_->addItems({Q("IC卡上电"), Q("IC卡下电")});
        combo1_->setCurrentIndex(-1);
        h1->addWidget(combo1_);
        h1->addWidget(AddButton("CommandSendCom", Q("发送"), p));
        v->addLayout(h1);
        auto* group = new QButtonGroup(p);
        auto* h2 = new QHBoxLayout;
        h2->addWidget(radio(option3_, 0, "十进制", p, group, "Option3"));
        h2->addWidget(radio(option3_, 1, "十六进制", p, group, "Option3"));
        option3_[1]->setChecked(true);
        v->addLayout(h2);
        auto* h3 = new QHBoxLayout;
        h3->addWidget(AddText(31, p));
        h3->addWidget(AddButton("CommandSendStr", Q("发送"), p));
        v->addLayout(h3);
    }
    // 4: one invoice number
    {
        QWidget* p = newPanel(kSingleInvoicePanel, {"单卷发票使用", "汇总数据上传"});
        auto* grid = new QGridLayout;
        fieldRow(grid, 0, "发票号码", 8, p);
        static_cast<QVBoxLayout*>(p->layout())->addLayout(grid);
        okRow(p, "CommandSinInv");
    }
    // 5: cut-off date
    {
        QWidget* p = newPanel(kCutOffPanel, {"申报数据写卡"});
        auto* grid = new QGridLayout;
        dateRow(grid, 0, "截止日期", 20, p);
        static_cast<QVBoxLayout*>(p->layout())->addLayout(grid);
        okRow(p, "CommandDeclareCmd");
    }
    // 6: signing
    {
        QWidget* p = newPanel(kIdiographPanel, {"数据签名"});
        auto* v = static_cast<QVBoxLayout*>(p->layout());
        v->addWidget(label("输入签名数据", p));
        v->addWidget(AddText(30, p));
        auto* group = new QButtonGroup(p);
        auto* h = new QHBoxLayout;
        h->addWidget(radio(option3_, 2, "十六进制", p, group, "Option3"));
        h->addWidget(radio(option3_, 3, "十进制", p, group, "Option3"));
        option3_[2]->setChecked(true);
        v->addLayout(h);
        okRow(p, "CommandDataIph", "发送");
    }
    // 7: serial settings
    {
        QWidget* p = newPanel(kParaSetPanel, {"系统参数设置"});
        auto* v = static_cast<QVBoxLayout*>(p->layout());
        auto* ports = new QGroupBox(Q("端口设置"), p);
        auto* grid = new QGridLayout(ports);
        auto combo = [&](int index, const char* caption, QStringList items, int row) {
            auto* c = new QComboBox(ports);
            c->setObjectName(QString("Combo2_%1").arg(index));
            c->addItems(items);
            c->setCurrentIndex(0);
            combo2_[index] = c;
            grid->addWidget(label(caption, ports), row, 0);
            grid->addWidget(c, row, 1);
        };
        combo(1, "串口", {"Com1", "Com2", "Com3", "Com4", "Com5"}, 0);
        combo(2, "波特率", {"9600", "38400"}, 1);
        combo(0, "打印口", {"LPT1", "LPT2"}, 2);
        v->addWidget(ports);
        auto* sales = new QGroupBox(Q("销售设置"), p);
        auto* h = new QHBoxLayout(sales);
        const char* checks[2] = {"打印发票", "开钱箱"};
        for (int i = 0; i < 2; ++i) {
            auto* c = new QCheckBox(Q(checks[i]), sales);
            c->setObjectName(QString("Check1_%1").arg(i));
            check1_[i] = c;
            h->addWidget(c);
        }
        v->addWidget(sales);
        okRow(p, "CommandParaSet");
    }
    // 8: roll installation
    {
        QWidget* p = newPanel(kInstallPanel, {"安装发票"});
        auto* v = static_cast<QVBoxLayout*>(p->layout());
        auto* box = new QGroupBox(Q("发票选择"), p);
        auto* bv = new QVBoxLayout(box);
        const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        list1_ = new QListWidget(box);
        list1_->setObjectName("List1");
        list1_->setFont(fixed);
        // The headings stand over the columns of the rows below (4, 22 and 12 bytes wide). The rows hold
        // digits only, one cell of the fixed font each; the Chinese headings are not as wide as two cells,
        // so each heading gets its column's width rather than being padded with blanks.
        auto* heading = new QWidget(box);
        heading->setObjectName("InstallHeadings");
        auto* hh = new QHBoxLayout(heading);
        hh->setSpacing(0);
        const int indent =
            list1_->frameWidth() + list1_->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, list1_) + 1;
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
        bv->addWidget(list1_);
        v->addWidget(box);
        okRow(p, "CommandInsInv");
    }
    // 9: check data to card
    {
        QWidget* p = newPanel(kCheckCardPanel, {"核查数据写卡"});
        auto* v = static_cast<QVBoxLayout*>(p->layout());
        auto* kinds = new QGroupBox(Q("命令选择"), p);
        auto* kh = new QHBoxLayout(kinds);
        auto* g4 = new QButtonGroup(p);
        kh->addWidget(radio(option4_, 0, "明细核查", kinds, g4, "Option4"));
        kh->addWidget(radio(option4_, 1, "申报核查", kinds, g4, "Option4"));
        kh->addWidget(radio(option4_, 2, "日交易核查", kinds, g4, "Option4"));
        v->addWidget(kinds);
        auto* params = new QGroupBox(Q("命令参数"), p);
        auto* pv = new QVBoxLayout(params);
        auto* g5 = new QButtonGroup(p);
        auto* ph = new QHBoxLayout;
        ph->addWidget(radio(option5_, 0, "发票号", params, g5, "Option5"));
        ph->addWidget(radio(option5_, 1, "时间段", params, g5, "Option5"));
        pv->addLayout(ph);
        auto* grid = new QGridLayout;
        fieldRow(grid, 0, "发票起始号", 26, params, &numberLabels9_);
        fieldRow(grid, 1, "发票终止号", 27, params, &numberLabels9_);
        dateRow(grid, 2, "起始日期", 32, params, &dateLabels9_);
        dateRow(grid, 3, "终止日期", 35, params, &dateLabels9_);
        pv->addLayout(grid);
        v->addWidget(params);
        okRow(p, "CommandWriteCheckCard");
        for (int i = 0; i < 3; ++i) connect(option4_[i], &QRadioButton::clicked, this, [this] { Option4_Click(); });
        for (int i = 0; i < 2; ++i) connect(option5_[i], &QRadioButton::clicked, this, [this] { Option5_Click(); });
    }
    // 10: about
    {
        QWidget* p = newPanel(kAboutPanel, {kCaption});
        auto* v = static_cast<QVBoxLayout*>(p->layout());
        auto* version = new QLabel(Q("软件版本：") + Q(KARVEX_VERSION_TEXT), p);
        version->setObjectName("AboutVersion");
        auto* date = new QLabel(Q("发布日期：") + Q(kReleaseDate), p);
        date->setObjectName("AboutDate");
        v->addWidget(version);
        v->addWidget(date);
    }
    // 11: self-test
    {
        QWidget* p = newPanel(kCheckselfPanel, {"税控器自检"});
        auto* grid = new QGridLayout;
        for (int i = 0; i < static_cast<int>(kSelfTestBoxCount); ++i) {
            auto* c = new QCheckBox(Q(kCheckselfCaptions[i]), p);
            c->setObjectName(QString("Check2_%1").arg(i));
            check2_[i] = c;
            auto* l = new QLabel(Q(kNotChosen), p);
            l->setObjectName(QString("Label3_%1").arg(32 + i));
            label3_[32 + i] = l;
            grid->addWidget(c, i, 0);
            grid->addWidget(l, i, 1);
            connect(c, &QCheckBox::clicked, this, [this, i] { Check2_Click(i); });
        }
        static_cast<QVBoxLayout*>(p->layout())->addLayout(grid);
        okRow(p, "CommandCheckselfSend");
    }
    // 12: store clearing
    {
        QWidget* p = newPanel(kClearStorePanel, {"清空数据库"});
        auto* box = new QGroupBox(Q("选择数据库"), p);
        auto* grid = new QGridLayout(box);
        // Two columns of seven rows: fourteen rows in one column would not fit a small screen.
        constexpr int kRows = 7;
        for (int i = 0; i < 14; ++i) {
            auto* c = new QCheckBox(i < 13 ? Q(kClearCaptions[i]) : Q("全部选择"), box);
            c->setObjectName(QString("Check3_%1").arg(i));
            check3_[i] = c;
            grid->addWidget(c, i % kRows, (i / kRows) * 2);
            if (i < 13) {
                auto* l = new QLabel(Q(kNotChosen), box);
                l->setObjectName(QString("Label3_%1").arg(37 + i));
                label3_[37 + i] = l;
                grid->addWidget(l, i % kRows, (i / kRows) * 2 + 1);
            }
            connect(c, &QCheckBox::clicked, this, [this, i] { Check3_Click(i); });
        }
        static_cast<QVBoxLayout*>(p->layout())->addWidget(box);
        okRow(p, "CommandClearTab");
    }
    centralLayout->addStretch();

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

void ConsoleWindow::BuildStatusBar() {
    QStatusBar* bar = statusBar();
    bar->setObjectName("StatusBar1");
    for (int i = 0; i < 5; ++i) {
        auto* panel = new QLabel(bar);
        panel->setObjectName(QString("StatusPanel%1").arg(i + 1));
        statusPanels_[i] = panel;
        bar->addWidget(panel, i == 0 ? 1 : 0);
    }
    statusPanels_[0]->setText(Q(kCaption));
    // Panel 3 tells why the commands are unavailable while one is in flight; it is wide enough for that
    // from the start, so that the window does not change size when the text comes and goes.
    statusPanels_[2]->setMinimumWidth(statusPanels_[2]->fontMetrics().horizontalAdvance(Q(kCommandInFlightStatus)) +
                                      statusPanels_[2]->contentsMargins().left() +
                                      statusPanels_[2]->contentsMargins().right());
}

// ---------------------------------------------------------------------------------------------------------
// Access to the controls

QWidget* ConsoleWindow::Panel(int n) const { return n >= 0 && n < kPanelCount ? panels_[n] : nullptr; }

QLabel* ConsoleWindow::PanelTitle(int panel, int part) const {
    auto it = titles_.find({panel, part});
    return it == titles_.end() ? nullptr : it->second;
}

QLineEdit* ConsoleWindow::Text3(int index) const { return Lookup(text3_, index); }
QRadioButton* ConsoleWindow::Option1(int index) const { return Lookup(option1_, index); }
QRadioButton* ConsoleWindow::Option3(int index) const { return Lookup(option3_, index); }
QRadioButton* ConsoleWindow::Option4(int index) const { return Lookup(option4_, index); }
QRadioButton* ConsoleWindow::Option5(int index) const { return Lookup(option5_, index); }
QCheckBox* ConsoleWindow::Check1(int index) const { return Lookup(check1_, index); }
QCheckBox* ConsoleWindow::Check2(int index) const { return Lookup(check2_, index); }
QCheckBox* ConsoleWindow::Check3(int index) const { return Lookup(check3_, index); }
QLabel* ConsoleWindow::Label3(int index) const { return Lookup(label3_, index); }
QComboBox* ConsoleWindow::Combo2(int index) const { return Lookup(combo2_, index); }

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
    m_.ConsoleModal = modal ? 1 : 0;
    // The host window is recorded and hidden before the console shows: a modal console returns only when
    // it is closed again, and by then quitting must already know which window to bring back.
    m_.HostWindow = hostWindow;
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
    if (m_.HostWindow == 0) return;
    if (QWidget* host = QWidget::find(static_cast<WId>(m_.HostWindow)); host && host != this) host->showNormal();
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

void ConsoleWindow::ShowPanel(int n) {
    // The others go first: two panels on show at once, even for a moment, would make the window grow to
    // hold both.
    for (int i = 0; i < kPanelCount; ++i) {
        if (i != n) panels_[i]->setVisible(false);
    }
    if (n >= 0 && n < kPanelCount) panels_[n]->setVisible(true);
}

int ConsoleWindow::VisiblePanel() const {
    for (int i = 0; i < kPanelCount; ++i) {
        if (!panels_[i]->isHidden()) return i;
    }
    return -1;
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
        // The menu keys win over a field's own editing keys (Ctrl+A, Ctrl+Z ...), as the menus promise.
        auto* key = static_cast<QKeyEvent*>(event);
        const QKeySequence pressed(key->keyCombination());
        for (const auto& [index, edit] : text3_) {
            if (watched != edit) continue;
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
            for (const auto& [index, edit] : text3_) {
                if (watched != edit) continue;
                if (event->type() == QEvent::KeyPress) {
                    enterDownIn_ = edit;
                    break;
                }
                if (enterDownIn_ == edit) {
                    enterDownIn_ = nullptr;
                    OnTextEnter(index);
                }
                return true;
            }
            // A focused panel button takes Enter as it takes Space: auto-advance leaves the focus on the OK
            // button, and Enter is the key the operator reaches for there.
            for (const auto& [name, button] : buttons_) {
                if (watched != button) continue;
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
        for (const auto& [index, edit] : text3_) {
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

void ConsoleWindow::FocusText(int index) {
    QLineEdit* edit = Text3(index);
    if (edit == nullptr) return;
    edit->setFocus(Qt::OtherFocusReason);
    // A field that had the focus already gets no focus event.
    edit->selectAll();
}

void ConsoleWindow::FocusButton(const QString& name) {
    if (QPushButton* b = Button(name)) b->setFocus(Qt::OtherFocusReason);
}

void ConsoleWindow::OnTextEdited(int index) {
    const Advance a = AdvanceOf(index);
    if (a.threshold == 0) return;
    if (GbkByteLength(Text3(index)->text().toStdString()) != a.threshold) return;
    if (a.button) {
        FocusButton(Q(a.button));
    } else if (IsText3Index(a.field)) {
        FocusText(a.field);
    }
}

void ConsoleWindow::OnTextEnter(int index) {
    const Advance a = EnterOf(index);
    if (a.button) {
        if (QPushButton* b = Button(Q(a.button))) Q_EMIT b->clicked();
    } else if (IsText3Index(a.field)) {
        FocusText(a.field);
    }
}

DateInput ConsoleWindow::ReadDate(int yearIndex) const {
    return DateInput{Text3(yearIndex)->text().toStdString(), Text3(yearIndex + 1)->text().toStdString(),
                     Text3(yearIndex + 2)->text().toStdString()};
}

IssueContext ConsoleWindow::Context() { return m_.MakeIssueContext(); }

void ConsoleWindow::ShowIssueOutcome(const IssueResult& r) {
    // Panel 1 carries the caption while commands go out. A refusal often only empties a field, and a
    // closed port says nothing at all: the operator reads there why nothing was sent.
    if (r.sent) {
        statusPanels_[0]->setText(Q(kCaption));
    } else if (r.code != result::kSuccess && r.code != result::kCommandAborted) {
        statusPanels_[0]->setText(Q("命令未发送：") + QString::fromStdString(ResultMessage(r.code)));
    }
}

void ConsoleWindow::ApplyResult(const IssueResult& r, const std::map<InputField, int>& fields) {
    ShowIssueOutcome(r);
    for (const auto& [field, index] : fields) {
        if (r.Clears(field)) Text3(index)->clear();
    }
    if (r.focus != InputField::None) {
        auto it = fields.find(r.focus);
        if (it != fields.end()) FocusText(it->second);
    }
}

namespace {
// Field maps of the panels with number and date groups.
std::map<InputField, int> RangeFields(int startNumber, int endNumber, int startYear, int endYear) {
    return {{InputField::StartNumber, startNumber}, {InputField::EndNumber, endNumber},
            {InputField::StartYear, startYear},     {InputField::StartMonth, startYear + 1},
            {InputField::StartDay, startYear + 2},  {InputField::EndYear, endYear},
            {InputField::EndMonth, endYear + 1},    {InputField::EndDay, endYear + 2}};
}
std::map<InputField, int> DateFields(int startYear) {
    return {{InputField::StartYear, startYear},
            {InputField::StartMonth, startYear + 1},
            {InputField::StartDay, startYear + 2}};
}
}  // namespace

void ConsoleWindow::Option1_Click() {
    const bool byNumber = Option1(0)->isChecked();
    for (QWidget* w : numberLabels0_) w->setEnabled(byNumber);
    for (int i : {0, 1}) Text3(i)->setEnabled(byNumber);
    for (QWidget* w : dateLabels0_) w->setEnabled(!byNumber);
    for (int i = 2; i <= 7; ++i) Text3(i)->setEnabled(!byNumber);
    FocusText(byNumber ? 0 : 2);
}

void ConsoleWindow::Option5_Click() {
    const bool byNumber = Option5(0)->isChecked();
    for (QWidget* w : numberLabels9_) w->setEnabled(byNumber);
    for (int i : {26, 27}) Text3(i)->setEnabled(byNumber);
    for (QWidget* w : dateLabels9_) w->setEnabled(!byNumber);
    for (int i = 32; i <= 37; ++i) Text3(i)->setEnabled(!byNumber);
    FocusText(byNumber ? 26 : 32);
}

void ConsoleWindow::Option4_Click() {
    if (Option4(0)->isChecked()) {
        Option5(0)->setEnabled(true);
        Option5(1)->setEnabled(true);
        return;
    }
    // Declaration and day-trade checks only go by dates.
    Option5(1)->setChecked(true);
    Option5(0)->setEnabled(false);
    Option5_Click();
}

void ConsoleWindow::Check2_Click(int index) {
    Label3(32 + index)->setText(Q(Check2(index)->isChecked() ? kWaitingCheck : kNotChosen));
}

void ConsoleWindow::Check3_Click(int index) {
    if (index == 13) {
        const bool all = Check3(13)->isChecked();
        for (int i = 0; i < 13; ++i) {
            Check3(i)->setChecked(all);
            Label3(37 + i)->setText(Q(all ? kWaitingClear : kNotChosen));
        }
        return;
    }
    Label3(37 + index)->setText(Q(Check3(index)->isChecked() ? kWaitingClear : kNotChosen));
}

// ---------------------------------------------------------------------------------------------------------
// Menu entries
//
// The entries that open a panel leave CurrentCommand and CallerMode alone: the panel's issuer sets both
// when its request goes out, and an entry opened while a host call still waits for its answer must not
// turn that answer into a console answer (or cut a query chain short).

void ConsoleWindow::IssueDirect(CommandCode code) {
    ShowPanel(-1);
    ShowIssueOutcome(IssueMenuCommand(Context(), code));
}

void ConsoleWindow::CommandSetTime_Click() {
    ShowPanel(-1);
    ShowIssueOutcome(IssueSetTime(Context()));
}

void ConsoleWindow::CommandDispenseInvoice_Click() {
    ShowPanel(-1);
    ShowIssueOutcome(IssueDispenseInvoice(Context()));
}

void ConsoleWindow::DataQuery_Click() {
    ShowPanel(-1);
    ShowDataBrowser(m_, this);
}

void ConsoleWindow::DailyFile_Click() {
    if (!viewer_) {
        viewer_ = new LogViewerWindow(m_.Log(), this);
        connect(viewer_, &LogViewerWindow::Closed, this, [this] { OnViewerClosed(); });
    }
    const Qt::WindowModality wanted = m_.ConsoleModal == 1 ? Qt::ApplicationModal : Qt::NonModal;
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
        viewer_->SetListHeight(height() - TwipsToPixels(kListHeightMarginTwips));
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
    ShowPanel(kClearStorePanel);
    for (int i = 0; i < 13; ++i) {
        Check3(i)->setChecked(false);
        Label3(37 + i)->setText(Q(kNotChosen));
    }
    Check3(13)->setChecked(false);
}

void ConsoleWindow::CommandCheckSelf_Click() {
    ShowPanel(kCheckselfPanel);
    for (int i = 0; i < static_cast<int>(kSelfTestBoxCount); ++i) {
        Check2(i)->setChecked(false);
        Label3(32 + i)->setText(Q(kNotChosen));
    }
}

void ConsoleWindow::CommandPrintData_Click() {
    ShowPanel(kPrintDataPanel);
    Option1(0)->setChecked(true);
    Option1_Click();
    FocusText(0);
}

void ConsoleWindow::CommandDayTrade_Click() {
    ShowPanel(kDayTradePanel);
    FocusText(11);
}

void ConsoleWindow::CommandInvoiceSum_Click() {
    ShowPanel(kSingleInvoicePanel);
    singleInvoiceCommand_ = CommandCode::InvoiceSum;
    PanelTitle(kSingleInvoicePanel, 0)->setText(Q("单卷发票使用"));
    PanelTitle(kSingleInvoicePanel, 1)->setVisible(true);
    FocusText(8);
}

void ConsoleWindow::CommandInvalidateInvoice_Click() {
    ShowPanel(kSingleInvoicePanel);
    singleInvoiceCommand_ = CommandCode::InvalidateInvoice;
    PanelTitle(kSingleInvoicePanel, 0)->setText(Q("    废票"));
    PanelTitle(kSingleInvoicePanel, 1)->setVisible(false);
    FocusText(8);
}

void ConsoleWindow::OpenCutOffPanel(CommandCode code, const QString& title) {
    ShowPanel(kCutOffPanel);
    cutOffCommand_ = code;
    PanelTitle(kCutOffPanel, 0)->setText(title);
    FocusText(20);
}

void ConsoleWindow::CommandIdiograph_Click() {
    ShowPanel(kIdiographPanel);
    Option3(2)->setChecked(true);
    FocusText(30);
}

void ConsoleWindow::CommandCheckWriteCard_Click() {
    ShowPanel(kCheckCardPanel);
    Option4(0)->setChecked(true);
    Option4_Click();
    Option5(1)->setChecked(true);
    Option5_Click();
    FocusText(32);
}

void ConsoleWindow::CommSetting_Click() {
    ShowPanel(kParaSetPanel);
    ShowParaSet();
}

void ConsoleWindow::CommandAbout_Click() { ShowPanel(kAboutPanel); }

int ConsoleWindow::ShowParaSet() {
    int port = 0;
    int selector = 0;
    const int r = m_.Intake().ReadSerialSettings(m_, port, selector);
    if (r != 0) return r;
    Combo2(1)->setCurrentIndex(port - 1);
    Combo2(2)->setCurrentIndex(selector - 1);
    return 0;
}

int ConsoleWindow::CommandInstallInv_Click() {
    ShowPanel(-1);
    // The rolls not yet in use are dropped; the processor's answer writes them again as it knows them.
    StoreAccess* access = OpenStore(m_);
    if (access == nullptr) return kStoreNotOpen;
    RecordSet unused;
    int rc = unused.Open(access->Connection(), UnusedRolls());
    if (rc == kStoreOk) rc = unused.DeleteAll();
    unused.Close();
    if (rc != kStoreOk) return rc;
    const IssueResult r = IssueInstallRollQuery(Context());
    ShowIssueOutcome(r);
    return r.sent ? result::kSuccess : r.code;
}

void ConsoleWindow::FillInstallList() {
    list1_->clear();
    StoreAccess* access = OpenStore(m_);
    RecordSet rolls;
    std::int64_t count = 0;
    int rc = access ? rolls.Open(access->Connection(), UnusedRolls()) : kStoreNotOpen;
    if (rc == kStoreOk) rc = rolls.RecordCount(count);
    if (rc != kStoreOk || count == 0) {
        m_.Ui().ShowMessage("安装发票", "选择数据库中的数据错误");
        return;
    }
    int number = 1;
    for (rc = rolls.MoveFirst(); rc == kStoreOk && !rolls.Eof(); rc = rolls.MoveNext(), ++number) {
        std::string code, first, last, cell, row;
        rolls.GetText("发票代码", code);
        rolls.GetText("单卷发票起始号", first);
        rolls.GetText("单卷发票终止号", last);
        FormatTextField(std::to_string(number), 4, ' ', kPadBehind, kKeepLong, cell);
        row += cell;
        FormatTextField(code, 22, ' ', kPadBehind, kKeepLong, cell);
        row += cell;
        FormatTextField(first, 12, ' ', kPadBehind, kKeepLong, cell);
        row += cell + last;
        list1_->addItem(QString::fromStdString(row));
    }
    if (list1_->count() > 0) list1_->setCurrentRow(0);
}

// ---------------------------------------------------------------------------------------------------------
// Panel buttons

void ConsoleWindow::CommandInvoice_Click() {
    const RangeInput in{Text3(0)->text().toStdString(), Text3(1)->text().toStdString(), ReadDate(2), ReadDate(5)};
    ApplyResult(IssuePrintData(Context(), Option1(0)->isChecked(), in), RangeFields(0, 1, 2, 5));
}

void ConsoleWindow::CommandDTRad_Click() {
    const IssueResult r = IssueDayTrade(Context(), ReadDate(11), ReadDate(14));
    ApplyResult(r, RangeFields(-1, -1, 11, 14));
}

void ConsoleWindow::CommandSetMD_Click() {
    const IssueResult r = IssueFactoryData(Context(), Text3(23)->text().toStdString(), ReadDate(17),
                                           Text3(24)->text().toStdString(), Text3(25)->text().toStdString());
    auto fields = DateFields(17);
    fields[InputField::MachineNumber] = 23;
    ApplyResult(r, fields);
}

void ConsoleWindow::CommandSendCom_Click() { ShowIssueOutcome(IssueCardPower(Context(), combo1_->currentIndex())); }

void ConsoleWindow::CommandSendStr_Click() {
    ShowIssueOutcome(IssueSendStr(Context(), Text3(31)->text().toStdString(),
                                  Option3(0)->isChecked() ? ByteListKind::Decimal : ByteListKind::Hexadecimal));
}

void ConsoleWindow::CommandSinInv_Click() {
    ShowIssueOutcome(IssueSingleInvoice(Context(), singleInvoiceCommand_, Text3(8)->text().toStdString()));
}

void ConsoleWindow::CommandDeclareCmd_Click() {
    ApplyResult(IssueCutOffDate(Context(), cutOffCommand_, ReadDate(20)), DateFields(20));
}

void ConsoleWindow::CommandDataIph_Click() {
    ShowIssueOutcome(IssueIdiograph(Context(), Text3(30)->text().toStdString(),
                                    Option3(3)->isChecked() ? ByteListKind::Decimal : ByteListKind::Hexadecimal));
}

void ConsoleWindow::CommandParaSet_Click() {
    const int port = Combo2(1)->currentIndex() + 1;
    const int selector = Combo2(2)->currentIndex() == 1 ? 2 : 1;
    // The operator set the port from the console: its failures are shown.
    m_.CallerMode = kCallerConsole;
    const int r = m_.OpenComm(port, selector);
    m_.SetCommandResult(r);
    if (r != 0) {
        m_.Ui().ShowMessage("参数设置", "串口参数设置失败");
        return;
    }
    m_.Intake().WriteSerialSettings(m_, port, selector);
    m_.Ui().ShowMessage("参数设置", "系统参数设置成功");
    ShowPanel(-1);
}

void ConsoleWindow::CommandInsInv_Click() {
    std::optional<std::string> row;
    if (QListWidgetItem* item = list1_->currentItem(); item && item->isSelected()) row = item->text().toStdString();
    ShowIssueOutcome(IssueInstallInv(Context(), row));
}

void ConsoleWindow::CommandWriteCheckCard_Click() {
    CheckCardKind kind = CheckCardKind::Detail;
    if (Option4(1)->isChecked()) kind = CheckCardKind::Declare;
    if (Option4(2)->isChecked()) kind = CheckCardKind::DayTrade;
    const RangeInput in{Text3(26)->text().toStdString(), Text3(27)->text().toStdString(), ReadDate(32),
                        ReadDate(35)};
    ApplyResult(IssueCheckCard(Context(), kind, Option5(0)->isChecked(), in), RangeFields(26, 27, 32, 35));
}

void ConsoleWindow::CommandCheckselfSend_Click() {
    std::array<bool, kSelfTestBoxCount> checked{};
    for (std::size_t i = 0; i < kSelfTestBoxCount; ++i) checked[i] = Check2(static_cast<int>(i))->isChecked();
    ShowIssueOutcome(IssueCheckSelf(Context(), std::span<const bool, kSelfTestBoxCount>(checked)));
}

std::uint32_t ConsoleWindow::ClearFlags() const {
    std::uint32_t flags = 0;
    for (int i = 0; i < 13; ++i) {
        if (Check3(i)->isChecked()) flags |= kClearBoxFlags[static_cast<std::size_t>(i)];
    }
    return flags;
}

void ConsoleWindow::CommandClearTab_Click() {
    const std::uint32_t flags = ClearFlags();
    if (flags == 0) {
        m_.Ui().ShowMessage("税控器", "请选择需要清空的数据库");
        return;
    }
    if (!m_.Ui().AskYesNo("收款机", "清空选择的数据库？")) return;
    InstallClearProgress();
    const int r = m_.Intake().ClearStoreTables(m_, flags);
    if (r != 0) {
        // Nothing was emptied (the clearing is all or nothing); saying "done" would be a lie.
        DescribeResult(r, "清空数据库", kDescribeWithBox, &m_.Ui());
        return;
    }
    m_.Ui().ShowMessage("收款机", "数据库全部清空完成");
    ShowPanel(-1);
}

void ConsoleWindow::InstallClearProgress() {
    auto* intake = dynamic_cast<StoreIntake*>(&m_.Intake());
    if (intake == nullptr) return;
    QPointer<ConsoleWindow> self(this);
    intake->SetClearProgress([self](int label, const std::string& caption) {
        if (!self) return;
        if (QLabel* l = self->Label3(label)) l->setText(QString::fromStdString(caption));
    });
}

// ---------------------------------------------------------------------------------------------------------
// Completion hooks

void ConsoleWindow::SetCheckselfLabel(int label, const std::string& text) {
    if (QLabel* l = Label3(label)) l->setText(QString::fromStdString(text));
}

void ConsoleWindow::RefreshStatus() {
    const StatusTexts& s = m_.Status();
    statusPanels_[1]->setText(QString::fromStdString(s.link));
    statusPanels_[3]->setText(QString::fromStdString(s.port));
    statusPanels_[4]->setText(QString::fromStdString(s.packets));
}

void ConsoleWindow::SetCommandInFlight(bool inFlight) {
    for (const char* name : {"MachineData", "InvoiceCommand", "InvoiceData", "DeclareData"}) {
        QAction* menu = menuItems_.at(name);
        menu->setEnabled(!inFlight);
        // The entries' shortcuts stay live in a disabled menu; each entry is disabled too.
        for (QAction* entry : menu->menu()->actions()) entry->setEnabled(!inFlight);
    }
    for (const auto& [name, button] : buttons_) button->setEnabled(!inFlight);
    statusPanels_[2]->setText(inFlight ? Q(kCommandInFlightStatus) : QString());
}

void ConsoleWindow::SetBusyCursor(bool busy) {
    if (busy) {
        setCursor(Qt::BusyCursor);
    } else {
        unsetCursor();
    }
}

}  // namespace karvex
