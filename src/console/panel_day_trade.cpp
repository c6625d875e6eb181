#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QGridLayout>
#include <QVBoxLayout>

#include "console/panels.h"

namespace karvex {

namespace {
using F = ConsoleField;
constexpr ConsoleDateFields kStart{F::DayTradeStartYear, F::DayTradeStartMonth, F::DayTradeStartDay};
constexpr ConsoleDateFields kEnd{F::DayTradeEndYear, F::DayTradeEndMonth, F::DayTradeEndDay};

// clang-format off
constexpr FieldRow kRows[] = {
    {F::DayTradeStartYear,  "Text3_11", 4, To(F::DayTradeStartMonth), To(F::DayTradeStartMonth)},
    {F::DayTradeStartMonth, "Text3_12", 2, To(F::DayTradeStartDay),   To(F::DayTradeStartDay)},
    {F::DayTradeStartDay,   "Text3_13", 2, To(F::DayTradeEndYear),    To(F::DayTradeEndYear)},
    {F::DayTradeEndYear,    "Text3_14", 4, To(F::DayTradeEndMonth),   To(F::DayTradeEndMonth)},
    {F::DayTradeEndMonth,   "Text3_15", 2, To(F::DayTradeEndDay),     To(F::DayTradeEndDay)},
    {F::DayTradeEndDay,     "Text3_16", 2, Press("CommandDTRad"),     Press("CommandDTRad")},
};
// clang-format on
}  // namespace

DayTradePanel::DayTradePanel(PanelHost& host, QWidget* parent)
    : ConsolePanelFrame(ConsolePanel::DayTrade, host, {"日交易数据上传"}, kRows, parent) {
    auto* grid = new QGridLayout;
    AddDateRow(grid, 0, "起始日期", kStart, this);
    AddDateRow(grid, 1, "终止日期", kEnd, this);
    Rows()->addLayout(grid);
    AddOkRow("CommandDTRad", [this] { Send(); });
}

void DayTradePanel::Opened() { FocusField(F::DayTradeStartYear); }

void DayTradePanel::Send() {
    ApplyResult(IssueDayTrade(Context(), ReadDate(kStart), ReadDate(kEnd)), DateRangeInputs(kStart, kEnd));
}

}  // namespace karvex
