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
    EXPECT_EQ(W().VisiblePanel(), ConsoleWindow::kSingleInvoicePanel);
    EXPECT_EQ(W().PanelTitle(4, 0)->text(), QString("单卷发票使用"));
    EXPECT_FALSE(W().PanelTitle(4, 1)->isHidden());
    EXPECT_EQ(W().PanelTitle(4, 1)->text(), QString("汇总数据上传"));

    Trigger("CommandInvalidateInvoice");
    EXPECT_EQ(W().VisiblePanel(), ConsoleWindow::kSingleInvoicePanel);
    EXPECT_EQ(W().PanelTitle(4, 0)->text(), QString("    废票"));
    EXPECT_TRUE(W().PanelTitle(4, 1)->isHidden());
    Type(8, "123");
    ExpectUnderWay();
    Click("CommandSinInv");
    AwaitAnswer();
    EXPECT_EQ(WithoutCrc(LastRequest()), "1B 10 36 00 09 00 00 00 7B");
}

TEST_F(ConsolePanels, RefusedNumberOnTheSingleInvoicePanelOnlyEndsTheHandler) {
    Trigger("CommandInvoiceSum");
    Type(8, "12a");
    Click("CommandSinInv");
    EXPECT_EQ(Text(8), QString("12a"));
    EXPECT_TRUE(ui_->messages.empty());
    EXPECT_TRUE(Requests().empty());
}

TEST_F(ConsolePanels, TypingTenDigitsMovesOnAndEnterSendsThePrintDataRequest) {
    ShowActive();
    Trigger("CommandPrintData");
    EXPECT_TRUE(W().Option1(0)->isChecked());
    EXPECT_TRUE(W().Text3(0)->isEnabled());
    EXPECT_FALSE(W().Text3(2)->isEnabled());
    EXPECT_EQ(QApplication::focusWidget(), W().Text3(0));

    QTest::keyClicks(W().Text3(0), "0012345678");
    EXPECT_EQ(QApplication::focusWidget(), W().Text3(1));
    QTest::keyClicks(W().Text3(1), "0012345679");
    EXPECT_EQ(QApplication::focusWidget(), W().Button("CommandInvoice"));

    ExpectUnderWay();
    QTest::keyClick(W().Text3(1), Qt::Key_Return);
    AwaitAnswer();
    EXPECT_EQ(WithoutCrc(LastRequest()), "1B 10 42 00 0D 00 BC 61 4E 00 BC 61 4F");
}

TEST_F(ConsolePanels, PrintDataByDatesTakesTheDateFields) {
    ShowActive();
    Trigger("CommandPrintData");
    QTest::mouseClick(W().Option1(1), Qt::LeftButton);
    EXPECT_FALSE(W().Text3(0)->isEnabled());
    EXPECT_TRUE(W().Text3(2)->isEnabled());
    EXPECT_EQ(QApplication::focusWidget(), W().Text3(2));
    Type(2, "2024");
    Type(3, "3");
    Type(4, "1");
    Type(5, "2024");
    Type(6, "03");
    Type(7, "15");
    EXPECT_EQ(QApplication::focusWidget(), W().Button("CommandInvoice"));
    ExpectUnderWay();
    Click("CommandInvoice");
    AwaitAnswer();
    EXPECT_EQ(WithoutCrc(LastRequest()), "1B 10 43 00 0D 20 24 03 01 20 24 03 15");
}

TEST_F(ConsolePanels, FactoryDataFieldsAdvanceAtTheirWidths) {
    ShowActive();
    W().ShowPanel(ConsoleWindow::kFactoryDataPanel);
    W().Text3(23)->setFocus();
    QTest::keyClicks(W().Text3(23), "123456789012345");
    EXPECT_EQ(QApplication::focusWidget(), W().Text3(23));
    QTest::keyClicks(W().Text3(23), "6");
    EXPECT_EQ(QApplication::focusWidget(), W().Text3(17));
    QTest::keyClicks(W().Text3(17), "2004");
    EXPECT_EQ(QApplication::focusWidget(), W().Text3(18));
    QTest::keyClicks(W().Text3(18), "0");
    EXPECT_EQ(QApplication::focusWidget(), W().Text3(18));
    QTest::keyClicks(W().Text3(18), "4");
    EXPECT_EQ(QApplication::focusWidget(), W().Text3(19));
    QTest::keyClicks(W().Text3(19), "05");
    EXPECT_EQ(QApplication::focusWidget(), W().Text3(24));
    // Enter in the machine number goes to the production year, in the day to the hardware version.
    QTest::keyClick(W().Text3(23), Qt::Key_Return);
    EXPECT_EQ(QApplication::focusWidget(), W().Text3(17));
    QTest::keyClick(W().Text3(19), Qt::Key_Return);
    EXPECT_EQ(QApplication::focusWidget(), W().Text3(24));
}

TEST_F(ConsolePanels, FactoryDataSendsTheMachineNumberDateAndVersions) {
    W().ShowPanel(ConsoleWindow::kFactoryDataPanel);
    Type(23, "1234567890123456");
    Type(17, "2004");
    Type(18, "04");
    Type(19, "05");
    Type(24, "HW1");
    Type(25, "SW2");
    ExpectUnderWay();
    Click("CommandSetMD");
    AwaitAnswer();
    const std::string blanks15 = " 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20";
    EXPECT_EQ(WithoutCrc(LastRequest()), "1B 10 86 00 35 12 34 56 78 90 12 34 56 20 04 04 05 48 57 31" + blanks15 +
                                             " 53 57 32" + blanks15);
}

TEST_F(ConsolePanels, RefusedInputsEmptyExactlyTheNamedFields) {
    // Panel 0 by numbers: the bad start number goes, the end number stays.
    ShowActive();
    Trigger("CommandPrintData");
    Type(0, "12a");
    Type(1, "99");
    Click("CommandInvoice");
    EXPECT_EQ(Text(0), QString());
    EXPECT_EQ(Text(1), QString("99"));
    EXPECT_EQ(QApplication::focusWidget(), W().Text3(0));

    // Panel 1: month 13 and day 0 of the start date go, its year stays.
    Trigger("CommandDayTrade");
    Type(11, "2024");
    Type(12, "13");
    Type(13, "0");
    Type(14, "2024");
    Type(15, "03");
    Type(16, "15");
    Click("CommandDTRad");
    EXPECT_EQ(Text(11), QString("2024"));
    EXPECT_EQ(Text(12), QString());
    EXPECT_EQ(Text(13), QString());
    EXPECT_EQ(Text(16), QString("15"));

    // Panel 2: a machine number of 15 digits is refused with a message and emptied.
    W().ShowPanel(ConsoleWindow::kFactoryDataPanel);
    Type(23, "123456789012345");
    Type(17, "2004");
    Type(18, "04");
    Type(19, "05");
    Click("CommandSetMD");
    EXPECT_EQ(Text(23), QString());
    EXPECT_EQ(Text(17), QString("2004"));
    ASSERT_FALSE(ui_->messages.empty());
    EXPECT_EQ(ui_->messages.back().title, "设置机器出厂数据");
    EXPECT_EQ(ui_->messages.back().text, "错误的机器编号");

    // Panel 5: a cut-off day 31 in April.
    Trigger("CommandWriteCard");
    Type(20, "2024");
    Type(21, "4");
    Type(22, "31");
    Click("CommandDeclareCmd");
    EXPECT_EQ(Text(20), QString("2024"));
    EXPECT_EQ(Text(21), QString("4"));
    EXPECT_EQ(Text(22), QString());

    // Panel 9 by dates: the end year 1999 goes.
    Trigger("CommandCheckWriteCard");
    Type(32, "2024");
    Type(33, "01");
    Type(34, "01");
    Type(35, "1999");
    Type(36, "12");
    Type(37, "31");
    Click("CommandWriteCheckCard");
    EXPECT_EQ(Text(35), QString());
    EXPECT_EQ(Text(36), QString("12"));
    EXPECT_EQ(Text(32), QString("2024"));

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
        EXPECT_EQ(W().VisiblePanel(), ConsoleWindow::kCutOffPanel);
        EXPECT_EQ(W().PanelTitle(5)->text(), QString(title));
        Type(20, "2024");
        Type(21, "3");
        Type(22, "5");
        ExpectUnderWay();
        Click("CommandDeclareCmd");
        AwaitAnswer();
        EXPECT_EQ(WithoutCrc(LastRequest()), std::string("1B 10 ") + code + " 00 09 20 24 03 05");
    }
}

TEST_F(ConsolePanels, CheckCardOptionsChooseTheCommand) {
    ShowActive();
    Trigger("CommandCheckWriteCard");
    EXPECT_TRUE(W().Option4(0)->isChecked());
    EXPECT_TRUE(W().Option5(1)->isChecked());
    EXPECT_TRUE(W().Option5(0)->isEnabled());
    for (auto [field, text] : std::vector<std::pair<int, const char*>>{
             {32, "2024"}, {33, "01"}, {34, "01"}, {35, "2024"}, {36, "03"}, {37, "15"}}) {
        Type(field, text);
    }
    ExpectUnderWay();
    Click("CommandWriteCheckCard");
    AwaitAnswer();
    EXPECT_EQ(WithoutCrc(LastRequest()), "1B 10 B6 00 0D 20 24 01 01 20 24 03 15");

    // A declaration check goes by dates only.
    QTest::mouseClick(W().Option4(1), Qt::LeftButton);
    EXPECT_TRUE(W().Option5(1)->isChecked());
    EXPECT_FALSE(W().Option5(0)->isEnabled());
    ExpectUnderWay();
    Click("CommandWriteCheckCard");
    AwaitAnswer();
    EXPECT_EQ(WithoutCrc(LastRequest()), "1B 10 B8 00 0D 20 24 01 01 20 24 03 15");

    QTest::mouseClick(W().Option4(0), Qt::LeftButton);
    EXPECT_TRUE(W().Option5(0)->isEnabled());
    QTest::mouseClick(W().Option5(0), Qt::LeftButton);
    EXPECT_TRUE(W().Text3(26)->isEnabled());
    EXPECT_FALSE(W().Text3(32)->isEnabled());
    Type(26, "1");
    Type(27, "2");
    ExpectUnderWay();
    Click("CommandWriteCheckCard");
    AwaitAnswer();
    EXPECT_EQ(WithoutCrc(LastRequest()), "1B 10 B5 00 0D 00 00 00 01 00 00 00 02");
}

TEST_F(ConsolePanels, CardListWithoutAChoiceSendsNothing) {
    W().ShowPanel(ConsoleWindow::kSendStrPanel);
    ASSERT_EQ(W().Combo1()->currentIndex(), -1);
    Click("CommandSendCom");
    EXPECT_TRUE(Requests().empty());

    W().Combo1()->setCurrentIndex(1);
    ExpectUnderWay();
    Click("CommandSendCom");
    AwaitAnswer();
    EXPECT_EQ(WithoutCrc(LastRequest()), "1B 10 A7 00 05");
}

TEST_F(ConsolePanels, SendStringTakesTheChosenNumberBase) {
    W().ShowPanel(ConsoleWindow::kSendStrPanel);
    EXPECT_TRUE(W().Option3(1)->isChecked());  // 十六进制
    Type(31, "1b 10  ff");
    ExpectUnderWay();
    QTest::keyClick(W().Text3(31), Qt::Key_Return);
    AwaitAnswer();
    EXPECT_EQ(WithoutCrc(LastRequest()), "1B 10 A5 00 08 1B 10 FF");

    QTest::mouseClick(W().Option3(0), Qt::LeftButton);  // 十进制
    Type(31, "16 32");
    ExpectUnderWay();
    Click("CommandSendStr");
    AwaitAnswer();
    EXPECT_EQ(WithoutCrc(LastRequest()), "1B 10 A5 00 07 10 20");
}

TEST_F(ConsolePanels, SigningPanelStartsInHexadecimalAndPadsTo128Bytes) {
    Trigger("CommandIdiograph");
    EXPECT_EQ(W().VisiblePanel(), ConsoleWindow::kIdiographPanel);
    EXPECT_TRUE(W().Option3(2)->isChecked());
    Type(30, "1 2 3 4 ff");
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
    EXPECT_EQ(W().VisiblePanel(), ConsoleWindow::kCheckselfPanel);
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(W().Check2(i)->isChecked());
        EXPECT_EQ(W().Label3(32 + i)->text(), QString("未选择"));
    }
    EXPECT_EQ(W().Check2(0)->text(), QString("CPU自检.................."));
    EXPECT_EQ(W().Check2(4)->text(), QString("指示灯检查..............."));

    // Nothing checked: a message, nothing sent.
    Click("CommandCheckselfSend");
    ASSERT_EQ(ui_->messages.size(), 1u);
    EXPECT_EQ(ui_->messages[0].title, "税控器自检");
    EXPECT_EQ(ui_->messages[0].text, "请选择自检的项目");
    EXPECT_TRUE(Requests().empty());

    QTest::mouseClick(W().Check2(1), Qt::LeftButton);
    EXPECT_EQ(W().Label3(33)->text(), QString("等待检查"));
    QTest::mouseClick(W().Check2(1), Qt::LeftButton);
    EXPECT_EQ(W().Label3(33)->text(), QString("未选择"));

    QTest::mouseClick(W().Check2(0), Qt::LeftButton);
    QTest::mouseClick(W().Check2(2), Qt::LeftButton);
    ExpectUnderWay();
    Click("CommandCheckselfSend");
    EXPECT_EQ(M().Console.CheckselfMask, 0x1D);
    // One completion per reported item; the RAM label changes with the last of its three tests.
    ASSERT_TRUE(WaitUntil([this] { return W().Label3(34)->text() != QString("等待检查"); }));
    EXPECT_EQ(WithoutCrc(Requests().at(0)), "1B 10 B0 00 06 05");
    EXPECT_EQ(W().Label3(32)->text(), QString("自检成功"));
    EXPECT_EQ(W().Label3(34)->text(), QString("自检成功"));
    EXPECT_EQ(W().Label3(33)->text(), QString("未选择"));

    // Opening the panel again clears the boxes and their labels.
    Trigger("CommandCheckSelf");
    EXPECT_FALSE(W().Check2(0)->isChecked());
    EXPECT_EQ(W().Label3(32)->text(), QString("未选择"));
}

TEST_F(ConsolePanels, ClosedPortSendsNothingAndShowsNoBox) {
    // Port 2 cannot be opened; the failure closed nothing but left no link on it either.
    ASSERT_NE(M().OpenComm(2, 1), 0);
    ui_->messages.clear();
    Trigger("CommandDayTrade");
    Type(11, "2024");
    Type(12, "01");
    Type(13, "01");
    Type(14, "2024");
    Type(15, "01");
    Type(16, "02");
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
    Type(8, "123");
    QTest::keyRelease(W().Text3(8), Qt::Key_Return);
    EXPECT_TRUE(Requests().empty());

    // Held down: the repeats are one key-up, one request.
    const auto send = [this](QEvent::Type type, bool repeat) {
        QKeyEvent e(type, Qt::Key_Return, Qt::NoModifier, QString(), repeat);
        QApplication::sendEvent(W().Text3(8), &e);
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
        W().ShowPanel(n);
        QCoreApplication::processEvents();
        EXPECT_EQ(W().size(), size);
        QWidget* panel = W().Panel(n);
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
    QTest::keyClicks(W().Text3(8), "0000000123");
    QPushButton* ok = W().Button("CommandSinInv");
    ASSERT_EQ(QApplication::focusWidget(), ok);
    QTest::keyRelease(ok, Qt::Key_Return);
    EXPECT_TRUE(Requests().empty()) << "an Enter let go over the button after closing a box";
    ExpectUnderWay();
    QTest::keyClick(ok, Qt::Key_Return);
    AwaitAnswer();
    ASSERT_EQ(Requests().size(), 1u);
    EXPECT_EQ(WithoutCrc(LastRequest()), "1B 10 36 00 09 00 00 00 7B");
    ExpectUnderWay();
    QTest::keyClick(ok, Qt::Key_Enter, Qt::KeypadModifier);
    AwaitAnswer();
    EXPECT_EQ(Requests().size(), 2u);
}

// Each field holds no more than its auto-advance length; fields without auto-advance are free.
TEST_F(ConsolePanels, FieldsAreLimitedToTheirAutoAdvanceLength) {
    const std::pair<int, int> limits[] = {{0, 10}, {1, 10}, {8, 10}, {27, 10}, {2, 4}, {3, 2}, {7, 2},
                                          {19, 2}, {23, 16}, {24, 18}, {25, 18}};
    for (auto [field, length] : limits) EXPECT_EQ(W().Text3(field)->maxLength(), length) << field;
    for (int field : {30, 31}) EXPECT_GT(W().Text3(field)->maxLength(), 128) << field;
    Type(23, "12345678901234567890");
    EXPECT_EQ(Text(23), QString("1234567890123456"));
    // Versions count GBK bytes, as auto-advance does: nine Chinese characters fill eighteen bytes.
    W().Text3(24)->clear();
    for (QChar c : QString("硬件版本号一二三四五")) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QApplication::sendEvent(W().Text3(24), &press);
    }
    EXPECT_EQ(Text(24), QString("硬件版本号一二三四"));
}

// A panel opened again selects what its field still holds: typing replaces it and auto-advance works
// again; a field reached by auto-advance or Tab does the same.
TEST_F(ConsolePanels, ReopenedPanelReplacesTheOldTextAndAdvancesAgain) {
    ShowActive();
    Trigger("CommandDayTrade");
    QTest::keyClicks(W().Text3(11), "2024");
    QTest::keyClicks(W().Text3(12), "03");
    EXPECT_EQ(QApplication::focusWidget(), W().Text3(13));
    Trigger("CommandDayTrade");
    ASSERT_EQ(QApplication::focusWidget(), W().Text3(11));
    QTest::keyClicks(W().Text3(11), "2025");
    EXPECT_EQ(Text(11), QString("2025"));
    EXPECT_EQ(QApplication::focusWidget(), W().Text3(12));
    QTest::keyClicks(W().Text3(12), "04");
    EXPECT_EQ(Text(12), QString("04"));
    EXPECT_EQ(QApplication::focusWidget(), W().Text3(13));
    QTest::keyClick(W().Text3(13), Qt::Key_Backtab, Qt::ShiftModifier);
    ASSERT_EQ(QApplication::focusWidget(), W().Text3(12));
    EXPECT_EQ(W().Text3(12)->selectedText(), QString("04"));
}

// A command that was not sent says why in the status bar: a refused input (its fields emptied) or a
// closed port. The next command that goes out clears it.
TEST_F(ConsolePanels, StatusBarSaysWhyACommandWasNotSent) {
    const QString caption = StatusText(W());
    Trigger("CommandDayTrade");
    for (auto [field, text] : std::vector<std::pair<int, const char*>>{
             {11, "2024"}, {12, "13"}, {13, "0"}, {14, "2024"}, {15, "03"}, {16, "15"}}) {
        Type(field, text);
    }
    Click("CommandDTRad");
    EXPECT_EQ(Text(12), QString());
    EXPECT_TRUE(StatusText(W()).contains(QString::fromStdString(ResultMessage(result::kBadMonth | result::kBadDay))))
        << StatusText(W()).toStdString();

    Type(12, "03");
    Type(13, "01");
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
