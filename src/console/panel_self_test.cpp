#include <QLineEdit>
#include <QPushButton>
#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "console/panels.h"

namespace karvex {

namespace {
constexpr const char* kNotChosen = "未选择";
constexpr const char* kWaitingCheck = "等待检查";

// Captions of the boxes, in SelfTestBox order.
constexpr const char* kCaptions[kSelfTestBoxCount] = {"CPU自检..................", "代码自检.................",
                                                      "RAM自检..................", "存储器自检...............",
                                                      "指示灯检查..............."};
}  // namespace

SelfTestPanel::SelfTestPanel(PanelHost& host, QWidget* parent)
    : ConsolePanelFrame(ConsolePanel::SelfTest, host, {"税控器自检"}, {}, parent) {
    auto* grid = new QGridLayout;
    for (std::size_t i = 0; i < kSelfTestBoxCount; ++i) {
        auto* c = new QCheckBox(QString::fromUtf8(kCaptions[i]), this);
        c->setObjectName(QString("Check2_%1").arg(i));
        checks_[i] = c;
        auto* l = new QLabel(QString::fromUtf8(kNotChosen), this);
        l->setObjectName(QString("Label3_%1").arg(32 + i));
        verdicts_[i] = l;
        grid->addWidget(c, static_cast<int>(i), 0);
        grid->addWidget(l, static_cast<int>(i), 1);
        connect(c, &QCheckBox::clicked, this,
                [c, l] { l->setText(QString::fromUtf8(c->isChecked() ? kWaitingCheck : kNotChosen)); });
    }
    Rows()->addLayout(grid);
    AddOkRow("CommandCheckselfSend", [this] { Send(); });
}

void SelfTestPanel::Opened() {
    for (std::size_t i = 0; i < kSelfTestBoxCount; ++i) {
        checks_[i]->setChecked(false);
        verdicts_[i]->setText(QString::fromUtf8(kNotChosen));
    }
}

QCheckBox* SelfTestPanel::Check(SelfTestBox box) const {
    const auto i = static_cast<std::size_t>(box);
    return i < kSelfTestBoxCount ? checks_[i] : nullptr;
}

QLabel* SelfTestPanel::Verdict(SelfTestBox box) const {
    const auto i = static_cast<std::size_t>(box);
    return i < kSelfTestBoxCount ? verdicts_[i] : nullptr;
}

void SelfTestPanel::ShowVerdict(SelfTestBox box, const std::string& text) {
    if (QLabel* l = Verdict(box)) l->setText(QString::fromStdString(text));
}

void SelfTestPanel::Send() {
    std::array<bool, kSelfTestBoxCount> checked{};
    for (std::size_t i = 0; i < kSelfTestBoxCount; ++i) checked[i] = checks_[i]->isChecked();
    Host().ShowIssueOutcome(IssueCheckSelf(Context(), std::span<const bool, kSelfTestBoxCount>(checked)));
}

}  // namespace karvex
