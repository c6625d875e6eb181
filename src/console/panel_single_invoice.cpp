#include <QLineEdit>
#include <QPushButton>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "console/panels.h"
#include "control/control_module.h"
#include "convert/conversions.h"

namespace karvex {

namespace {
constexpr FieldRow kRows[] = {
    {ConsoleField::InvoiceNumber, "Text3_8", 10, Press("CommandSinInv"), Press("CommandSinInv")},
};
}  // namespace

SingleInvoicePanel::SingleInvoicePanel(PanelHost& host, QWidget* parent)
    : ConsolePanelFrame(ConsolePanel::SingleInvoice, host, {"单卷发票使用", "汇总数据上传"}, kRows, parent) {
    auto* grid = new QGridLayout;
    AddFieldRow(grid, 0, "发票号码", ConsoleField::InvoiceNumber, this);
    Rows()->addLayout(grid);
    AddOkRow("CommandSinInv", [this] { Send(); });
}

void SingleInvoicePanel::OpenFor(CommandCode command) {
    command_ = command;
    const bool voiding = command == CommandCode::InvalidateInvoice;
    Title(0)->setText(QString::fromUtf8(voiding ? "    废票" : "单卷发票使用"));
    Title(1)->setVisible(!voiding);
    // The field is shared with the roll summary: a number left from there must not be voided by one Enter.
    if (voiding) Field(ConsoleField::InvoiceNumber)->clear();
    FocusField(ConsoleField::InvoiceNumber);
}

void SingleInvoicePanel::Send() {
    if (command_ == CommandCode::InvalidateInvoice) {
        // A number the issuer will refuse is refused there, without a question first; the question names
        // the number as it will be sent.
        std::string number;
        if (PadInvoiceNumber(FieldText(ConsoleField::InvoiceNumber), number) == 0 &&
            !Module().Ui().AskToConfirm("废票",
                                        "发票号码 " + number + " 将被作废，作废后不能恢复。\n确定要作废这张发票吗？")) {
            Host().ShowCaptionStatus(QString::fromUtf8("废票已取消"));
            return;
        }
    }
    Host().ShowIssueOutcome(IssueSingleInvoice(Context(), command_, FieldText(ConsoleField::InvoiceNumber)));
}

}  // namespace karvex
