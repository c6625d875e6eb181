// What one stray key must never do: the questions before what cannot be undone, Enter on a panel that is not
// on show, and the editing keys of a field firing menu commands.
#include <QKeyEvent>
#include <QMessageBox>

#include <functional>

#include "console/widget_user_interface.h"
#include "console_fixture.h"
#include "log/log_viewer_window.h"

namespace karvex::testing {
namespace {

using ConsoleGuards = ConsoleFixture;

// The real question box: "否" is the default, so Enter as well as Esc leave things as they are.
TEST(ConsoleQuestions, ConfirmationDefaultsToNoAndEscAnswersNo) {
    WidgetUserInterface ui;
    struct Case {
        const char* what;
        std::function<void(QMessageBox&)> answer;
        bool expected;
    };
    const Case cases[] = {
        {"Enter", [](QMessageBox& b) { QTest::keyClick(&b, Qt::Key_Return); }, false},
        {"Esc", [](QMessageBox& b) { QTest::keyClick(&b, Qt::Key_Escape); }, false},
        {"是", [](QMessageBox& b) { b.button(QMessageBox::Yes)->click(); }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        bool defaultIsNo = false;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr) return;
            defaultIsNo = box->defaultButton() == box->button(QMessageBox::No);
            c.answer(*box);
        });
        EXPECT_EQ(ui.AskToConfirm("废票", "发票号码 0000000123 将被作废"), c.expected);
        EXPECT_TRUE(defaultIsNo);
    }
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Each irreversible act asks, naming what will happen; "否" leaves the processor and the files alone, "是"
// goes ahead.
TEST_F(ConsoleGuards, IrreversibleActsAskFirstAndNoDoesNothing) {
    ShowActive();
    struct Case {
        const char* title;
        const char* named;  // what the question must name
        bool command;       // sends a command when answered yes
        std::function<void()> act;
        std::function<bool()> done;
    };
    std::size_t before = 0;
    const auto sent = [&] { return Requests().size() > before; };
    const Case cases[] = {
        {"废票", "0000000123", true,
         [this] {
             Trigger("CommandInvalidateInvoice");
             Type(F::InvoiceNumber, "123");
             Click("CommandSinInv");
         },
         sent},
        {"监控管理数据回送", "写入税控器", true, [this] { Trigger("CommandManageEchoplex"); }, sent},
        {"更新分户开票编号", "分户开票编号文件", true, [this] { Trigger("CommandUpdateCondo"); }, sent},
        {"申报数据写卡", "20240331", true,
         [this] {
             Trigger("CommandWriteCard");
             Type(F::CutOffYear, "2024");
             Type(F::CutOffMonth, "03");
             Type(F::CutOffDay, "31");
             Click("CommandDeclareCmd");
         },
         sent},
        {"清除日志", "命令日志", false,
         [this] {
             M().Log().WriteLogLine("一行");
             W().MenuItem("DailyFile")->trigger();
             W().LogViewer()->ClearLogAction()->trigger();
         },
         [this] { return ReadFile(dir_ + "/CommandFM.Vrm").empty(); }},
        // Ctrl+I from inside a field of an open panel; last, as its success chains further requests.
        {"税控器初始化", "发票打印数据", true,
         [this] {
             Trigger("CommandDayTrade");
             QTest::keyClick(W().Field(F::DayTradeStartYear), Qt::Key_I, Qt::ControlModifier);
         },
         sent},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        for (const bool yes : {false, true}) {
            ui_->confirms.clear();
            ui_->yesNoReplies.push_back(yes);
            before = Requests().size();
            if (yes && c.command) ExpectUnderWay();
            c.act();
            ASSERT_EQ(ui_->confirms.size(), 1u);
            EXPECT_EQ(ui_->confirms[0].title, c.title);
            EXPECT_NE(ui_->confirms[0].text.find(c.named), std::string::npos) << ui_->confirms[0].text;
            if (yes && c.command) M().WaitForCommand(true);
            EXPECT_EQ(c.done(), yes);
        }
    }
}

// The void panel shares its field with the roll summary, the card's cut-off date with the uploads: what
// cannot be undone opens them empty, and Enter on an empty field sends nothing.
TEST_F(ConsoleGuards, PanelsForWhatCannotBeUndoneDoNotInheritTheirFields) {
    ShowActive();
    Trigger("CommandInvoiceSum");
    Type(F::InvoiceNumber, "123");
    Trigger("CommandInvalidateInvoice");
    EXPECT_EQ(Text(F::InvoiceNumber), QString());
    QTest::keyClick(W().Field(F::InvoiceNumber), Qt::Key_Return);

    Trigger("CommandInvoiceData");
    Type(F::CutOffYear, "2024");
    Type(F::CutOffMonth, "03");
    Type(F::CutOffDay, "31");
    Trigger("CommandWriteCard");
    for (ConsoleField f : {F::CutOffYear, F::CutOffMonth, F::CutOffDay}) EXPECT_EQ(Text(f), QString());
    for (ConsoleField f : {F::CutOffYear, F::CutOffMonth, F::CutOffDay}) QTest::keyClick(W().Field(f), Qt::Key_Return);
    EXPECT_TRUE(ui_->confirms.empty());
    EXPECT_TRUE(Requests().empty());
}

// A panel replaced by another gives up the focus: Enter on the new panel never reaches the old one's field
// or button.
TEST_F(ConsoleGuards, EnterActsOnlyOnThePanelOnShow) {
    ShowActive();
    Trigger("CommandInvoiceSum");
    QTest::keyClicks(W().Field(F::InvoiceNumber), "0000000123");
    ASSERT_EQ(QApplication::focusWidget(), W().Button("CommandSinInv"));
    W().ShowPanel(ConsolePanel::RollInstallation);
    QWidget* focus = W().focusWidget();
    EXPECT_TRUE(focus == nullptr || !W().Panel(ConsolePanel::SingleInvoice)->isAncestorOf(focus));
    for (QWidget* target : {static_cast<QWidget*>(W().Field(F::InvoiceNumber)),
                            static_cast<QWidget*>(W().Button("CommandSinInv")), focus}) {
        if (target == nullptr) continue;
        QTest::keyClick(target, Qt::Key_Return);
    }
    EXPECT_TRUE(Requests().empty());
}

// In a field the editing keys edit; the other menu keys still work from there.
TEST_F(ConsoleGuards, EditingKeysBelongToTheField) {
    ShowActive();
    struct Case {
        Qt::Key key;
        QString text, selected;
        ConsolePanel panel;
    };
    const Case cases[] = {
        {Qt::Key_Z, "", "", ConsolePanel::DayTrade},      // undo, not 获取出厂数据
        {Qt::Key_A, "20", "20", ConsolePanel::DayTrade},  // select all, not 关于
        {Qt::Key_K, "20", "", ConsolePanel::SelfTest},    // a menu key that edits nothing
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        Trigger("CommandDayTrade");
        QLineEdit* year = W().Field(F::DayTradeStartYear);
        year->clear();
        QTest::keyClicks(year, "20");
        year->deselect();
        QTest::keyClick(year, c.key, Qt::ControlModifier);
        EXPECT_EQ(year->text(), c.text);
        EXPECT_EQ(year->selectedText(), c.selected);
        EXPECT_EQ(W().VisiblePanel(), c.panel);
    }
    EXPECT_TRUE(Requests().empty());
}

}  // namespace
}  // namespace karvex::testing
