#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QButtonGroup>
#include <QHBoxLayout>
#include <QRadioButton>
#include <QVBoxLayout>

#include "console/panels.h"

namespace karvex {

namespace {
constexpr FieldRow kRows[] = {
    {ConsoleField::SigningData, "Text3_30", 0, {}, Press("CommandDataIph")},
};
}  // namespace

SigningPanel::SigningPanel(PanelHost& host, QWidget* parent)
    : ConsolePanelFrame(ConsolePanel::Signing, host, {"数据签名"}, kRows, parent) {
    Rows()->addWidget(Caption("输入签名数据", this));
    Rows()->addWidget(AddField(ConsoleField::SigningData, this));
    auto* group = new QButtonGroup(this);
    auto* h = new QHBoxLayout;
    h->addWidget(AddChoice(ConsoleChoice::SigningHexadecimal, "十六进制", this, group));
    h->addWidget(AddChoice(ConsoleChoice::SigningDecimal, "十进制", this, group));
    Choice(ConsoleChoice::SigningHexadecimal)->setChecked(true);
    Rows()->addLayout(h);
    AddOkRow(
        "CommandDataIph", [this] { Send(); }, "发送");
}

void SigningPanel::Opened() {
    Choice(ConsoleChoice::SigningHexadecimal)->setChecked(true);
    FocusField(ConsoleField::SigningData);
}

void SigningPanel::Send() {
    const bool decimal = Choice(ConsoleChoice::SigningDecimal)->isChecked();
    Host().ShowIssueOutcome(IssueIdiograph(Context(), FieldText(ConsoleField::SigningData),
                                           decimal ? ByteListKind::Decimal : ByteListKind::Hexadecimal));
}

}  // namespace karvex
