// The command panels: what their entries prepare, the requests their buttons send, the fields a refused
// input empties, the focus moves while typing, Enter, and the self-test panel.
#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>

#include "console_fixture.h"

namespace karvex::testing {
namespace {

using ConsolePanels = ConsoleFixture;

TEST_F(ConsolePanels, InvalidateAfterRollSummaryShowsItsOwnTitleAndSendsItsOwnCode) {
    Trigger("CommandInvoiceSum");
    EXPECT_EQ(W().VisiblePanel(), ConsolePanel::SingleInvoice);
    EXPECT_EQ(W().PanelTitle(ConsolePanel::SingleInvoice, 0)->text(), QString("单卷发票使用"));
    EXPECT_FALSE(W().PanelTitle(ConsolePanel::SingleInvoice, 1)->isHidden());
    EXPECT_EQ(W().PanelTitle(ConsolePanel::SingleInvoice, 1)->text(), QString("汇总数据上传"));

    Trigger("CommandInvalidateInvoice");
    EXPECT_EQ(W().VisiblePanel(), ConsolePanel::SingleInvoice);
    EXPECT_EQ(W().PanelTitle(ConsolePanel::SingleInvoice, 0)->text(), QString("    废票"));
    EXPECT_TRUE(W().PanelTitle(ConsolePanel::SingleInvoice, 1)->isHidden());
    Type(F::InvoiceNumber, "123");
    ui_->yesNoReplies.push_back(true);
    ExpectUnderWay();
    Click("CommandSinInv");
    AwaitAnswer();
    EXPECT_EQ(WithoutCrc(LastRequest()), "1B 10 36 00 09 00 00 00 7B");
}

TEST_F(ConsolePanels, RefusedNumberOnTheSingleInvoicePanelOnlyEndsTheHandler) {
    Trigger("CommandInvoiceSum");
    Type(F::InvoiceNumber, "12a");
    Click("CommandSinInv");
    EXPECT_EQ(Text(F::InvoiceNumber), QString("12a"));
    EXPECT_TRUE(ui_->messages.empty());
    EXPECT_TRUE(Requests().empty());
}

TEST_F(ConsolePanels, TypingTenDigitsMovesOnAndEnterSendsThePrintDataRequest) {
    ShowActive();
    Trigger("CommandPrintData");
    EXPECT_TRUE(W().Choice(ConsoleChoice::PrintByNumber)->isChecked());
    EXPECT_TRUE(W().Field(F::PrintStartNumber)->isEnabled());
    EXPECT_FALSE(W().Field(F::PrintStartYear)->isEnabled());
    EXPECT_EQ(QApplication::focusWidget(), W().Field(F::PrintStartNumber));

    QTest::keyClicks(W().Field(F::PrintStartNumber), "0012345678");
    EXPECT_EQ(QApplication::focusWidget(), W().Field(F::PrintEndNumber));
    QTest::keyClicks(W().Field(F::PrintEndNumber), "0012345679");
    EXPECT_EQ(QApplication::focusWidget(), W().Button("CommandInvoice"));

    ExpectUnderWay();
    QTest::keyClick(W().Field(F::PrintEndNumber), Qt::Key_Return);
    AwaitAnswer();
    EXPECT_EQ(WithoutCrc(LastRequest()), "1B 10 42 00 0D 00 BC 61 4E 00 BC 61 4F");
}

TEST_F(ConsolePanels, PrintDataByDatesTakesTheDateFields) {
    ShowActive();
    Trigger("CommandPrintData");
    QTest::mouseClick(W().Choice(ConsoleChoice::PrintByDates), Qt::LeftButton);
    EXPECT_FALSE(W().Field(F::PrintStartNumber)->isEnabled());
    EXPECT_TRUE(W().Field(F::PrintStartYear)->isEnabled());
    EXPECT_EQ(QApplication::focusWidget(), W().Field(F::PrintStartYear));
    Type(F::PrintStartYear, "2024");
    Type(F::PrintStartMonth, "3");
    Type(F::PrintStartDay, "1");
    Type(F::PrintEndYear, "2024");
    Type(F::PrintEndMonth, "03");
    Type(F::PrintEndDay, "15");
    EXPECT_EQ(QApplication::focusWidget(), W().Button("CommandInvoice"));
    ExpectUnderWay();
    Click("CommandInvoice");
    AwaitAnswer();
    EXPECT_EQ(WithoutCrc(LastRequest()), "1B 10 43 00 0D 20 24 03 01 20 24 03 15");
}

TEST_F(ConsolePanels, FactoryDataFieldsAdvanceAtTheirWidths) {
    ShowActive();
    W().ShowPanel(ConsolePanel::FactoryData);
    W().Field(F::MachineNumber)->setFocus();
    QTest::keyClicks(W().Field(F::MachineNumber), "123456789012345");
    EXPECT_EQ(QApplication::focusWidget(), W().Field(F::MachineNumber));
    QTest::keyClicks(W().Field(F::MachineNumber), "6");
    EXPECT_EQ(QApplication::focusWidget(), W().Field(F::ProductionYear));
    QTest::keyClicks(W().Field(F::ProductionYear), "2004");
    EXPECT_EQ(QApplication::focusWidget(), W().Field(F::ProductionMonth));
    QTest::keyClicks(W().Field(F::ProductionMonth), "0");
    EXPECT_EQ(QApplication::focusWidget(), W().Field(F::ProductionMonth));
    QTest::keyClicks(W().Field(F::ProductionMonth), "4");
    EXPECT_EQ(QApplication::focusWidget(), W().Field(F::ProductionDay));
    QTest::keyClicks(W().Field(F::ProductionDay), "05");
    EXPECT_EQ(QApplication::focusWidget(), W().Field(F::HardwareVersion));
    // Enter in the machine number goes to the production year, in the day to the hardware version.
    QTest::keyClick(W().Field(F::MachineNumber), Qt::Key_Return);
    EXPECT_EQ(QApplication::focusWidget(), W().Field(F::ProductionYear));
    QTest::keyClick(W().Field(F::ProductionDay), Qt::Key_Return);
    EXPECT_EQ(QApplication::focusWidget(), W().Field(F::HardwareVersion));
}

TEST_F(ConsolePanels, FactoryDataSendsTheMachineNumberDateAndVersions) {
    W().ShowPanel(ConsolePanel::FactoryData);
    Type(F::MachineNumber, "1234567890123456");
    Type(F::ProductionYear, "2004");
    Type(F::ProductionMonth, "04");
    Type(F::ProductionDay, "05");
    Type(F::HardwareVersion, "HW1");
    Type(F::SoftwareVersion, "SW2");
    ExpectUnderWay();
    Click("CommandSetMD");
    AwaitAnswer();
    const std::string blanks15 = " 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20";
    EXPECT_EQ(WithoutCrc(LastRequest()),
              "1B 10 86 00 35 12 34 56 78 90 12 34 56 20 04 04 05 48 57 31" + blanks15 + " 53 57 32" + blanks15);
}

TEST_F(ConsolePanels, RefusedInputsEmptyExactlyTheNamedFields) {
    // Panel 0 by numbers: the bad start number goes, the end number stays.
    ShowActive();
    Trigger("CommandPrintData");
    Type(F::PrintStartNumber, "12a");
    Type(F::PrintEndNumber, "99");
    Click("CommandInvoice");
    EXPECT_EQ(Text(F::PrintStartNumber), QString());
    EXPECT_EQ(Text(F::PrintEndNumber), QString("99"));
    EXPECT_EQ(QApplication::focusWidget(), W().Field(F::PrintStartNumber));

    // Panel 1: month 13 and day 0 of the start date go, its year stays.
    Trigger("CommandDayTrade");
    Type(F::DayTradeStartYear, "2024");
    Type(F::DayTradeStartMonth, "13");
    Type(F::DayTradeStartDay, "0");
    Type(F::DayTradeEndYear, "2024");
    Type(F::DayTradeEndMonth, "03");
    Type(F::DayTradeEndDay, "15");
    Click("CommandDTRad");
    EXPECT_EQ(Text(F::DayTradeStartYear), QString("2024"));
    EXPECT_EQ(Text(F::DayTradeStartMonth), QString());
    EXPECT_EQ(Text(F::DayTradeStartDay), QString());
    EXPECT_EQ(Text(F::DayTradeEndDay), QString("15"));

    // Panel 2: a machine number of 15 digits is refused with a message and emptied.
    W().ShowPanel(ConsolePanel::FactoryData);
    Type(F::MachineNumber, "123456789012345");
    Type(F::ProductionYear, "2004");
    Type(F::ProductionMonth, "04");
    Type(F::ProductionDay, "05");
    Click("CommandSetMD");
    EXPECT_EQ(Text(F::MachineNumber), QString());
    EXPECT_EQ(Text(F::ProductionYear), QString("2004"));
    ASSERT_FALSE(ui_->messages.empty());
    EXPECT_EQ(ui_->messages.back().title, "设置机器出厂数据");
    EXPECT_EQ(ui_->messages.back().text, "错误的机器编号");

    // Panel 5: a cut-off day 31 in April.
    Trigger("CommandWriteCard");
    Type(F::CutOffYear, "2024");
    Type(F::CutOffMonth, "4");
    Type(F::CutOffDay, "31");
    Click("CommandDeclareCmd");
    EXPECT_EQ(Text(F::CutOffYear), QString("2024"));
    EXPECT_EQ(Text(F::CutOffMonth), QString("4"));
    EXPECT_EQ(Text(F::CutOffDay), QString());

    // Panel 9 by dates: the end year 1999 goes.
    Trigger("CommandCheckWriteCard");
    Type(F::CheckStartYear, "2024");
    Type(F::CheckStartMonth, "01");
    Type(F::CheckStartDay, "01");
    Type(F::CheckEndYear, "1999");
    Type(F::CheckEndMonth, "12");
    Type(F::CheckEndDay, "31");
    Click("CommandWriteCheckCard");
    EXPECT_EQ(Text(F::CheckEndYear), QString());
    EXPECT_EQ(Text(F::CheckEndMonth), QString("12"));
    EXPECT_EQ(Text(F::CheckStartYear), QString("2024"));

    EXPECT_TRUE(Requests().empty());
}

TEST_F(ConsolePanels, CutOffPanelTakesItsTitleAndCommandFromTheEntry) {
    const std::vector<std::tuple<const char*, const char*, const char*>> entries = {
        {"CommandWriteCard", "申报数据写卡", "3D"},
        {"CommandDeclareData", "申报数据上传", "3E"},
        {"CommandInvoiceData", "发票数据上传", "3F"}};
    for (const auto& [item, title, code] : entries) {
        SCOPED_TRACE(item);
        Trigger(item);
        EXPECT_EQ(W().VisiblePanel(), ConsolePanel::CutOffDate);
        EXPECT_EQ(W().PanelTitle(ConsolePanel::CutOffDate)->text(), QString(title));
        Type(F::CutOffYear, "2024");
        Type(F::CutOffMonth, "3");
        Type(F::CutOffDay, "5");
        ExpectUnderWay();
        if (std::string(item) == "CommandWriteCard") ui_->yesNoReplies.push_back(true);  // it asks first
        Click("CommandDeclareCmd");
        AwaitAnswer();
        EXPECT_EQ(WithoutCrc(LastRequest()), std::string("1B 10 ") + code + " 00 09 20 24 03 05");
    }
}

TEST_F(ConsolePanels, CheckCardOptionsChooseTheCommand) {
    ShowActive();
    Trigger("CommandCheckWriteCard");
    EXPECT_TRUE(W().Choice(ConsoleChoice::CheckDetail)->isChecked());
    EXPECT_TRUE(W().Choice(ConsoleChoice::CheckByDates)->isChecked());
    EXPECT_TRUE(W().Choice(ConsoleChoice::CheckByNumber)->isEnabled());
    for (auto [field, text] : std::vector<std::pair<ConsoleField, const char*>>{{F::CheckStartYear, "2024"},
                                                                                {F::CheckStartMonth, "01"},
                                                                                {F::CheckStartDay, "01"},
                                                                                {F::CheckEndYear, "2024"},
                                                                                {F::CheckEndMonth, "03"},
                                                                                {F::CheckEndDay, "15"}}) {
        Type(field, text);
    }
    ExpectUnderWay();
    Click("CommandWriteCheckCard");
    AwaitAnswer();
    EXPECT_EQ(WithoutCrc(LastRequest()), "1B 10 B6 00 0D 20 24 01 01 20 24 03 15");

    // A declaration check goes by dates only.
    QTest::mouseClick(W().Choice(ConsoleChoice::CheckDeclaration), Qt::LeftButton);
    EXPECT_TRUE(W().Choice(ConsoleChoice::CheckByDates)->isChecked());
    EXPECT_FALSE(W().Choice(ConsoleChoice::CheckByNumber)->isEnabled());
    ExpectUnderWay();
    Click("CommandWriteCheckCard");
    AwaitAnswer();
    EXPECT_EQ(WithoutCrc(LastRequest()), "1B 10 B8 00 0D 20 24 01 01 20 24 03 15");

    QTest::mouseClick(W().Choice(ConsoleChoice::CheckDetail), Qt::LeftButton);
    EXPECT_TRUE(W().Choice(ConsoleChoice::CheckByNumber)->isEnabled());
    QTest::mouseClick(W().Choice(ConsoleChoice::CheckByNumber), Qt::LeftButton);
    EXPECT_TRUE(W().Field(F::CheckStartNumber)->isEnabled());
    EXPECT_FALSE(W().Field(F::CheckStartYear)->isEnabled());
    Type(F::CheckStartNumber, "1");
    Type(F::CheckEndNumber, "2");
    ExpectUnderWay();
    Click("CommandWriteCheckCard");
    AwaitAnswer();
    EXPECT_EQ(WithoutCrc(LastRequest()), "1B 10 B5 00 0D 00 00 00 01 00 00 00 02");
}

TEST_F(ConsolePanels, CardListWithoutAChoiceSendsNothing) {
    W().ShowPanel(ConsolePanel::CardCommands);
    ASSERT_EQ(W().CardPowerList()->currentIndex(), -1);
    Click("CommandSendCom");
    EXPECT_TRUE(Requests().empty());

    W().CardPowerList()->setCurrentIndex(1);
    ExpectUnderWay();
    Click("CommandSendCom");
    AwaitAnswer();
    EXPECT_EQ(WithoutCrc(LastRequest()), "1B 10 A7 00 05");
}

TEST_F(ConsolePanels, SendStringTakesTheChosenNumberBase) {
    W().ShowPanel(ConsolePanel::CardCommands);
    EXPECT_TRUE(W().Choice(ConsoleChoice::CardHexadecimal)->isChecked());  // 十六进制
    Type(F::CardBytes, "1b 10  ff");
    ExpectUnderWay();
    QTest::keyClick(W().Field(F::CardBytes), Qt::Key_Return);
    AwaitAnswer();
    EXPECT_EQ(WithoutCrc(LastRequest()), "1B 10 A5 00 08 1B 10 FF");

    QTest::mouseClick(W().Choice(ConsoleChoice::CardDecimal), Qt::LeftButton);  // 十进制
    Type(F::CardBytes, "16 32");
    ExpectUnderWay();
    Click("CommandSendStr");
    AwaitAnswer();
    EXPECT_EQ(WithoutCrc(LastRequest()), "1B 10 A5 00 07 10 20");
}

TEST_F(ConsolePanels, SigningPanelStartsInHexadecimalAndPadsTo128Bytes) {
    Trigger("CommandIdiograph");
    EXPECT_EQ(W().VisiblePanel(), ConsolePanel::Signing);
    EXPECT_TRUE(W().Choice(ConsoleChoice::SigningHexadecimal)->isChecked());
    Type(F::SigningData, "1 2 3 4 ff");
    ExpectUnderWay();
    Click("CommandDataIph");
    AwaitAnswer();
    const std::string frame = LastRequest();
    ASSERT_GE(frame.size(), std::string("1B 10 46 00 85").size());
    EXPECT_EQ(frame.substr(0, 29), "1B 10 46 00 85 01 02 03 04 FF");
    EXPECT_EQ((frame.size() + 1) / 3, 5u + 128u + 2u);
}

TEST_F(ConsolePanels, SelfTestLabelsFollowTheBoxesAndTheAnswer) {
    Trigger("CommandCheckSelf");
    EXPECT_EQ(W().VisiblePanel(), ConsolePanel::SelfTest);
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(W().SelfTestCheck(static_cast<SelfTestBox>(i))->isChecked());
        EXPECT_EQ(W().SelfTestVerdict(static_cast<SelfTestBox>(i))->text(), QString("未选择"));
    }
    EXPECT_EQ(W().SelfTestCheck(SelfTestBox::Cpu)->text(), QString("CPU自检.................."));
    EXPECT_EQ(W().SelfTestCheck(SelfTestBox::Lamps)->text(), QString("指示灯检查..............."));

    // Nothing checked: a message, nothing sent.
    Click("CommandCheckselfSend");
    ASSERT_EQ(ui_->messages.size(), 1u);
    EXPECT_EQ(ui_->messages[0].title, "税控器自检");
    EXPECT_EQ(ui_->messages[0].text, "请选择自检的项目");
    EXPECT_TRUE(Requests().empty());

    QTest::mouseClick(W().SelfTestCheck(SelfTestBox::Code), Qt::LeftButton);
    EXPECT_EQ(W().SelfTestVerdict(SelfTestBox::Code)->text(), QString("等待检查"));
    QTest::mouseClick(W().SelfTestCheck(SelfTestBox::Code), Qt::LeftButton);
    EXPECT_EQ(W().SelfTestVerdict(SelfTestBox::Code)->text(), QString("未选择"));

    QTest::mouseClick(W().SelfTestCheck(SelfTestBox::Cpu), Qt::LeftButton);
    QTest::mouseClick(W().SelfTestCheck(SelfTestBox::Ram), Qt::LeftButton);
    ExpectUnderWay();
    Click("CommandCheckselfSend");
    EXPECT_EQ(M().Command().chain.checkself_mask, 0x1D);
    // One completion per reported item; the RAM label changes with the last of its three tests.
    ASSERT_TRUE(WaitUntil([this] { return W().SelfTestVerdict(SelfTestBox::Ram)->text() != QString("等待检查"); }));
    EXPECT_EQ(WithoutCrc(Requests().at(0)), "1B 10 B0 00 06 05");
    EXPECT_EQ(W().SelfTestVerdict(SelfTestBox::Cpu)->text(), QString("自检成功"));
    EXPECT_EQ(W().SelfTestVerdict(SelfTestBox::Ram)->text(), QString("自检成功"));
    EXPECT_EQ(W().SelfTestVerdict(SelfTestBox::Code)->text(), QString("未选择"));

    // Opening the panel again clears the boxes and their labels.
    Trigger("CommandCheckSelf");
    EXPECT_FALSE(W().SelfTestCheck(SelfTestBox::Cpu)->isChecked());
    EXPECT_EQ(W().SelfTestVerdict(SelfTestBox::Cpu)->text(), QString("未选择"));
}

TEST_F(ConsolePanels, ClosedPortSendsNothingAndShowsNoBox) {
    // Port 2 cannot be opened; the failure closed nothing but left no link on it either.
    ASSERT_NE(M().OpenComm(2, 1), 0);
    ui_->messages.clear();
    Trigger("CommandDayTrade");
    Type(F::DayTradeStartYear, "2024");
    Type(F::DayTradeStartMonth, "01");
    Type(F::DayTradeStartDay, "01");
    Type(F::DayTradeEndYear, "2024");
    Type(F::DayTradeEndMonth, "01");
    Type(F::DayTradeEndDay, "02");
    Click("CommandDTRad");
    EXPECT_TRUE(ui_->messages.empty());
    EXPECT_TRUE(Requests().empty());
}

}  // namespace
}  // namespace karvex::testing

namespace karvex::testing {
namespace {

// Enter acts when it is let go over the field it went down in. The Enter that closes a message box goes
// down in the box and is let go over the field: it must not send again and bring the same box back.
TEST_F(ConsolePanels, EnterLetGoWithoutGoingDownInTheFieldSendsNothing) {
    ShowActive();
    Trigger("CommandInvalidateInvoice");
    Type(F::InvoiceNumber, "123");
    QTest::keyRelease(W().Field(F::InvoiceNumber), Qt::Key_Return);
    EXPECT_TRUE(Requests().empty());
    ui_->yesNoReplies.push_back(true);

    // Held down: the repeats are one key-up, one request.
    const auto send = [this](QEvent::Type type, bool repeat) {
        QKeyEvent e(type, Qt::Key_Return, Qt::NoModifier, QString(), repeat);
        QApplication::sendEvent(W().Field(F::InvoiceNumber), &e);
    };
    ExpectUnderWay();
    send(QEvent::KeyPress, false);
    for (int i = 0; i < 3; ++i) {
        send(QEvent::KeyRelease, true);
        send(QEvent::KeyPress, true);
    }
    send(QEvent::KeyRelease, false);
    AwaitAnswer();
    ASSERT_EQ(Requests().size(), 1u);
    EXPECT_EQ(WithoutCrc(LastRequest()), "1B 10 36 00 09 00 00 00 7B");
}

// Every panel fits the window the console opened with: opening one never makes the window grow, and no
// panel is squeezed below what its controls need.
TEST_F(ConsolePanels, EveryPanelFitsTheWindowWithoutGrowingIt) {
    ShowActive();
    QCoreApplication::processEvents();
    const QSize size = W().size();
    const QRect screen = W().screen()->availableGeometry();
    EXPECT_LE(W().frameGeometry().width(), screen.width());
    EXPECT_LE(W().frameGeometry().height(), screen.height());
    // In the order an operator might open them, and back again.
    std::vector<int> order;
    for (int n = 0; n < ConsoleWindow::kPanelCount; ++n) order.push_back(n);
    for (int n = ConsoleWindow::kPanelCount - 1; n >= 0; --n) order.push_back(n);
    for (int n : order) {
        SCOPED_TRACE(n);
        W().ShowPanel(static_cast<ConsolePanel>(n));
        QCoreApplication::processEvents();
        EXPECT_EQ(W().size(), size);
        QWidget* panel = W().Panel(static_cast<ConsolePanel>(n));
        EXPECT_GE(panel->width(), panel->minimumSizeHint().width());
        EXPECT_GE(panel->height(), panel->minimumSizeHint().height());
        EXPECT_TRUE(W().centralWidget()->rect().contains(panel->geometry()));
    }
}

}  // namespace
}  // namespace karvex::testing

namespace karvex::testing {
namespace {

QString StatusText(ConsoleWindow& w) {
    auto* panel = w.findChild<QLabel*>("StatusPanel1");
    return panel ? panel->text() : QString();
}

// Enter on the button that auto-advance focused presses it, as Space does; like Enter in a field, only when
// it went down on that same button.
TEST_F(ConsolePanels, EnterPressesTheFocusedPanelButton) {
    ShowActive();
    Trigger("CommandInvalidateInvoice");
    QTest::keyClicks(W().Field(F::InvoiceNumber), "0000000123");
    QPushButton* ok = W().Button("CommandSinInv");
    ASSERT_EQ(QApplication::focusWidget(), ok);
    QTest::keyRelease(ok, Qt::Key_Return);
    EXPECT_TRUE(Requests().empty()) << "an Enter let go over the button after closing a box";
    ui_->yesNoReplies = {true, true};
    ExpectUnderWay();
    QTest::keyClick(ok, Qt::Key_Return);
    AwaitAnswer();
    ASSERT_EQ(Requests().size(), 1u);
    EXPECT_EQ(WithoutCrc(LastRequest()), "1B 10 36 00 09 00 00 00 7B");
    // The keypad's Enter too, on the panel opened again.
    Trigger("CommandInvalidateInvoice");
    QTest::keyClicks(W().Field(F::InvoiceNumber), "0000000123");
    ExpectUnderWay();
    QTest::keyClick(ok, Qt::Key_Enter, Qt::KeypadModifier);
    AwaitAnswer();
    EXPECT_EQ(Requests().size(), 2u);
}

// Each field holds no more than its auto-advance length; fields without auto-advance are free.
TEST_F(ConsolePanels, FieldsAreLimitedToTheirAutoAdvanceLength) {
    const std::pair<ConsoleField, int> limits[] = {
        {F::PrintStartNumber, 10}, {F::PrintEndNumber, 10},  {F::InvoiceNumber, 10},  {F::CheckEndNumber, 10},
        {F::PrintStartYear, 4},    {F::PrintStartMonth, 2},  {F::PrintEndDay, 2},     {F::ProductionDay, 2},
        {F::MachineNumber, 16},    {F::HardwareVersion, 18}, {F::SoftwareVersion, 18}};
    for (auto [field, length] : limits) EXPECT_EQ(W().Field(field)->maxLength(), length) << static_cast<int>(field);
    for (ConsoleField field : {F::SigningData, F::CardBytes}) {
        EXPECT_GT(W().Field(field)->maxLength(), 128) << static_cast<int>(field);
    }
    Type(F::MachineNumber, "12345678901234567890");
    EXPECT_EQ(Text(F::MachineNumber), QString("1234567890123456"));
    // Versions count GBK bytes, as auto-advance does: nine Chinese characters fill eighteen bytes.
    W().Field(F::HardwareVersion)->clear();
    for (QChar c : QString("硬件版本号一二三四五")) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QApplication::sendEvent(W().Field(F::HardwareVersion), &press);
    }
    EXPECT_EQ(Text(F::HardwareVersion), QString("硬件版本号一二三四"));
}

// Each panel keeps its own focus order: a full field hands the focus on to a control of the same panel,
// never to nothing or to a hidden panel's control.
TEST_F(ConsolePanels, FullFieldsHandTheFocusOnInsideTheirOwnPanel) {
    ShowActive();
    for (int n = 0; n < ConsoleWindow::kPanelCount; ++n) {
        const auto id = static_cast<ConsolePanel>(n);
        W().ShowPanel(id);
        QWidget* panel = W().Panel(id);
        for (QLineEdit* edit : panel->findChildren<QLineEdit*>()) {
            if (edit->maxLength() > 128) continue;  // no auto-advance
            SCOPED_TRACE(edit->objectName().toStdString());
            edit->clear();
            edit->setFocus(Qt::OtherFocusReason);
            QTest::keyClicks(edit, QString(edit->maxLength(), QChar('1')));
            QWidget* now = QApplication::focusWidget();
            EXPECT_NE(now, edit);
            EXPECT_TRUE(now != nullptr && panel->isAncestorOf(now) && now->isVisible());
        }
    }
}

// A panel opened again selects what its field still holds: typing replaces it and auto-advance works
// again; a field reached by auto-advance or Tab does the same.
TEST_F(ConsolePanels, ReopenedPanelReplacesTheOldTextAndAdvancesAgain) {
    ShowActive();
    Trigger("CommandDayTrade");
    QTest::keyClicks(W().Field(F::DayTradeStartYear), "2024");
    QTest::keyClicks(W().Field(F::DayTradeStartMonth), "03");
    EXPECT_EQ(QApplication::focusWidget(), W().Field(F::DayTradeStartDay));
    Trigger("CommandDayTrade");
    ASSERT_EQ(QApplication::focusWidget(), W().Field(F::DayTradeStartYear));
    QTest::keyClicks(W().Field(F::DayTradeStartYear), "2025");
    EXPECT_EQ(Text(F::DayTradeStartYear), QString("2025"));
    EXPECT_EQ(QApplication::focusWidget(), W().Field(F::DayTradeStartMonth));
    QTest::keyClicks(W().Field(F::DayTradeStartMonth), "04");
    EXPECT_EQ(Text(F::DayTradeStartMonth), QString("04"));
    EXPECT_EQ(QApplication::focusWidget(), W().Field(F::DayTradeStartDay));
    QTest::keyClick(W().Field(F::DayTradeStartDay), Qt::Key_Backtab, Qt::ShiftModifier);
    ASSERT_EQ(QApplication::focusWidget(), W().Field(F::DayTradeStartMonth));
    EXPECT_EQ(W().Field(F::DayTradeStartMonth)->selectedText(), QString("04"));
}

// A command that was not sent says why in the status bar: a refused input (its fields emptied) or a
// closed port. The next command that goes out clears it.
TEST_F(ConsolePanels, StatusBarSaysWhyACommandWasNotSent) {
    const QString caption = StatusText(W());
    Trigger("CommandDayTrade");
    for (auto [field, text] : std::vector<std::pair<ConsoleField, const char*>>{{F::DayTradeStartYear, "2024"},
                                                                                {F::DayTradeStartMonth, "13"},
                                                                                {F::DayTradeStartDay, "0"},
                                                                                {F::DayTradeEndYear, "2024"},
                                                                                {F::DayTradeEndMonth, "03"},
                                                                                {F::DayTradeEndDay, "15"}}) {
        Type(field, text);
    }
    Click("CommandDTRad");
    EXPECT_EQ(Text(F::DayTradeStartMonth), QString());
    EXPECT_TRUE(StatusText(W()).contains(QString::fromStdString(ResultMessage(result::kBadMonth | result::kBadDay))))
        << StatusText(W()).toStdString();

    Type(F::DayTradeStartMonth, "03");
    Type(F::DayTradeStartDay, "01");
    ExpectUnderWay();
    Click("CommandDTRad");
    AwaitAnswer();
    EXPECT_EQ(StatusText(W()), caption);

    ASSERT_NE(M().OpenComm(2, 1), 0);
    Trigger("CommandOnline");
    EXPECT_TRUE(StatusText(W()).contains(QString::fromStdString(ResultMessage(result::kNoOpenPort))))
        << StatusText(W()).toStdString();
}

}  // namespace
}  // namespace karvex::testing
