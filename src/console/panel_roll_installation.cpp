#include <QLineEdit>
#include <QPushButton>
#include <QFontDatabase>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QStyle>
#include <QVBoxLayout>

#include <optional>

#include "console/panels.h"
#include "control/control_module.h"
#include "convert/conversions.h"
#include "link/result_codes.h"
#include "store/store_service.h"

namespace karvex {

RollInstallationPanel::RollInstallationPanel(PanelHost& host, QWidget* parent)
    : ConsolePanelFrame(ConsolePanel::RollInstallation, host, {"安装发票"}, {}, parent) {
    auto* box = new QGroupBox(QString::fromUtf8("发票选择"), this);
    auto* bv = new QVBoxLayout(box);
    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    rolls_ = new QListWidget(box);
    rolls_->setObjectName("List1");
    rolls_->setFont(fixed);
    // The headings stand over the columns of the rows below (4, 22 and 12 bytes wide). The rows hold
    // digits only, one cell of the fixed font each; the Chinese headings are not as wide as two cells,
    // so each heading gets its column's width rather than being padded with blanks.
    auto* heading = new QWidget(box);
    heading->setObjectName("InstallHeadings");
    auto* hh = new QHBoxLayout(heading);
    hh->setSpacing(0);
    const int indent =
        rolls_->frameWidth() + rolls_->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, rolls_) + 1;
    hh->setContentsMargins(indent, 0, 0, 0);
    const QFontMetrics cells(fixed);
    const std::pair<const char*, int> columns[] = {{"序号", 4}, {"发票代码", 22}, {"起始号", 12}, {"终止号", 0}};
    int column = 0;
    int cellsBefore = 0;
    for (const auto& [text, bytes] : columns) {
        auto* l = new QLabel(QString::fromUtf8(text), heading);
        l->setObjectName(QString("InstallHeading%1").arg(column++));
        // Measured from the row's start: a cell need not be a whole number of pixels wide, and widths
        // rounded column by column would drift off the row by a pixel.
        if (bytes > 0) {
            l->setFixedWidth(cells.horizontalAdvance(QString(cellsBefore + bytes, QChar(' '))) -
                             cells.horizontalAdvance(QString(cellsBefore, QChar(' '))));
        }
        cellsBefore += bytes;
        hh->addWidget(l);
    }
    hh->addStretch();
    bv->addWidget(heading);
    bv->addWidget(rolls_);
    Rows()->addWidget(box);
    AddOkRow("CommandInsInv", [this] { Send(); });
}

int RollInstallationPanel::QueryRolls() {
    Host().ClosePanels();
    // The rolls not yet in use are dropped; the processor's answer writes them again as it knows them.
    if (const int rc = Host().Store().DropUnusedRolls(); rc != result::kSuccess) return rc;
    const IssueResult r = IssueInstallRollQuery(Context());
    Host().ShowIssueOutcome(r);
    return r.sent ? result::kSuccess : r.code;
}

void RollInstallationPanel::FillList() {
    rolls_->clear();
    std::vector<StoreService::Roll> rolls;
    if (Host().Store().UnusedRolls(rolls) != result::kSuccess || rolls.empty()) {
        Module().Ui().ShowMessage("安装发票", "选择数据库中的数据错误");
        return;
    }
    int number = 1;
    for (const StoreService::Roll& roll : rolls) {
        std::string cell, row;
        FormatTextField(std::to_string(number++), 4, ' ', kPadBehind, kKeepLong, cell);
        row += cell;
        FormatTextField(roll.code, 22, ' ', kPadBehind, kKeepLong, cell);
        row += cell;
        FormatTextField(roll.first, 12, ' ', kPadBehind, kKeepLong, cell);
        row += cell + roll.last;
        rolls_->addItem(QString::fromStdString(row));
    }
    rolls_->setCurrentRow(0);
}

void RollInstallationPanel::Send() {
    std::optional<std::string> row;
    if (QListWidgetItem* item = rolls_->currentItem(); item && item->isSelected()) row = item->text().toStdString();
    Host().ShowIssueOutcome(IssueInstallInv(Context(), row));
}

}  // namespace karvex
