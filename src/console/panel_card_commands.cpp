#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QButtonGroup>
#include <QComboBox>
#include <QHBoxLayout>
#include <QRadioButton>
#include <QVBoxLayout>

#include "console/panels.h"

namespace karvex {

namespace {
constexpr FieldRow kRows[] = {
    {ConsoleField::CardBytes, "Text3_31", 0, {}, Press("CommandSendStr")},
};
}  // namespace

CardCommandsPanel::CardCommandsPanel(PanelHost& host, QWidget* parent)
    : ConsolePanelFrame(ConsolePanel::CardCommands, host, {"发送字符串"}, kRows, parent) {
    auto* h1 = new QHBoxLayout;
    power_ = new QComboBox(this);
    power_->setObjectName("Combo1");
    power_->addItems({QString::fromUtf8("IC卡上电"), QString::fromUtf8("IC卡下电")});
    power_->setCurrentIndex(-1);
    h1->addWidget(power_);
    h1->addWidget(AddButton("CommandSendCom", "发送", this, [this] { SendPower(); }));
    Rows()->addLayout(h1);
    auto* group = new QButtonGroup(this);
    auto* h2 = new QHBoxLayout;
    h2->addWidget(AddChoice(ConsoleChoice::CardDecimal, "十进制", this, group));
    h2->addWidget(AddChoice(ConsoleChoice::CardHexadecimal, "十六进制", this, group));
    Choice(ConsoleChoice::CardHexadecimal)->setChecked(true);
    Rows()->addLayout(h2);
    auto* h3 = new QHBoxLayout;
    h3->addWidget(AddField(ConsoleField::CardBytes, this));
    h3->addWidget(AddButton("CommandSendStr", "发送", this, [this] { SendBytes(); }));
    Rows()->addLayout(h3);
}

void CardCommandsPanel::SendPower() { Host().ShowIssueOutcome(IssueCardPower(Context(), power_->currentIndex())); }

void CardCommandsPanel::SendBytes() {
    const bool decimal = Choice(ConsoleChoice::CardDecimal)->isChecked();
    Host().ShowIssueOutcome(IssueSendStr(Context(), FieldText(ConsoleField::CardBytes),
                                         decimal ? ByteListKind::Decimal : ByteListKind::Hexadecimal));
}

}  // namespace karvex
