#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QButtonGroup>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QRadioButton>
#include <QVBoxLayout>

#include "console/panels.h"

namespace karvex {

namespace {
using F = ConsoleField;
constexpr ConsoleDateFields kStart{F::PrintStartYear, F::PrintStartMonth, F::PrintStartDay};
constexpr ConsoleDateFields kEnd{F::PrintEndYear, F::PrintEndMonth, F::PrintEndDay};

// clang-format off
constexpr FieldRow kRows[] = {
    {F::PrintStartNumber, "Text3_0", 10, To(F::PrintEndNumber),  To(F::PrintEndNumber)},
    {F::PrintEndNumber,   "Text3_1", 10, Press("CommandInvoice"), Press("CommandInvoice")},
    {F::PrintStartYear,   "Text3_2", 4,  To(F::PrintStartMonth), To(F::PrintStartMonth)},
    {F::PrintStartMonth,  "Text3_3", 2,  To(F::PrintStartDay),   To(F::PrintStartDay)},
    {F::PrintStartDay,    "Text3_4", 2,  To(F::PrintEndYear),    To(F::PrintEndYear)},
    {F::PrintEndYear,     "Text3_5", 4,  To(F::PrintEndMonth),   To(F::PrintEndMonth)},
    {F::PrintEndMonth,    "Text3_6", 2,  To(F::PrintEndDay),     To(F::PrintEndDay)},
    {F::PrintEndDay,      "Text3_7", 2,  Press("CommandInvoice"), Press("CommandInvoice")},
};
// clang-format on
}  // namespace

PrintDataPanel::PrintDataPanel(PanelHost& host, QWidget* parent)
    : ConsolePanelFrame(ConsolePanel::PrintData, host, {"获取", "发票打印数据"}, kRows, parent) {
    auto* group = new QButtonGroup(this);
    auto* h = new QHBoxLayout;
    h->addWidget(AddChoice(ConsoleChoice::PrintByNumber, "发票号", this, group));
    h->addWidget(AddChoice(ConsoleChoice::PrintByDates, "时间段", this, group));
    Rows()->addLayout(h);
    auto* grid = new QGridLayout;
    AddFieldRow(grid, 0, "发票起始号", F::PrintStartNumber, this, &numberCaptions_);
    AddFieldRow(grid, 1, "发票终止号", F::PrintEndNumber, this, &numberCaptions_);
    AddDateRow(grid, 2, "起始日期", kStart, this, &dateCaptions_);
    AddDateRow(grid, 3, "终止日期", kEnd, this, &dateCaptions_);
    Rows()->addLayout(grid);
    AddOkRow("CommandInvoice", [this] { Send(); });
    for (ConsoleChoice c : {ConsoleChoice::PrintByNumber, ConsoleChoice::PrintByDates}) {
        connect(Choice(c), &QRadioButton::clicked, this, [this] { RangeKindClicked(); });
    }
}

void PrintDataPanel::Opened() {
    Choice(ConsoleChoice::PrintByNumber)->setChecked(true);
    RangeKindClicked();
    FocusField(F::PrintStartNumber);
}

void PrintDataPanel::RangeKindClicked() {
    EnableRangeHalf(Choice(ConsoleChoice::PrintByNumber)->isChecked(),
                    {F::PrintStartNumber, F::PrintEndNumber, kStart, kEnd, numberCaptions_, dateCaptions_});
}

void PrintDataPanel::Send() {
    const RangeInput in{FieldText(F::PrintStartNumber), FieldText(F::PrintEndNumber), ReadDate(kStart), ReadDate(kEnd)};
    ApplyResult(IssuePrintData(Context(), Choice(ConsoleChoice::PrintByNumber)->isChecked(), in),
                RangeInputs(F::PrintStartNumber, F::PrintEndNumber, kStart, kEnd));
}

}  // namespace karvex
