#include "browser/data_browser.h"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QChartView>
#include <QFile>
#include <QFileDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLibraryInfo>
#include <QStandardPaths>
#include <QTranslator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QScreen>
#include <QStyle>
#include <QTabWidget>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "browser/browser_charts.h"
#include "store/store_service.h"
#include "convert/conversions.h"
#include "convert/plain_file.h"
#include "link/result_codes.h"
#include "store/store_access.h"
#include "store/table_export.h"

namespace karvex {
namespace {

constexpr int kDateLength = 8;
constexpr int kNumberLength = 10;
// Grid sizing: rows a table grid shows at least, the widest a column opens, and how many rows are
// measured when the columns are fitted to their contents: more than a grid shows when it opens, and no
// more, since every row measured across the print data's forty columns is paid at each opening and query.
constexpr int kMainGridRows = 5;
constexpr int kMaxColumnWidth = 220;
constexpr int kRowsSizedForColumns = 20;
// The window's opening size when the screen has room for it.
constexpr int kWindowWidth = 960;
constexpr int kWindowHeight = 720;
constexpr const char* kNoRows = "没有符合条件的记录";

// Tab captions, in tab order.
constexpr const char* kTabCaptions[Datashow::kTabCount] = {"初始化数据", "发票打印数据", "单卷发票使用汇总",
                                                           "日交易数据", "申报数据",     "机器数据"};

// Restores the normal cursor however the query ends.
struct BusyCursor {
    BusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~BusyCursor() { QApplication::restoreOverrideCursor(); }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};

std::string SlotField(const char* field, int k) { return field + std::to_string(k); }

FieldValue Rounded(const FieldValue& v) {
    if (const auto* d = std::get_if<double>(&v)) return RoundToCents(*d);
    return v;
}

}  // namespace

double RoundToCents(double x) {
    double scaled = x * 100.0;
    if (!(scaled >= static_cast<double>(INT32_MIN) && scaled <= static_cast<double>(INT32_MAX))) return x;
    // nearbyint follows the default rounding mode: to nearest, a tie to the even neighbour.
    return std::nearbyint(scaled) / 100.0;
}

QString DecimalText(double x) { return FieldDisplayText(FieldValue{x}); }

std::int32_t CheckDateText(std::string_view text) {
    if (CharacterCount(text) != kDateLength) return result::kWrongDateLength;
    if (int rc = CheckCharClass(text, 1); rc != 0) return rc;
    std::string month(text.substr(4, 2)), day(text.substr(6, 2)), out;
    return CheckDateParts(text.substr(0, 4), month, day, out);
}

// table, slot, date field and boxes, number field and boxes; element 0 is unused.
const Datashow::RangeQuery Datashow::kQueries[5] = {
    {nullptr, 0, nullptr, 0, 0, nullptr, 0, 0},
    {"InvPrintData", kSlotInvPrintData, "开票日期", 2, 3, "发票号", 4, 5},
    {"InvUseSum", kSlotInvUseSum, "开票截止时间", 6, 7, "发票起始号", 8, 9},
    {"DayTrade", kSlotDayTrade, "日期", 0, 1, nullptr, 0, 0},
    {"DeclareData", kSlotDeclareData, "数据截止日期", 10, 11, nullptr, 0, 0},
};

Datashow::Datashow(std::shared_ptr<StoreConnection> conn, QWidget* parent) : QDialog(parent), conn_(std::move(conn)) {
    setObjectName(QStringLiteral("Datashow"));
    setWindowTitle(QStringLiteral("数据显示"));
    currentRows_.fill(-1);
    for (int s = 0; s < kSlotCount; ++s) models_[static_cast<std::size_t>(s)] = new RecordSetModel(this);
    BuildWindow();
    LoadViews();
    tabs_->setCurrentIndex(0);
    // Room for the grids to show whole rows and values, within the screen.
    QSize size = sizeHint().expandedTo(QSize(kWindowWidth, kWindowHeight));
    if (QScreen* s = screen()) size = size.boundedTo(s->availableGeometry().size());
    resize(size.expandedTo(minimumSizeHint()));
    if (QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());
}

Datashow::~Datashow() { ReleaseAll(); }

// ---------------------------------------------------------------------------------------------------------
// Window

void Datashow::BuildWindow() {
    auto* layout = new QVBoxLayout(this);
    tabs_ = new QTabWidget(this);
    tabs_->setObjectName(QStringLiteral("TabStrip1"));
    // Every tab caption stays readable: the window is never narrower than the whole tab row.
    tabs_->setUsesScrollButtons(false);
    tabs_->setElideMode(Qt::ElideNone);
    layout->addWidget(tabs_);
    for (int tab = 1; tab <= kTabCount; ++tab) {
        QWidget* frame = BuildFrame(tab);
        frame->setObjectName(QStringLiteral("Frame1_%1").arg(tab - 1));
        frames_[static_cast<std::size_t>(tab - 1)] = frame;
        tabs_->addTab(frame, QString::fromUtf8(kTabCaptions[tab - 1]));
    }
}

QLabel* Datashow::AddBoundLabel(QFormLayout* form, int tab, const std::string& field) {
    auto* value = new QLabel(form->parentWidget());
    value->setObjectName(QString::fromStdString(field));
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    form->addRow(QString::fromStdString(field), value);
    bound_.push_back({tab, field, value});
    return value;
}

QLabel* Datashow::AddTotal(QFormLayout* form, const char* caption) {
    auto* value = new QLabel(form->parentWidget());
    value->setObjectName(QString::fromUtf8(caption));
    form->addRow(QString::fromUtf8(caption), value);
    totals_.emplace_back(caption, value);
    return value;
}

void Datashow::AddDetail(QWidget* frame, QBoxLayout* layout, QWidget* labels,
                         std::initializer_list<const char*> totalCaptions, int gridNumber, int slot) {
    auto* detail = new QHBoxLayout;
    auto* left = new QVBoxLayout;
    left->addWidget(labels);
    auto* totals = new QWidget(frame);
    auto* totalForm = new QFormLayout(totals);
    for (const char* caption : totalCaptions) AddTotal(totalForm, caption);
    left->addWidget(totals);
    left->addStretch(1);
    detail->addLayout(left);
    layout->addLayout(detail);
    AddGrid(frame, detail, gridNumber, slot);
}

QTableView* Datashow::AddGrid(QWidget* frame, QBoxLayout* layout, int number, int slot) {
    auto* grid = new QTableView(frame);
    grid->setObjectName(QStringLiteral("DataGrid%1").arg(number));
    grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Tab and Ctrl+Tab leave the grid for the query boxes and the next tab; the arrows move between cells.
    grid->setTabKeyNavigation(false);
    grid->setSelectionBehavior(QAbstractItemView::SelectRows);
    grid->setSelectionMode(QAbstractItemView::SingleSelection);
    grid->setModel(models_[static_cast<std::size_t>(slot)]);
    // Rows as tall as a line of text and columns as wide as what they hold (within reason), so that a grid
    // shows whole values and several rows at once. A long hex signature stays clipped rather than taking
    // the whole window; the operator can widen its column.
    grid->verticalHeader()->setDefaultSectionSize(grid->fontMetrics().height() + 8);
    grid->horizontalHeader()->setResizeContentsPrecision(kRowsSizedForColumns);
    RecordSetModel* model = models_[static_cast<std::size_t>(slot)];
    connect(model, &QAbstractItemModel::modelReset, grid, [grid, model] {
        if (grid->model() != model) return;  // detached at unload
        grid->resizeColumnsToContents();
        for (int c = 0; c < model->columnCount(); ++c)
            if (grid->columnWidth(c) > kMaxColumnWidth) grid->setColumnWidth(c, kMaxColumnWidth);
    });
    // The slot grids always hold six rows: show them all.
    const int rows = (number == 4 || number == 5 || number == 6) ? 6 : kMainGridRows;
    grid->setMinimumHeight(grid->horizontalHeader()->sizeHint().height() +
                           rows * grid->verticalHeader()->defaultSectionSize() +
                           grid->horizontalScrollBar()->sizeHint().height() + 2 * grid->frameWidth());
    connect(grid->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this, slot](const QModelIndex& current, const QModelIndex&) {
                OnRowChanged(slot, current.isValid() ? current.row() : -1);
            });
    // The number of rows under the grid: a scrolled grid does not say how much it holds.
    auto* holder = new QWidget(frame);
    auto* column = new QVBoxLayout(holder);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(2);
    grid->setParent(holder);
    column->addWidget(grid, 1);
    auto* count = new QLabel(holder);
    count->setObjectName(QStringLiteral("RowCount%1").arg(number));
    count->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    column->addWidget(count);
    rowCounts_[static_cast<std::size_t>(number)] = count;
    const auto recount = [count, model] { count->setText(QStringLiteral("共 %1 条记录").arg(model->RowCount())); };
    connect(model, &QAbstractItemModel::modelReset, count, recount);
    recount();
    layout->addWidget(holder, 1);
    grids_[static_cast<std::size_t>(number)] = grid;
    slotGrids_[static_cast<std::size_t>(slot)] = grid;
    return grid;
}

QWidget* Datashow::AddQueryBox(int query) {
    const RangeQuery& d = kQueries[query];
    auto* box = new QGroupBox(QStringLiteral("查询"));
    auto* form = new QGridLayout(box);
    auto addPair = [&](int row, int begin, int end, int length, const char* beginCaption, const char* endCaption) {
        for (int i : {begin, end}) {
            auto* edit = new QLineEdit(box);
            edit->setObjectName(QStringLiteral("Text1_%1").arg(i));
            edit->setMaxLength(length);
            text1_[static_cast<std::size_t>(i)] = edit;
            connect(edit, &QLineEdit::textChanged, this, [this, i](const QString&) { OnTextChanged(i); });
        }
        auto* b = new QLabel(QString::fromUtf8(beginCaption), box);
        auto* e = new QLabel(QString::fromUtf8(endCaption), box);
        b->setObjectName(QStringLiteral("Label_Text1_%1").arg(begin));
        e->setObjectName(QStringLiteral("Label_Text1_%1").arg(end));
        text1Captions_[static_cast<std::size_t>(begin)] = b;
        text1Captions_[static_cast<std::size_t>(end)] = e;
        form->addWidget(b, row, 1);
        form->addWidget(text1_[static_cast<std::size_t>(begin)], row, 2);
        form->addWidget(e, row, 3);
        form->addWidget(text1_[static_cast<std::size_t>(end)], row, 4);
    };
    addPair(0, d.dateBegin, d.dateEnd, kDateLength, "起始日期", "截止日期");
    if (d.numberField) {
        addPair(1, d.numberBegin, d.numberEnd, kNumberLength, "起始发票号", "终止发票号");
        const char* numberCaption = query == kQueryInvPrintData ? "发票号码" : "发票号";
        const QString array = query == kQueryInvPrintData ? QStringLiteral("Option1") : QStringLiteral("Option2");
        auto* dates = new QRadioButton(QStringLiteral("时间段"), box);
        auto* numbers = new QRadioButton(QString::fromUtf8(numberCaption), box);
        dates->setObjectName(array + QStringLiteral("_0"));
        numbers->setObjectName(array + QStringLiteral("_1"));
        std::size_t base = static_cast<std::size_t>((query - 1) * 2);
        options_[base] = dates;
        options_[base + 1] = numbers;
        form->addWidget(dates, 0, 0);
        form->addWidget(numbers, 1, 0);
        dates->setChecked(true);
        connect(dates, &QRadioButton::toggled, this, [this, query](bool on) { ChooseRangeKind(query, !on); });
        ChooseRangeKind(query, false);
    }
    static constexpr const char* kButtonNames[5] = {"", "CommandQueryInvPrintData", "CommandQueryInvUseSum",
                                                    "CommandQueryDayTradeData", "CommandQueryDeclareData"};
    auto* button = new QPushButton(QStringLiteral("查询"), box);
    button->setObjectName(QString::fromUtf8(kButtonNames[query]));
    buttons_[static_cast<std::size_t>(query)] = button;
    connect(button, &QPushButton::clicked, this, [this, query] { RunRangeQuery(query); });
    form->addWidget(button, 0, 5);
    auto* exportButton = new QPushButton(QStringLiteral("导出"), box);
    exportButton->setObjectName(QStringLiteral("ExportQuery%1").arg(query));
    exportButton->setToolTip(QStringLiteral("把表格中的全部记录导出为 CSV 文件"));
    exportButtons_[static_cast<std::size_t>(query)] = exportButton;
    connect(exportButton, &QPushButton::clicked, this, [this, query] { ChooseExportFile(query); });
    form->addWidget(exportButton, 1, 5);
    auto* message = new QLabel(box);
    message->setObjectName(QStringLiteral("QueryMessage%1").arg(query));
    queryMessages_[static_cast<std::size_t>(query)] = message;
    form->addWidget(message, 2, 0, 1, 6);
    return box;
}

void Datashow::ChooseRangeKind(int query, bool numbers) {
    const RangeQuery& d = kQueries[query];
    for (int i : {d.dateBegin, d.dateEnd}) {
        text1_[static_cast<std::size_t>(i)]->setEnabled(!numbers);
        text1Captions_[static_cast<std::size_t>(i)]->setEnabled(!numbers);
    }
    for (int i : {d.numberBegin, d.numberEnd}) {
        text1_[static_cast<std::size_t>(i)]->setEnabled(numbers);
        text1Captions_[static_cast<std::size_t>(i)]->setEnabled(numbers);
    }
}

QWidget* Datashow::BuildFrame(int tab) {
    auto* frame = new QWidget;
    auto* layout = new QVBoxLayout(frame);
    auto* labels = new QWidget(frame);
    auto* form = new QFormLayout(labels);
    auto bind = [&](std::initializer_list<const char*> fields) {
        for (const char* f : fields) AddBoundLabel(form, tab, f);
    };
    switch (tab) {
    case 1:
        bind({"纳税人名称", "纳税人编码", "税号", "税控卡编号", "税控卡使用口令", "应用起用日期", "应用有效日期",
              "单张发票开票金额限额", "发票累计金额限额", "退票累计金额限额", "主管分局代码", "申报方式",
              "开票截止日期"});
        layout->addWidget(labels);
        AddGrid(frame, layout, 1, kSlotTaxInformation);
        break;
    case 2: {
        AddGrid(frame, layout, 7, kSlotInvPrintData);
        bind({"开票日期", "开票类型", "发票号", "原发票号", "开票总金额", "税控码", "付款单位"});
        // The current invoice's labels and totals beside its goods lines.
        AddDetail(frame, layout, labels, {"开票总累", "退票总累"}, 6, kSlotInvPDatTemp);
        layout->addWidget(AddQueryBox(kQueryInvPrintData));
        break;
    }
    case 3:
        bind({"纳税人名称", "税号"});
        layout->addWidget(labels);
        AddGrid(frame, layout, 2, kSlotInvUseSum);
        {
            // The roll's numbers and dates in one column, its amounts and counts in the next.
            auto* rowLabels = new QWidget(frame);
            auto* columns = new QHBoxLayout(rowLabels);
            columns->setContentsMargins(0, 0, 0, 0);
            auto* rowForm = new QFormLayout;
            auto* countForm = new QFormLayout;
            columns->addLayout(rowForm, 1);
            columns->addLayout(countForm, 1);
            for (const char* f : {"发票代码", "发票起始号", "发票终止号", "开票起始时间", "开票截止时间"})
                AddBoundLabel(rowForm, tab, f);
            for (const char* f : {"正常发票总金额", "退票总金额", "正常发票份数", "退票份数", "废票份数"})
                AddBoundLabel(countForm, tab, f);
            layout->addWidget(rowLabels);
        }
        rollChart_ = MakeBarChartView(frame, QStringLiteral("RollChart"), QStringLiteral("发票卷使用情况（份）"));
        layout->addWidget(rollChart_, 1);
        layout->addWidget(AddQueryBox(kQueryInvUseSum));
        break;
    case 4: {
        AddGrid(frame, layout, 3, kSlotDayTrade);
        bind({"日期", "正常发票份数", "退票份数", "废票份数"});
        // The day's labels and totals beside its six tax-item slots.
        AddDetail(frame, layout, labels, {"当天正常累计", "当天退票累计", "正常全部累计", "退票全部累计"}, 4,
                  kSlotDayTradeShow);
        dayTradeChart_ = MakeBarChartView(frame, QStringLiteral("DayTradeChart"), QStringLiteral("日交易金额（元）"));
        layout->addWidget(dayTradeChart_, 1);
        layout->addWidget(AddQueryBox(kQueryDayTrade));
        break;
    }
    case 5: {
        AddGrid(frame, layout, 8, kSlotDeclareData);
        bind({"数据起始日期", "数据截止日期", "正常发票份数", "退票份数", "废票份数", "税控卡编号",
              "税控卡正常发票总累计金额", "税控卡退票总累计金额"});
        // The declaration's labels beside its six tax-item slots.
        auto* detail = new QHBoxLayout;
        detail->addWidget(labels, 0, Qt::AlignTop);
        layout->addLayout(detail);
        AddGrid(frame, detail, 5, kSlotDecShowTemp);
        layout->addWidget(AddQueryBox(kQueryDeclareData));
        break;
    }
    default:
        bind({"机器编号", "生产日期", "硬件版本号", "软件版本号"});
        layout->addWidget(labels);
        layout->addStretch(1);
        break;
    }
    return frame;
}

// Focus moves on when a box is full; the query itself waits for its button.
void Datashow::OnTextChanged(int element) {
    QLineEdit* edit = text1_[static_cast<std::size_t>(element)];
    const int length = static_cast<int>(edit->text().size());
    for (int q = 1; q <= 4; ++q) {
        const RangeQuery& d = kQueries[q];
        QWidget* button = buttons_[static_cast<std::size_t>(q)];
        if (element == d.dateBegin && length == kDateLength)
            return text1_[static_cast<std::size_t>(element + 1)]->setFocus();
        if (element == d.dateEnd && length == kDateLength) return button ? button->setFocus() : void();
        if (d.numberField && element == d.numberBegin && length == kNumberLength)
            return text1_[static_cast<std::size_t>(element + 1)]->setFocus();
        if (d.numberField && element == d.numberEnd && length == kNumberLength)
            return button ? button->setFocus() : void();
    }
}

// ---------------------------------------------------------------------------------------------------------
// Views

void Datashow::OpenSlot(int slot, const char* table) {
    // A store error leaves the slot empty; the browser shows what it can.
    models_[static_cast<std::size_t>(slot)]->Open(conn_, Selection::Of(table));
}

void Datashow::LoadViews() {
    // Tab 1: the taxpayer from the first UserInformation row, the tax items in the grid.
    OpenSlot(kSlotUserInformation, "UserInformation");
    FillBoundLabels(1, *models_[kSlotUserInformation], 0);
    OpenSlot(kSlotTaxInformation, "TaxInformation");
    // The name column 87 pixels wide, the code column 53. The code column still widens to show its eight
    // digits whole where the font's digits are wider (Chinese fonts): a cell's text margins and the grid line
    // come on top of the digits.
    QTableView* items = grids_[1];
    items->setColumnWidth(0, 87);
    const int cellMargins = 2 * (items->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, items) + 1) + 1;
    const int digits = items->fontMetrics().horizontalAdvance(QString(8, QChar('0')));
    items->setColumnWidth(1, std::max(53, digits + cellMargins));
    // Tab 3: UserInformation read again for its two labels.
    OpenSlot(kSlotUserInformation, "UserInformation");
    for (const char* f : {"纳税人名称", "税号"})
        if (QLabel* l = BoundLabel(3, f)) l->setText(FieldShownText(f, models_[kSlotUserInformation]->Value(0, f)));
    OpenSlot(kSlotInvUseSum, "InvUseSum");
    ShowFirstRow(kSlotInvUseSum);
    RefreshChart(kQueryInvUseSum);
    // Tab 4.
    OpenSlot(kSlotDayTrade, "DayTrade");
    OpenSlot(kSlotDayTradeShow, "DayTradeShow");
    flagDayTrade_ = true;
    ShowFirstRow(kSlotDayTrade);
    ComputeAllDaysTotals();
    RefreshChart(kQueryDayTrade);
    // Tab 5.
    OpenSlot(kSlotDeclareData, "DeclareData");
    OpenSlot(kSlotDecShowTemp, "DecShowTemp");
    flagDeclareData_ = true;
    ShowFirstRow(kSlotDeclareData);
    // Tab 2.
    OpenSlot(kSlotInvPrintData, "InvPrintData");
    OpenSlot(kSlotInvPDatTemp, "InvPDatTemp");
    flagInvPrintData_ = true;
    ShowFirstRow(kSlotInvPrintData);
    ComputeInvoiceTotals();
    // Tab 6.
    OpenSlot(kSlotMachineData, "MachineData");
    FillBoundLabels(6, *models_[kSlotMachineData], 0);
}

void Datashow::ShowFirstRow(int slot) {
    RecordSetModel* model = models_[static_cast<std::size_t>(slot)];
    QTableView* grid = slotGrids_[static_cast<std::size_t>(slot)];
    if (model->RowCount() == 0 || !grid) {
        if (grid) grid->selectionModel()->clearCurrentIndex();
        OnRowChanged(slot, model->RowCount() == 0 ? -1 : 0);
        return;
    }
    if (grid->currentIndex().isValid() && grid->currentIndex().row() == 0) {
        OnRowChanged(slot, 0);
        return;
    }
    // Moving the grid's current row reports the change through OnRowChanged.
    grid->setCurrentIndex(model->index(0, 0));
}

void Datashow::SelectRow(int slot, int row) {
    QTableView* grid = (slot >= 0 && slot < kSlotCount) ? slotGrids_[static_cast<std::size_t>(slot)] : nullptr;
    if (!grid || row < 0 || row >= models_[static_cast<std::size_t>(slot)]->RowCount()) return;
    grid->setCurrentIndex(models_[static_cast<std::size_t>(slot)]->index(row, 0));
}

int Datashow::CurrentRow(int slot) const {
    return (slot >= 0 && slot < kSlotCount) ? currentRows_[static_cast<std::size_t>(slot)] : -1;
}

bool Datashow::ViewFlag(int slot) const {
    switch (slot) {
    case kSlotInvPrintData: return flagInvPrintData_;
    case kSlotDayTrade: return flagDayTrade_;
    case kSlotDeclareData: return flagDeclareData_;
    default: return false;
    }
}

void Datashow::FillBoundLabels(int tab, const RecordSetModel& model, int row) {
    for (const Bound& b : bound_) {
        if (b.tab != tab) continue;
        b.value->setText(row < 0 ? QString() : FieldShownText(b.field, model.Value(row, b.field)));
    }
}

void Datashow::OnRowChanged(int slot, int row) {
    if (slot < 0 || slot >= kSlotCount) return;
    currentRows_[static_cast<std::size_t>(slot)] = row;
    const RecordSetModel& model = *models_[static_cast<std::size_t>(slot)];
    switch (slot) {
    case kSlotInvPrintData: FillBoundLabels(2, model, row); break;
    case kSlotInvUseSum:
        for (const Bound& b : bound_)
            if (b.tab == 3 && b.field != "纳税人名称" && b.field != "税号")
                b.value->setText(row < 0 ? QString() : FieldShownText(b.field, model.Value(row, b.field)));
        return;
    case kSlotDayTrade: FillBoundLabels(4, model, row); break;
    case kSlotDeclareData: FillBoundLabels(5, model, row); break;
    default: return;
    }
    if (ViewFlag(slot)) RefillDetail(slot, row);
}

// The detail grid shows the six tax-item or goods slots of the current row, through the browser's own
// display table.
void Datashow::RefillDetail(int slot, int row) {
    const RecordSetModel& source = *models_[static_cast<std::size_t>(slot)];
    const int detail = slot == kSlotInvPrintData ? kSlotInvPDatTemp
                       : slot == kSlotDayTrade   ? kSlotDayTradeShow
                                                 : kSlotDecShowTemp;
    RecordSetModel& target = *models_[static_cast<std::size_t>(detail)];
    if (row < 0) {
        // No current row: no slots to show, rather than those of a row no longer on screen.
        target.Close();
        if (slot == kSlotDayTrade)
            for (const char* c : {"当天正常累计", "当天退票累计"}) TotalLabel(c)->clear();
        return;
    }
    std::vector<std::vector<std::pair<std::string, FieldValue>>> rows;
    double dayNormal = 0, dayReturn = 0;
    for (int k = 1; k <= 6; ++k) {
        if (slot == kSlotInvPrintData) {
            rows.push_back({{"序号", std::int64_t{k}},
                            {"税种税目索引号", source.Value(row, SlotField("税种税目索引号", k))},
                            {"商品名称", source.Value(row, SlotField("商品名称", k))},
                            {"数量", source.Value(row, SlotField("数量", k))},
                            {"金额", Rounded(source.Value(row, SlotField("金额", k)))}});
        } else {
            rows.push_back({{"ID", std::int64_t{k}},
                            {"税种税目索引号", source.Value(row, SlotField("税种税目索引号", k))},
                            {"正常发票累计金额", Rounded(source.Value(row, SlotField("正常发票累计金额", k)))},
                            {"退票累计金额", Rounded(source.Value(row, SlotField("退票累计金额", k)))}});
            dayNormal += source.Number(row, SlotField("正常发票累计金额", k));
            dayReturn += source.Number(row, SlotField("退票累计金额", k));
        }
    }
    WriteDisplayTable(detail, rows);
    if (slot == kSlotDayTrade) {
        TotalLabel("当天正常累计")->setText(AmountText(RoundToCents(dayNormal)));
        TotalLabel("当天退票累计")->setText(AmountText(RoundToCents(dayReturn)));
    }
}

void Datashow::WriteDisplayTable(int slot, const std::vector<std::vector<std::pair<std::string, FieldValue>>>& rows) {
    RecordSetModel& model = *models_[static_cast<std::size_t>(slot)];
    if (!model.Records().IsOpen()) {
        static constexpr const char* kTables[kSlotCount] = {nullptr,        nullptr, nullptr,       nullptr,
                                                            "DayTradeShow", nullptr, "DecShowTemp", nullptr,
                                                            "InvPDatTemp",  nullptr, nullptr};
        OpenSlot(slot, kTables[slot]);
    }
    RecordSet& rs = model.Records();
    if (!conn_ || !rs.IsOpen()) return;
    {
        // All six rows or none: a failure part-way must not leave slots of two different rows.
        StoreTransaction tx(*conn_);
        if (tx.BeginResult() != 0) return;
        rs.Requery();
        std::int64_t existing = 0;
        rs.RecordCount(existing);
        bool ok = existing == 0 || rs.MoveFirst() == 0;
        for (std::size_t k = 0; ok && k < rows.size(); ++k) {
            const bool overwrite = static_cast<std::int64_t>(k) < existing;
            if (!overwrite && rs.AddNew() != 0) ok = false;
            for (const auto& [field, value] : rows[k])
                if (ok && rs.Set(field, value) != 0) ok = false;
            if (ok && rs.Update() != 0) ok = false;
            if (ok && overwrite && rs.MoveNext() != 0) ok = false;
        }
        // Rows beyond the six slots belong to nothing on screen.
        while (ok && existing > static_cast<std::int64_t>(rows.size()) && !rs.Eof())
            if (rs.Delete() != 0) ok = false;
        if (!ok) {
            rs.CancelUpdate();
        } else {
            tx.Commit();
        }
    }
    model.Requery();
}

// Totals are the store's sums over the grid's selection, one query each, whatever the number of rows.
// An empty selection clears them: totals of an earlier query beside an empty grid would read as this one's.
void Datashow::ComputeInvoiceTotals() {
    RecordSetModel& model = *models_[kSlotInvPrintData];
    QLabel* normalLabel = TotalLabel("开票总累");
    QLabel* returnLabel = TotalLabel("退票总累");
    normalLabel->clear();
    returnLabel->clear();
    if (model.RowCount() == 0) return;
    std::vector<double> sums;
    if (model.Reader().Totals({{{"开票总金额"}, "开票类型", 1}, {{"开票总金额"}, "开票类型", 2}}, sums) != 0) return;
    normalLabel->setText(AmountText(RoundToCents(sums[0])));
    returnLabel->setText(AmountText(RoundToCents(sums[1])));
}

void Datashow::ComputeAllDaysTotals() {
    RecordSetModel& model = *models_[kSlotDayTrade];
    for (const char* c : {"正常全部累计", "退票全部累计"}) TotalLabel(c)->clear();
    if (model.RowCount() == 0) return;
    TotalWanted normal, returned;
    for (int k = 1; k <= 6; ++k) {
        normal.fields.push_back(SlotField("正常发票累计金额", k));
        returned.fields.push_back(SlotField("退票累计金额", k));
    }
    std::vector<double> sums;
    if (model.Reader().Totals({normal, returned}, sums) != 0) return;
    TotalLabel("正常全部累计")->setText(AmountText(RoundToCents(sums[0])));
    TotalLabel("退票全部累计")->setText(AmountText(RoundToCents(sums[1])));
}

void Datashow::RefreshChart(int query) {
    RecordSetModel& model = *models_[static_cast<std::size_t>(kQueries[query].slot)];
    QChartView* view = query == kQueryDayTrade ? dayTradeChart_ : rollChart_;
    ChartBars bars;
    if (model.IsOpen()) {
        const std::int32_t rc =
            query == kQueryDayTrade ? DayTradeBars(model.Reader(), bars) : RollBars(model.Reader(), bars);
        if (rc != 0) bars = ChartBars{};
    }
    DrawBars(view, bars);
}

std::int32_t Datashow::ExportShownRows(int query, const QString& path) {
    if (query < kQueryInvPrintData || query > kQueryDeclareData || released_) return 0;
    QLabel* message = queryMessages_[static_cast<std::size_t>(query)];
    RecordSetModel& model = *models_[static_cast<std::size_t>(kQueries[query].slot)];
    if (!model.IsOpen()) return result::kStoreOpenFailed;
    BusyCursor cursor;
    const QByteArray file = QFile::encodeName(path);
    // Never through a link, and the owner's alone: the file holds tax data.
    const int fd = OpenPlainFile(file.toStdString(), O_WRONLY | O_CREAT | O_TRUNC);
    std::FILE* out = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
    if (fd >= 0 && out == nullptr) ::close(fd);
    std::int64_t rows = 0;
    std::int32_t rc = 0;
    std::string why;
    if (out == nullptr) {
        rc = result::kExportFileFailed;
        why = std::strerror(errno);
    } else {
        bool written = true;
        rc = ExportRows(
            model.Reader(), ExportFormat::Csv,
            [&](std::string_view t) { written = written && std::fwrite(t.data(), 1, t.size(), out) == t.size(); }, rows,
            true);
        if (std::fclose(out) != 0 || !written) {
            if (rc == 0) rc = result::kExportFileFailed;
            why = std::strerror(errno);
        }
        if (rc != 0 && why.empty()) why = model.Reader().LastErrorText();
    }
    if (rc == 0) {
        message->setText(QStringLiteral("已导出 %1 条记录到 %2").arg(rows).arg(path));
    } else {
        // A half-written file is worse than none: the operator would take it for the whole table.
        if (out != nullptr) std::remove(file.constData());
        message->setText(QString::fromStdString(ResultCodeText(rc)) + QStringLiteral("：") + path +
                         QStringLiteral("（") + QString::fromStdString(why) + QStringLiteral("）"));
    }
    return rc;
}

void Datashow::ChooseExportFile(int query) {
    static constexpr const char* kNames[5] = {"", "发票打印数据", "单卷发票使用汇总", "日交易数据", "申报数据"};
    // The range the query box shows is what the operator means to export, even when 查询 was not pressed
    // after it was typed: the grid is brought to it first, and a range that cannot be queried exports
    // nothing.
    if (!QueryBoxIsEmpty(query) && RunRangeQuery(query) != 0) return;
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (!QDir(folder).exists()) folder = QDir::homePath();
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("导出"),
                                                      folder + "/" + QString::fromUtf8(kNames[query]) + ".csv",
                                                      QStringLiteral("CSV 文件 (*.csv)"));
    if (!path.isEmpty()) ExportShownRows(query, path);
}

bool Datashow::QueryBoxIsEmpty(int query) const {
    const RangeQuery& d = kQueries[query];
    const bool numbers = d.numberField && options_[static_cast<std::size_t>((query - 1) * 2 + 1)]->isChecked();
    for (int i : {numbers ? d.numberBegin : d.dateBegin, numbers ? d.numberEnd : d.dateEnd})
        if (!text1_[static_cast<std::size_t>(i)]->text().isEmpty()) return false;
    return true;
}

// ---------------------------------------------------------------------------------------------------------
// Queries

std::int32_t Datashow::RunRangeQuery(int query) {
    if (query < kQueryInvPrintData || query > kQueryDeclareData || busy_ || released_) return 0;
    const RangeQuery& d = kQueries[query];
    busy_ = true;
    BusyCursor cursor;
    const bool numbers = d.numberField && options_[static_cast<std::size_t>((query - 1) * 2 + 1)]->isChecked();
    QLineEdit* beginBox = text1_[static_cast<std::size_t>(numbers ? d.numberBegin : d.dateBegin)];
    QLineEdit* endBox = text1_[static_cast<std::size_t>(numbers ? d.numberEnd : d.dateEnd)];
    const std::string beginText = beginBox->text().toStdString();
    const std::string endText = endBox->text().toStdString();
    std::string begin, end;
    std::int32_t beginRc, endRc;
    if (numbers) {
        beginRc = PadInvoiceNumber(beginText, begin);
        endRc = PadInvoiceNumber(endText, end);
    } else {
        beginRc = CheckDateText(beginText);
        endRc = CheckDateText(endText);
        begin = beginText;
        end = endText;
    }
    QLabel* message = queryMessages_[static_cast<std::size_t>(query)];
    if (beginRc != 0 || endRc != 0) {
        if (endRc != 0) endBox->clear();
        if (beginRc != 0) {
            beginBox->clear();
            beginBox->setFocus();
        }
        const std::int32_t rc = beginRc != 0 ? beginRc : endRc;
        message->setText(QString::fromStdString(ResultCodeText(rc)));
        busy_ = false;
        return rc;
    }
    message->clear();
    // Both ends are fixed-width digit texts, so their text order is the date or number order. They are
    // bound as values, never pasted into the query.
    const Selection selection = Selection::Of(d.table).Between(numbers ? d.numberField : d.dateField, begin, end);
    models_[static_cast<std::size_t>(d.slot)]->Open(conn_, selection);
    ShowFirstRow(d.slot);
    if (query == kQueryInvPrintData) ComputeInvoiceTotals();
    if (query == kQueryDayTrade) {
        ComputeAllDaysTotals();
        ShowFirstRow(d.slot);
    }
    if (query == kQueryDayTrade || query == kQueryInvUseSum) RefreshChart(query);
    if (models_[static_cast<std::size_t>(d.slot)]->RowCount() == 0) message->setText(QString::fromUtf8(kNoRows));
    busy_ = false;
    return 0;
}

// ---------------------------------------------------------------------------------------------------------
// Accessors and unload

QWidget* Datashow::Frame(int tab) const {
    return (tab >= 1 && tab <= kTabCount) ? frames_[static_cast<std::size_t>(tab - 1)] : nullptr;
}

QTableView* Datashow::DataGrid(int n) const {
    return (n >= 1 && n <= 8) ? grids_[static_cast<std::size_t>(n)] : nullptr;
}

RecordSetModel* Datashow::SlotModel(int slot) const {
    return (slot >= 0 && slot < kSlotCount) ? models_[static_cast<std::size_t>(slot)] : nullptr;
}

QLineEdit* Datashow::QueryInput(int element) const {
    return (element >= 0 && element < 12) ? text1_[static_cast<std::size_t>(element)] : nullptr;
}

QPushButton* Datashow::QueryButton(int query) const {
    return (query >= 1 && query <= 4) ? buttons_[static_cast<std::size_t>(query)] : nullptr;
}

QPushButton* Datashow::ExportButton(int query) const {
    return (query >= 1 && query <= 4) ? exportButtons_[static_cast<std::size_t>(query)] : nullptr;
}

QRadioButton* Datashow::RangeOption(int query, int element) const {
    if ((query != kQueryInvPrintData && query != kQueryInvUseSum) || element < 0 || element > 1) return nullptr;
    return options_[static_cast<std::size_t>((query - 1) * 2 + element)];
}

QString Datashow::QueryMessage(int query) const {
    return (query >= 1 && query <= 4) ? queryMessages_[static_cast<std::size_t>(query)]->text() : QString();
}

QLabel* Datashow::BoundLabel(int tab, std::string_view field) const {
    for (const Bound& b : bound_)
        if (b.tab == tab && b.field == field) return b.value;
    return nullptr;
}

QLabel* Datashow::TotalLabel(std::string_view caption) const {
    for (const auto& [c, label] : totals_)
        if (c == caption) return label;
    return nullptr;
}

void Datashow::done(int r) {
    ReleaseAll();
    QDialog::done(r);
}

// Every grid is detached and every record set closed, so nothing of the store stays held.
void Datashow::ReleaseAll() {
    if (released_) return;
    released_ = true;
    flagInvPrintData_ = flagDayTrade_ = flagDeclareData_ = false;
    for (QTableView* grid : grids_)
        if (grid) grid->setModel(nullptr);
    for (RecordSetModel* model : models_)
        if (model) model->Close();
}

void InstallQtChinese() {
    // Once per process; a host that loaded translations of its own keeps them, these only fill the gaps.
    static bool installed = false;
    if (installed || QCoreApplication::instance() == nullptr) return;
    installed = true;
    auto* qt = new QTranslator(QCoreApplication::instance());
    if (qt->load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"), QStringLiteral("_"),
                 QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QCoreApplication::installTranslator(qt);
    } else {
        delete qt;
    }
}

void ShowDataBrowser(StoreService& store, QWidget* parent) {
    InstallQtChinese();
    Datashow browser(store.Connection(), parent);
    browser.setWindowModality(Qt::ApplicationModal);
    browser.exec();
}

}  // namespace karvex
