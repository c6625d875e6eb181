#include <QLineEdit>
#include <QPushButton>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QPointer>
#include <QVBoxLayout>

#include "console/panels.h"
#include "control/control_module.h"
#include "control/result_box.h"
#include "store/store_codes.h"
#include "store/store_service.h"

namespace karvex {

namespace {
constexpr const char* kNotChosen = "未选择";
constexpr const char* kWaitingClear = "等待清空";
}  // namespace

const std::array<StoreClearingPanel::ClearBox, StoreClearingPanel::kBoxCount> StoreClearingPanel::kBoxes = {{
    {"用户信息.....", StoreTableFlags::kUserInformation},
    {"税目信息.....", StoreTableFlags::kTaxInformation},
    // The bit beside the declaration table has no table of its own.
    {"申报数据.....", StoreTableFlags::kDeclareData | 0x4000},
    {"数据签名.....", StoreTableFlags::kIdiograph | StoreTableFlags::kIdiographShow},
    // As above, 0x1000 has no table.
    {"日交易数据...", StoreTableFlags::kDayTrade | 0x1000},
    {"单卷汇总数据.", StoreTableFlags::kInvUseSum},
    {"发票打印数据.", StoreTableFlags::kInvPrintData},
    {"发票库......", StoreTableFlags::kInvoiceNumber},
    {"开票数据....", StoreTableFlags::kMakeInvoice},
    {"监视命令....", StoreTableFlags::kWatchCommand},
    {"监视接收....", StoreTableFlags::kWatchAcceptData},
    {"监视错误....", StoreTableFlags::kWatchError},
    {"出厂数据....", StoreTableFlags::kMachineData},
}};

std::string StoreClearingPanel::Captions(std::uint32_t tables) {
    std::string out;
    for (const ClearBox& box : kBoxes) {
        if ((box.tables & tables) == 0) continue;
        std::string caption = box.caption;
        // The captions are padded with dots to line up on the panel.
        while (!caption.empty() && caption.back() == '.') caption.pop_back();
        out += (out.empty() ? "" : "、") + caption;
    }
    return out;
}

StoreClearingPanel::StoreClearingPanel(PanelHost& host, QWidget* parent)
    : ConsolePanelFrame(ConsolePanel::StoreClearing, host, {"清空数据库"}, {}, parent) {
    auto* box = new QGroupBox(QString::fromUtf8("选择数据库"), this);
    auto* grid = new QGridLayout(box);
    // Two columns of seven rows: fourteen rows in one column would not fit a small screen.
    constexpr int kRows = 7;
    for (std::size_t i = 0; i < kBoxCount; ++i) {
        const int n = static_cast<int>(i);
        auto* c = new QCheckBox(QString::fromUtf8(kBoxes[i].caption), box);
        c->setObjectName(QString("Check3_%1").arg(i));
        checks_[i] = c;
        grid->addWidget(c, n % kRows, (n / kRows) * 2);
        auto* l = new QLabel(QString::fromUtf8(kNotChosen), box);
        l->setObjectName(QString("Label3_%1").arg(37 + i));
        states_[i] = l;
        grid->addWidget(l, n % kRows, (n / kRows) * 2 + 1);
        connect(c, &QCheckBox::clicked, this,
                [c, l] { l->setText(QString::fromUtf8(c->isChecked() ? kWaitingClear : kNotChosen)); });
    }
    all_ = new QCheckBox(QString::fromUtf8("全部选择"), box);
    all_->setObjectName("Check3_13");
    constexpr int kAll = static_cast<int>(kBoxCount);
    grid->addWidget(all_, kAll % kRows, (kAll / kRows) * 2);
    connect(all_, &QCheckBox::clicked, this, [this] {
        const bool all = all_->isChecked();
        for (std::size_t i = 0; i < kBoxCount; ++i) {
            checks_[i]->setChecked(all);
            states_[i]->setText(QString::fromUtf8(all ? kWaitingClear : kNotChosen));
        }
    });
    Rows()->addWidget(box);
    AddOkRow("CommandClearTab", [this] { Send(); });
    FollowClearing();
}

void StoreClearingPanel::Opened() {
    for (std::size_t i = 0; i < kBoxCount; ++i) {
        checks_[i]->setChecked(false);
        states_[i]->setText(QString::fromUtf8(kNotChosen));
    }
    all_->setChecked(false);
}

QCheckBox* StoreClearingPanel::Check(std::size_t box) const { return box < kBoxCount ? checks_[box] : nullptr; }
QLabel* StoreClearingPanel::State(std::size_t box) const { return box < kBoxCount ? states_[box] : nullptr; }

std::uint32_t StoreClearingPanel::Flags() const {
    std::uint32_t flags = 0;
    for (std::size_t i = 0; i < kBoxCount; ++i) {
        if (checks_[i]->isChecked()) flags |= kBoxes[i].tables;
    }
    return flags;
}

void StoreClearingPanel::Send() {
    const std::uint32_t flags = Flags();
    UserInterface& ui = Module().Ui();
    if (flags == 0) {
        ui.ShowMessage("税控器", "请选择需要清空的数据库");
        return;
    }
    if (!ui.AskToConfirm("收款机", "清空选择的数据库？\n" + Captions(flags) + "\n清空后不能恢复。")) return;
    FollowClearing();
    const int r = Host().Store().EmptyTables(flags);
    if (r != 0) {
        // Nothing was emptied (the clearing is all or nothing); saying "done" would be a lie.
        ShowResultBox(ui, r, "清空数据库");
        return;
    }
    ui.ShowMessage("收款机", "数据库全部清空完成");
    Host().ClosePanels();
}

void StoreClearingPanel::FollowClearing() {
    QPointer<StoreClearingPanel> self(this);
    Host().Store().SetClearProgress([self](std::uint32_t table, const std::string& caption) {
        if (!self) return;
        // A box stands for one or two tables; its state follows either.
        for (std::size_t box = 0; box < kBoxCount; ++box) {
            if ((kBoxes[box].tables & table) != 0) self->states_[box]->setText(QString::fromStdString(caption));
        }
    });
}

}  // namespace karvex
