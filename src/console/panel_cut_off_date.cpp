#include <QLineEdit>
#include <QPushButton>
#include <QGridLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "console/panels.h"
#include "control/control_module.h"

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
    // The date is shared with the two uploads: one left from there must not be written to the card by a
    // few Enters.
    if (command == CommandCode::WriteCard) {
        for (ConsoleField f : {F::CutOffYear, F::CutOffMonth, F::CutOffDay}) Field(f)->clear();
    }
    FocusField(F::CutOffYear);
}

void CutOffDatePanel::Send() {
    const DateInput cutOff = ReadDate(kCutOff);
    std::string date;
    // A date the issuer will refuse is refused there, without a question first.
    if (command_ == CommandCode::WriteCard && CheckDateInput(cutOff, date) == 0 &&
        !Module().Ui().AskToConfirm("申报数据写卡",
                                    "截止日期 " + date + " 的申报数据将写入税控卡，写卡后不能撤销。\n确定要写卡吗？")) {
        Host().ShowCaptionStatus(QString::fromUtf8("申报数据写卡已取消"));
        return;
    }
    ApplyResult(IssueCutOffDate(Context(), command_, cutOff), DateInputs(kCutOff));
}

}  // namespace karvex
