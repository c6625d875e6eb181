#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QButtonGroup>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QRadioButton>
#include <QVBoxLayout>

#include "console/panels.h"

namespace karvex {

namespace {
using F = ConsoleField;
constexpr ConsoleDateFields kStart{F::CheckStartYear, F::CheckStartMonth, F::CheckStartDay};
constexpr ConsoleDateFields kEnd{F::CheckEndYear, F::CheckEndMonth, F::CheckEndDay};

// clang-format off
constexpr FieldRow kRows[] = {
    {F::CheckStartNumber, "Text3_26", 10, To(F::CheckEndNumber),         To(F::CheckEndNumber)},
    {F::CheckEndNumber,   "Text3_27", 10, Press("CommandWriteCheckCard"), Press("CommandWriteCheckCard")},
    {F::CheckStartYear,   "Text3_32", 4,  To(F::CheckStartMonth),        To(F::CheckStartMonth)},
    {F::CheckStartMonth,  "Text3_33", 2,  To(F::CheckStartDay),          To(F::CheckStartDay)},
    {F::CheckStartDay,    "Text3_34", 2,  To(F::CheckEndYear),           To(F::CheckEndYear)},
    {F::CheckEndYear,     "Text3_35", 4,  To(F::CheckEndMonth),          To(F::CheckEndMonth)},
    {F::CheckEndMonth,    "Text3_36", 2,  To(F::CheckEndDay),            To(F::CheckEndDay)},
    {F::CheckEndDay,      "Text3_37", 2,  Press("CommandWriteCheckCard"), Press("CommandWriteCheckCard")},
};
// clang-format on
}  // namespace

CheckCardPanel::CheckCardPanel(PanelHost& host, QWidget* parent)
    : ConsolePanelFrame(ConsolePanel::CheckCard, host, {"核查数据写卡"}, kRows, parent) {
    auto* kinds = new QGroupBox(QString::fromUtf8("命令选择"), this);
    auto* kh = new QHBoxLayout(kinds);
    auto* kindGroup = new QButtonGroup(this);
    kh->addWidget(AddChoice(ConsoleChoice::CheckDetail, "明细核查", kinds, kindGroup));
    kh->addWidget(AddChoice(ConsoleChoice::CheckDeclaration, "申报核查", kinds, kindGroup));
    kh->addWidget(AddChoice(ConsoleChoice::CheckDayTrade, "日交易核查", kinds, kindGroup));
    Rows()->addWidget(kinds);
    auto* params = new QGroupBox(QString::fromUtf8("命令参数"), this);
    auto* pv = new QVBoxLayout(params);
    auto* rangeGroup = new QButtonGroup(this);
    auto* ph = new QHBoxLayout;
    ph->addWidget(AddChoice(ConsoleChoice::CheckByNumber, "发票号", params, rangeGroup));
    ph->addWidget(AddChoice(ConsoleChoice::CheckByDates, "时间段", params, rangeGroup));
    pv->addLayout(ph);
    auto* grid = new QGridLayout;
    AddFieldRow(grid, 0, "发票起始号", F::CheckStartNumber, params, &numberCaptions_);
    AddFieldRow(grid, 1, "发票终止号", F::CheckEndNumber, params, &numberCaptions_);
    AddDateRow(grid, 2, "起始日期", kStart, params, &dateCaptions_);
    AddDateRow(grid, 3, "终止日期", kEnd, params, &dateCaptions_);
    pv->addLayout(grid);
    Rows()->addWidget(params);
    AddOkRow("CommandWriteCheckCard", [this] { Send(); });
    for (ConsoleChoice c :
         {ConsoleChoice::CheckDetail, ConsoleChoice::CheckDeclaration, ConsoleChoice::CheckDayTrade}) {
        connect(Choice(c), &QRadioButton::clicked, this, [this] { KindClicked(); });
    }
    for (ConsoleChoice c : {ConsoleChoice::CheckByNumber, ConsoleChoice::CheckByDates}) {
        connect(Choice(c), &QRadioButton::clicked, this, [this] { RangeKindClicked(); });
    }
}

void CheckCardPanel::Opened() {
    Choice(ConsoleChoice::CheckDetail)->setChecked(true);
    KindClicked();
    Choice(ConsoleChoice::CheckByDates)->setChecked(true);
    RangeKindClicked();
    FocusField(F::CheckStartYear);
}

void CheckCardPanel::RangeKindClicked() {
    EnableRangeHalf(Choice(ConsoleChoice::CheckByNumber)->isChecked(),
                    {F::CheckStartNumber, F::CheckEndNumber, kStart, kEnd, numberCaptions_, dateCaptions_});
}

void CheckCardPanel::KindClicked() {
    if (Choice(ConsoleChoice::CheckDetail)->isChecked()) {
        Choice(ConsoleChoice::CheckByNumber)->setEnabled(true);
        Choice(ConsoleChoice::CheckByDates)->setEnabled(true);
        return;
    }
    // Declaration and day-trade checks only go by dates.
    Choice(ConsoleChoice::CheckByDates)->setChecked(true);
    Choice(ConsoleChoice::CheckByNumber)->setEnabled(false);
    RangeKindClicked();
}

void CheckCardPanel::Send() {
    CheckCardKind kind = CheckCardKind::Detail;
    if (Choice(ConsoleChoice::CheckDeclaration)->isChecked()) kind = CheckCardKind::Declare;
    if (Choice(ConsoleChoice::CheckDayTrade)->isChecked()) kind = CheckCardKind::DayTrade;
    const RangeInput in{FieldText(F::CheckStartNumber), FieldText(F::CheckEndNumber), ReadDate(kStart), ReadDate(kEnd)};
    ApplyResult(IssueCheckCard(Context(), kind, Choice(ConsoleChoice::CheckByNumber)->isChecked(), in),
                RangeInputs(F::CheckStartNumber, F::CheckEndNumber, kStart, kEnd));
}

}  // namespace karvex
