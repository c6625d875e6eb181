// The panels that read or write the store: serial settings (ComSet), roll installation (InvoiceNumber)
// and clearing tables.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QStyle>

#include "console_fixture.h"
#include "store/store_service.h"
#include "store/record_set.h"
#include "store/store_access.h"

namespace karvex::testing {
namespace {

class ConsoleStorePanels : public ConsoleFixture {
protected:
    StoreAccess& Store() {
        EXPECT_NE(M().Store().Access(), nullptr);
        return *M().Store().Access();
    }
    void SetComSet(int port, int bite) {
        RecordSet rs;
        ASSERT_EQ(rs.Open(Store().Connection(), Selection::Of("ComSet")), 0);
        if (rs.Eof()) {
            ASSERT_EQ(rs.AddNew(), 0);
        }
        ASSERT_EQ(rs.SetInteger("CommPort", port), 0);
        ASSERT_EQ(rs.SetInteger("Bite", bite), 0);
        ASSERT_EQ(rs.Update(), 0);
    }
    std::pair<std::int64_t, std::int64_t> ComSet() {
        RecordSet rs;
        EXPECT_EQ(rs.Open(Store().Connection(), Selection::Of("ComSet")), 0);
        std::int64_t p = -1, b = -1;
        if (rs.MoveFirst() == 0) {
            rs.GetInteger("CommPort", p);
            rs.GetInteger("Bite", b);
        }
        return {p, b};
    }
    std::int64_t Rows(const char* table) {
        RecordSet rs;
        std::int64_t n = -1;
        if (rs.Open(Store().Connection(), Selection::Of(table)) == 0) rs.RecordCount(n);
        return n;
    }
    void AddRow(const char* table, const char* field, const char* value) {
        RecordSet rs;
        ASSERT_EQ(rs.Open(Store().Connection(), Selection::Of(table)), 0);
        ASSERT_EQ(rs.AddNew(), 0);
        ASSERT_EQ(rs.SetText(field, value), 0);
        ASSERT_EQ(rs.Update(), 0);
    }
};

TEST_F(ConsoleStorePanels, SerialSettingsPanelSelectsTheStoredPortAndSpeed) {
    SetComSet(3, 2);
    Trigger("CommSetting");
    EXPECT_EQ(W().VisiblePanel(), ConsolePanel::SerialSettings);
    EXPECT_EQ(W().SerialPortList()->currentText(), QString("Com3"));
    EXPECT_EQ(W().BaudRateList()->currentText(), QString("38400"));
    EXPECT_EQ(W().PrinterPortList()->currentText(), QString("LPT1"));

    SetComSet(0, 0);
    Trigger("CommSetting");
    EXPECT_EQ(W().SerialPortList()->currentText(), QString("Com1"));
    EXPECT_EQ(W().BaudRateList()->currentText(), QString("9600"));
}

TEST_F(ConsoleStorePanels, SerialSettingsOkOpensThePortAndWritesComSet) {
    SetComSet(0, 0);
    Trigger("CommSetting");
    W().BaudRateList()->setCurrentIndex(1);
    Click("CommandParaSet");
    EXPECT_EQ(M().GetCommandResult(), 0);
    EXPECT_EQ(ComSet(), std::make_pair(std::int64_t{1}, std::int64_t{2}));
    ASSERT_EQ(ui_->messages.size(), 1u);
    EXPECT_EQ(ui_->messages[0].title, "参数设置");
    EXPECT_EQ(ui_->messages[0].text, "系统参数设置成功");
    EXPECT_EQ(W().VisiblePanel(), ConsolePanel::None);
    EXPECT_TRUE(M().PortOpen());
}

TEST_F(ConsoleStorePanels, SerialSettingsFailureLeavesComSetAndSaysSo) {
    SetComSet(1, 1);
    Trigger("CommSetting");
    W().SerialPortList()->setCurrentIndex(1);  // Com2: no such device
    Click("CommandParaSet");
    EXPECT_NE(M().GetCommandResult(), 0);
    EXPECT_EQ(ComSet(), std::make_pair(std::int64_t{1}, std::int64_t{1}));
    ASSERT_FALSE(ui_->messages.empty());
    EXPECT_EQ(ui_->messages.back().title, "参数设置");
    EXPECT_EQ(ui_->messages.back().text, "串口参数设置失败");
    EXPECT_EQ(W().VisiblePanel(), ConsolePanel::SerialSettings);
}

TEST_F(ConsoleStorePanels, InstallPanelListsTheDispensedRollsAndInstallsOnYes) {
    const auto rolls = sim_->state().rolls;
    const sim::Roll* spare = nullptr;
    for (const auto& r : rolls) {
        if (r.state == sim::RollState::Dispensed) spare = &r;
    }
    ASSERT_NE(spare, nullptr);

    ASSERT_EQ(ShowInstallPanel(M(), 0, 0), 0);
    EXPECT_TRUE(W().isVisible());
    EXPECT_EQ(W().VisiblePanel(), ConsolePanel::RollInstallation);
    EXPECT_EQ(WithoutCrc(Requests().at(0)), "1B 10 32 00 05");
    ASSERT_EQ(W().RollList()->count(), 1);
    EXPECT_EQ(W().RollList()->currentRow(), 0);
    char first[16], last[16];
    std::snprintf(first, sizeof first, "%010u", spare->first);
    std::snprintf(last, sizeof last, "%010u", spare->last);
    const std::string row = "1   " + spare->code + "  " + first + "  " + last;
    EXPECT_EQ(W().RollList()->item(0)->text().toStdString(), row);
    // The headings stand over their columns: the Chinese headings are not two digit cells wide, so
    // padding them with blanks would drift them off their columns.
    QCoreApplication::processEvents();
    const QString text = W().RollList()->item(0)->text();
    const QFontMetrics cells(W().RollList()->font());
    QListWidget* list = W().RollList();
    const int textStart =
        list->frameWidth() + list->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, list) + 1;
    const int columns[] = {0, 4, 26, 38};
    const char* headings[] = {"序号", "发票代码", "起始号", "终止号"};
    for (int k = 0; k < 4; ++k) {
        auto* heading = W().findChild<QLabel*>(QString("InstallHeading%1").arg(k));
        ASSERT_NE(heading, nullptr) << k;
        EXPECT_EQ(heading->text(), QString(headings[k]));
        EXPECT_EQ(heading->mapTo(&W(), QPoint(0, 0)).x() - W().RollList()->mapTo(&W(), QPoint(0, 0)).x(),
                  textStart + cells.horizontalAdvance(text.left(columns[k])))
            << k;
    }

    // No: nothing sent, the panel stays.
    const std::size_t before = Requests().size();
    Click("CommandInsInv");
    ASSERT_EQ(ui_->prompts.size(), 1u);
    EXPECT_EQ(ui_->prompts[0].title, "选择安装发票");
    EXPECT_EQ(ui_->prompts[0].text,
              "发票代码：" + spare->code + "\n发票卷起始号：" + first + "\n发票卷终止号：" + last + "\n");
    EXPECT_EQ(Requests().size(), before);

    // Yes: the roll is installed and the console goes away.
    ui_->yesNoReplies.push_back(true);
    ExpectUnderWay();
    Click("CommandInsInv");
    EXPECT_EQ(AwaitAnswer(), 0);
    const std::string sent = WithoutCrc(LastRequest());
    EXPECT_EQ(sent.substr(0, 14), "1B 10 B4 00 13");
    EXPECT_EQ(sent.size(), std::string("1B 10 B4 00 13").size() + 14 * 3);
    EXPECT_FALSE(W().isVisible());
    EXPECT_EQ(W().VisiblePanel(), ConsolePanel::None);
    EXPECT_EQ(sim_->state().rolls.size(), rolls.size());
    bool installed = false;
    for (const auto& r : sim_->state().rolls) {
        if (r.code == spare->code && r.first == spare->first) installed = r.state == sim::RollState::Installed;
    }
    EXPECT_TRUE(installed);
}

TEST_F(ConsoleStorePanels, InstallPanelWithoutSelectionAsksForARoll) {
    W().ShowPanel(ConsolePanel::RollInstallation);
    W().RollList()->clear();
    Click("CommandInsInv");
    ASSERT_EQ(ui_->messages.size(), 1u);
    EXPECT_EQ(ui_->messages[0].title, "安装发票");
    EXPECT_EQ(ui_->messages[0].text, "请选择发票卷");
    EXPECT_TRUE(Requests().empty());
}

TEST_F(ConsoleStorePanels, EmptyRollSelectionShowsTheStoreMessage) {
    W().FillInstallList();
    EXPECT_EQ(W().RollList()->count(), 0);
    ASSERT_EQ(ui_->messages.size(), 1u);
    EXPECT_EQ(ui_->messages[0].title, "安装发票");
    EXPECT_EQ(ui_->messages[0].text, "选择数据库中的数据错误");
}

TEST_F(ConsoleStorePanels, InstallFlowWithoutSpareRollsReportsTheProcessorCode) {
    sim_->update_state([](sim::MachineState& s) {
        for (auto& r : s.rolls) {
            if (r.state == sim::RollState::Dispensed) r.state = sim::RollState::Installed;
        }
    });
    const int r = ShowInstallPanel(M(), 0, 0);
    EXPECT_NE(r, 0);
    EXPECT_EQ(M().GetCommandResult(), r);
    EXPECT_FALSE(W().isVisible());
}

TEST_F(ConsoleStorePanels, SelectAllMarksEveryBoxAndClearsTheWholeFlagSet) {
    Trigger("CommandClearAccess");
    EXPECT_EQ(W().VisiblePanel(), ConsolePanel::StoreClearing);
    EXPECT_EQ(W().ClearAllCheck()->text(), QString("全部选择"));
    EXPECT_EQ(W().ClearCheck(12)->text(), QString("出厂数据...."));
    AddRow("MachineData", "机器编号", "1234567890123456");
    AddRow("UserInformation", "纳税人名称", "X");

    QTest::mouseClick(W().ClearAllCheck(), Qt::LeftButton);
    for (int i = 0; i < 13; ++i) {
        EXPECT_TRUE(W().ClearCheck(i)->isChecked()) << i;
        EXPECT_EQ(W().ClearState(i)->text(), QString("等待清空")) << i;
    }
    EXPECT_EQ(W().ClearFlags(), 0x3FF1F8u);

    // No: nothing cleared.
    Click("CommandClearTab");
    ASSERT_EQ(ui_->confirms.size(), 1u);
    EXPECT_EQ(ui_->confirms[0].title, "收款机");
    EXPECT_EQ(ui_->confirms[0].text.rfind("清空选择的数据库？\n用户信息、税目信息、", 0), 0u) << ui_->confirms[0].text;
    EXPECT_EQ(Rows("MachineData"), 1);

    ui_->yesNoReplies.push_back(true);
    Click("CommandClearTab");
    EXPECT_EQ(Rows("MachineData"), 0);
    EXPECT_EQ(Rows("UserInformation"), 0);
    for (int i = 0; i < 13; ++i) EXPECT_EQ(W().ClearState(i)->text(), QString("清空完成")) << i;
    ASSERT_EQ(ui_->messages.size(), 1u);
    EXPECT_EQ(ui_->messages[0].title, "收款机");
    EXPECT_EQ(ui_->messages[0].text, "数据库全部清空完成");
    EXPECT_EQ(W().VisiblePanel(), ConsolePanel::None);

    // Clearing "全部选择" clears every box again.
    Trigger("CommandClearAccess");
    for (int i = 0; i < 13; ++i) EXPECT_EQ(W().ClearState(i)->text(), QString("未选择"));
    QTest::mouseClick(W().ClearAllCheck(), Qt::LeftButton);
    QTest::mouseClick(W().ClearAllCheck(), Qt::LeftButton);
    EXPECT_EQ(W().ClearFlags(), 0u);
    EXPECT_EQ(W().ClearState(3)->text(), QString("未选择"));
}

TEST_F(ConsoleStorePanels, OnlyFactoryDataClearsOnlyMachineData) {
    Trigger("CommandClearAccess");
    AddRow("MachineData", "机器编号", "1234567890123456");
    AddRow("UserInformation", "纳税人名称", "X");
    QTest::mouseClick(W().ClearCheck(12), Qt::LeftButton);
    EXPECT_EQ(W().ClearState(12)->text(), QString("等待清空"));
    EXPECT_EQ(W().ClearFlags(), 0x100u);
    ui_->yesNoReplies.push_back(true);
    Click("CommandClearTab");
    EXPECT_EQ(Rows("MachineData"), 0);
    EXPECT_EQ(Rows("UserInformation"), 1);
    EXPECT_EQ(W().ClearState(12)->text(), QString("清空完成"));
    EXPECT_EQ(W().ClearState(0)->text(), QString("未选择"));
}

TEST_F(ConsoleStorePanels, NothingChosenAsksForATable) {
    Trigger("CommandClearAccess");
    Click("CommandClearTab");
    ASSERT_EQ(ui_->messages.size(), 1u);
    EXPECT_EQ(ui_->messages[0].title, "税控器");
    EXPECT_EQ(ui_->messages[0].text, "请选择需要清空的数据库");
    EXPECT_TRUE(ui_->prompts.empty());
    EXPECT_EQ(W().VisiblePanel(), ConsolePanel::StoreClearing);
}

}  // namespace
}  // namespace karvex::testing
