#include <QLineEdit>
#include <QPushButton>
#include <QGridLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "console/panels.h"

namespace karvex {

namespace {
using F = ConsoleField;
constexpr ConsoleDateFields kCutOff{F::CutOffYear, F::CutOffMonth, F::CutOffDay};

// clang-format off
constexpr FieldRow kRows[] = {
    {F::CutOffYear,  "Text3_20", 4, To(F::CutOffMonth),          To(F::CutOffMonth)},
    {F::CutOffMonth, "Text3_21", 2, To(F::CutOffDay),            To(F::CutOffDay)},
    {F::CutOffDay,   "Text3_22", 2, Press("CommandDeclareCmd"),  Press("CommandDeclareCmd")},
};
// clang-format on
}  // namespace

CutOffDatePanel::CutOffDatePanel(PanelHost& host, QWidget* parent)
    : ConsolePanelFrame(ConsolePanel::CutOffDate, host, {"申报数据写卡"}, kRows, parent) {
    auto* grid = new QGridLayout;
    AddDateRow(grid, 0, "截止日期", kCutOff, this);
    Rows()->addLayout(grid);
    AddOkRow("CommandDeclareCmd", [this] { Send(); });
}

void CutOffDatePanel::OpenFor(CommandCode command, const QString& title) {
    command_ = command;
    Title(0)->setText(title);
    FocusField(F::CutOffYear);
}

void CutOffDatePanel::Send() {
    ApplyResult(IssueCutOffDate(Context(), command_, ReadDate(kCutOff)), DateInputs(kCutOff));
}

}  // namespace karvex
