// The menu bar: captions with their access keys, shortcuts, order, hidden entries, and what the entries do.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QSet>
#include <QWidget>

#include <map>

#include "console_fixture.h"

namespace karvex::testing {
namespace {

using ConsoleMenus = ConsoleFixture;

// Every entry an operator can pick says what it is, can be reached by keyboard, and no key runs two entries.
TEST_F(ConsoleMenus, EveryEntryHasACaptionAndAShortcutOfItsOwn) {
    EXPECT_EQ(W().windowTitle(), QString("税控器通讯软件"));
    std::map<QString, QString> shortcuts;
    QSet<QChar> menuKeys;
    int entries = 0;
    for (QAction* menuAction : W().menuBar()->actions()) {
        SCOPED_TRACE(menuAction->objectName().toStdString());
        ASSERT_NE(menuAction->menu(), nullptr);
        EXPECT_EQ(W().MenuItem(menuAction->objectName()), menuAction);
        // Alt and the menu's letter opens it: two menus on one letter would leave one out of reach.
        const qsizetype amp = menuAction->text().indexOf('&');
        ASSERT_GE(amp, 0);
        EXPECT_FALSE(menuKeys.contains(menuAction->text()[amp + 1].toUpper()));
        menuKeys.insert(menuAction->text()[amp + 1].toUpper());
        for (QAction* item : menuAction->menu()->actions()) {
            if (item->isSeparator()) continue;
            SCOPED_TRACE(item->objectName().toStdString());
            ++entries;
            EXPECT_EQ(W().MenuItem(item->objectName()), item);
            EXPECT_FALSE(QString(item->text()).remove('&').trimmed().isEmpty());
            const QString key = item->shortcut().toString();
            EXPECT_FALSE(key.isEmpty());
            EXPECT_TRUE(shortcuts.emplace(key, item->objectName()).second)
                << key.toStdString() << " also runs " << shortcuts[key].toStdString();
        }
    }
    EXPECT_GE(entries, 30);
}

// The entries that open a panel: the right panel, under the title of the command it will send, with nothing
// sent yet. Emptying the store is kept out of the visible menus.
TEST_F(ConsoleMenus, PanelEntriesOpenTheirPanelAndSendNothing) {
    struct Case {
        const char* item;
        const char* shortcut;
        ConsolePanel panel;
        const char* title;
    };
    const Case cases[] = {
        {"CommandPrintData", "Ctrl+P", ConsolePanel::PrintData, "获取"},
        {"CommandDayTrade", "Ctrl+Y", ConsolePanel::DayTrade, "日交易数据上传"},
        {"CommandInvoiceSum", "Ctrl+N", ConsolePanel::SingleInvoice, "单卷发票使用"},
        {"CommandInvalidateInvoice", "F8", ConsolePanel::SingleInvoice, "    废票"},
        {"CommandInvoiceData", "Ctrl+W", ConsolePanel::CutOffDate, "发票数据上传"},
        {"CommandWriteCard", "F4", ConsolePanel::CutOffDate, "申报数据写卡"},
        {"CommandDeclareData", "Ctrl+F4", ConsolePanel::CutOffDate, "申报数据上传"},
        {"CommandIdiograph", "Ctrl+J", ConsolePanel::Signing, "数据签名"},
        {"CommandCheckWriteCard", "Ctrl+F5", ConsolePanel::CheckCard, "核查数据写卡"},
        {"CommandCheckSelf", "Ctrl+K", ConsolePanel::SelfTest, "税控器自检"},
        {"CommSetting", "Ctrl+F7", ConsolePanel::SerialSettings, "系统参数设置"},
        {"CommandAbout", "Ctrl+A", ConsolePanel::About, "税控器通讯软件"},
        {"CommandClearAccess", "Ctrl+F1", ConsolePanel::StoreClearing, "清空数据库"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.item);
        QAction* item = W().MenuItem(c.item);
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(item->shortcut(), QKeySequence(QString(c.shortcut)));
        EXPECT_EQ(item->isVisible(), c.panel != ConsolePanel::StoreClearing);
        W().ShowPanel(ConsolePanel::None);
        item->trigger();
        EXPECT_EQ(W().VisiblePanel(), c.panel);
        EXPECT_EQ(W().PanelTitle(c.panel)->text(), QString(c.title));
    }
    EXPECT_TRUE(Requests().empty());
}

// Scripts find the controls by object name: the names stay fixed, whatever the console calls them inside.
TEST_F(ConsoleMenus, ControlsKeepTheirDescribedNames) {
    const std::pair<const char*, QObject*> named[] = {
        {"Text3_0", W().Field(F::PrintStartNumber)},
        {"Text3_8", W().Field(F::InvoiceNumber)},
        {"Text3_11", W().Field(F::DayTradeStartYear)},
        {"Text3_19", W().Field(F::ProductionDay)},
        {"Text3_23", W().Field(F::MachineNumber)},
        {"Text3_25", W().Field(F::SoftwareVersion)},
        {"Text3_30", W().Field(F::SigningData)},
        {"Text3_31", W().Field(F::CardBytes)},
        {"Text3_37", W().Field(F::CheckEndDay)},
        {"Picture1_8", W().Panel(ConsolePanel::RollInstallation)},
        {"Option3_3", W().Choice(ConsoleChoice::SigningDecimal)},
        {"Option5_1", W().Choice(ConsoleChoice::CheckByDates)},
        {"Check2_4", W().SelfTestCheck(SelfTestBox::Lamps)},
        {"Label3_34", W().SelfTestVerdict(SelfTestBox::Ram)},
        {"Check3_13", W().ClearAllCheck()},
        {"Label3_49", W().ClearState(12)},
        {"Combo2_0", W().PrinterPortList()},
        {"Combo1", W().CardPowerList()},
        {"List1", W().RollList()},
    };
    for (const auto& [name, control] : named) {
        ASSERT_NE(control, nullptr) << name;
        EXPECT_EQ(W().findChild<QObject*>(name), control) << name;
    }
}

TEST_F(ConsoleMenus, PanelFramePopUpClosesEveryPanel) {
    ShowActive();
    // The pop-up is no part of the menu bar.
    for (QAction* a : W().menuBar()->actions()) EXPECT_NE(a->objectName(), QString("ClosePicture"));
    EXPECT_EQ(W().ClosePictureMenu()->title(), QString("关闭Pic"));
    ASSERT_EQ(W().ClosePictureMenu()->actions().size(), 1);
    EXPECT_EQ(W().ClosePictureMenu()->actions()[0]->text(), QString("关闭"));

    Trigger("CommandAbout");
    EXPECT_EQ(W().VisiblePanel(), ConsolePanel::About);
    QWidget* panel = W().Panel(ConsolePanel::About);
    QTest::mouseRelease(panel, Qt::RightButton, {}, QPoint(5, 5));
    EXPECT_TRUE(W().ClosePictureMenu()->isVisible());
    W().MenuItem("PicClose")->trigger();
    W().ClosePictureMenu()->hide();
    EXPECT_EQ(W().VisiblePanel(), ConsolePanel::None);
}

TEST_F(ConsoleMenus, ShowPanelKeepsAtMostOnePanelOnShow) {
    for (int n = 0; n < ConsoleWindow::kPanelCount; ++n) {
        W().ShowPanel(static_cast<ConsolePanel>(n));
        for (int i = 0; i < ConsoleWindow::kPanelCount; ++i) {
            EXPECT_EQ(!W().Panel(static_cast<ConsolePanel>(i))->isHidden(), i == n);
        }
    }
    W().ShowPanel(ConsolePanel::None);
    EXPECT_EQ(W().VisiblePanel(), ConsolePanel::None);
}

TEST_F(ConsoleMenus, OnlineEntryHidesPanelsSendsTheBareRequestAndShowsTheLinkState) {
    Trigger("CommandAbout");
    ExpectUnderWay();
    Trigger("CommandOnline");
    EXPECT_EQ(W().VisiblePanel(), ConsolePanel::None);
    EXPECT_EQ(AwaitAnswer(), 0);
    EXPECT_EQ(LastRequest(), "1B 10 00 00 05 44 D0");
    EXPECT_EQ(M().Status().link, "已联机");
    EXPECT_EQ(W().findChild<QLabel*>("StatusPanel2")->text(), QString("已联机"));
    EXPECT_EQ(W().findChild<QLabel*>("StatusPanel4")->text(), QString("COM1"));
}

TEST_F(ConsoleMenus, DirectEntriesSendTheirCommands) {
    const std::vector<std::pair<const char*, const char*>> entries = {
        {"CommandMachineState", "41"},   {"CommandGetTime", "3A"},        {"CommandGetMachineData", "37"},
        {"CommandTaxInformation", "39"}, {"CommandCurrentInvoice", "33"}, {"CommandGetTotalSum", "BA"}};
    for (const auto& [item, code] : entries) {
        SCOPED_TRACE(item);
        ExpectUnderWay();
        Trigger(item);
        EXPECT_EQ(AwaitAnswer(), 0);
        EXPECT_EQ(WithoutCrc(LastRequest()), std::string("1B 10 ") + code + " 00 05");
    }
}

TEST_F(ConsoleMenus, SetTimeAsksForTheTimeAndSendsItAsBcd) {
    ui_->textReplies.push_back(std::string("23:59:58"));
    ExpectUnderWay();
    Trigger("CommandSetTime");
    EXPECT_EQ(AwaitAnswer(), 0);
    EXPECT_EQ(WithoutCrc(LastRequest()), "1B 10 3B 00 08 23 59 58");
}

TEST_F(ConsoleMenus, DataQueryHidesThePanelsAndOpensTheBrowserModal) {
    ShowActive();
    Trigger("CommandAbout");
    QString browserTitle;
    // The browser runs modal; it is closed from inside its own loop.
    QTimer::singleShot(0, &W(), [&browserTitle] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            browserTitle = modal->windowTitle();
            modal->close();
        }
    });
    Trigger("DataQuery");
    EXPECT_EQ(W().VisiblePanel(), ConsolePanel::None);
    EXPECT_EQ(browserTitle, QString("数据显示"));
}

TEST_F(ConsoleMenus, ReadMeDoesNothingAndAboutShowsTheProgramAndVersion) {
    Trigger("CommandReadMe");
    EXPECT_EQ(W().VisiblePanel(), ConsolePanel::None);
    EXPECT_TRUE(Requests().empty());
    Trigger("CommandAbout");
    EXPECT_EQ(W().VisiblePanel(), ConsolePanel::About);
    EXPECT_EQ(W().PanelTitle(ConsolePanel::About)->text(), QString("税控器通讯软件"));
    EXPECT_TRUE(W().findChild<QLabel*>("AboutVersion")->text().startsWith("软件版本："));
    EXPECT_TRUE(W().findChild<QLabel*>("AboutDate")->text().startsWith("发布日期："));
}

TEST_F(ConsoleMenus, QuitHidesTheConsoleRestoresTheHostAndTheNextShowKeepsThePanel) {
    QWidget host;
    host.show();
    const auto handle = static_cast<std::int64_t>(host.winId());
    ASSERT_EQ(ShowConsole(M(), 0, handle), 0);
    EXPECT_TRUE(W().isVisible());
    EXPECT_FALSE(host.isVisible());
    EXPECT_EQ(M().HostWindow(), handle);
    Trigger("CommandDayTrade");
    Type(F::DayTradeStartYear, "2024");

    Trigger("Quit");
    EXPECT_FALSE(W().isVisible());
    EXPECT_TRUE(host.isVisible());

    ASSERT_EQ(ShowConsole(M(), 0, 0), 0);
    EXPECT_EQ(W().VisiblePanel(), ConsolePanel::DayTrade);
    EXPECT_EQ(Text(F::DayTradeStartYear), QString("2024"));
}

TEST_F(ConsoleMenus, CloseBoxOnlyHidesTheConsole) {
    ASSERT_EQ(ShowConsole(M(), 0, 0), 0);
    W().close();
    EXPECT_FALSE(W().isVisible());
    EXPECT_EQ(FindConsole(M()), &W());
    EXPECT_TRUE(M().PortOpen());
}

TEST_F(ConsoleMenus, ModalShowReturnsOnceTheConsoleIsClosed) {
    QTimer::singleShot(0, &W(), [this] {
        EXPECT_TRUE(W().isModal());
        Trigger("Quit");
    });
    EXPECT_EQ(ShowConsole(M(), 1, 0), 0);
    EXPECT_EQ(M().ConsoleModal(), 1);
    EXPECT_FALSE(W().isVisible());
}

TEST_F(ConsoleMenus, ConsoleGivesRealDialoguesOnlyToAModuleWithoutItsOwn) {
    // The fixture's scripted dialogues stay in place.
    EXPECT_EQ(&M().Ui(), ui_.get());
    ControlModule other;
    other.SetTickInterval(std::chrono::milliseconds(2));
    ConsoleWindow* w = AttachConsole(other);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(dynamic_cast<SilentUserInterface*>(&other.Ui()), nullptr);
    EXPECT_EQ(AttachConsole(other), w);
    DetachConsole(other);
    EXPECT_EQ(FindConsole(other), nullptr);
}

}  // namespace
}  // namespace karvex::testing

#include <QDialog>
#include <QMessageBox>
#include <QStyle>

#include "console/widget_user_interface.h"

namespace karvex::testing {
namespace {

// The dialogue boxes speak the console's language, whatever translations the host has loaded.
TEST(ConsoleDialogues, BoxesHaveChineseButtons) {
    WidgetUserInterface ui;
    QStringList seen;
    auto answer = [&seen](QMessageBox::StandardButton press) {
        QTimer::singleShot(0, [&seen, press] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr) return;
            for (QAbstractButton* b : box->buttons()) seen << b->text();
            box->button(press)->click();
        });
    };
    answer(QMessageBox::No);
    EXPECT_FALSE(ui.AskYesNo("收款机", "清空选择的数据库？"));
    EXPECT_TRUE(seen.contains(QString("是(&Y)")));
    EXPECT_TRUE(seen.contains(QString("否(&N)")));
    seen.clear();
    answer(QMessageBox::Ok);
    ui.ShowMessage("参数设置", "系统参数设置成功");
    EXPECT_EQ(seen, QStringList{QString("确定")});
}

}  // namespace
}  // namespace karvex::testing

namespace karvex::testing {
namespace {

// A box under a short text is still as wide as its title in the title bar: the title text and the bar's
// icon and three buttons, each about as wide as the bar is high.
TEST(ConsoleDialogues, BoxesAreAsWideAsTheirTitles) {
    WidgetUserInterface ui;
    const char* titles[] = {"联机", "初始化", "设置时间"};
    for (const char* title : titles) {
        SCOPED_TRACE(title);
        int width = 0;
        int needed = 0;
        auto measure = [&] {
            QTimer::singleShot(0, [&] {
                QWidget* box = QApplication::activeModalWidget();
                if (box == nullptr) return;
                const QFontMetrics fm(QApplication::font("QMdiSubWindowTitleBar"));
                needed = fm.horizontalAdvance(box->windowTitle()) +
                         4 * box->style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, box);
                width = box->width();
                if (auto* m = qobject_cast<QMessageBox*>(box)) {
                    m->buttons().first()->click();
                } else if (auto* d = qobject_cast<QDialog*>(box)) {
                    d->reject();
                }
            });
        };
        measure();
        ui.ShowMessage(title, "成功");
        EXPECT_GE(width, needed) << "message";
        measure();
        ui.AskYesNo(title, "是否");
        EXPECT_GE(width, needed) << "question";
        measure();
        ui.AskText(title, "时间", "");
        EXPECT_GE(width, needed) << "input";
        EXPECT_GT(needed, 0);
    }
}

TEST_F(ConsoleMenus, CommandsAreUnavailableWhileOneIsInFlight) {
    auto* why = W().findChild<QLabel*>("StatusPanel3");
    ExpectUnderWay();
    Trigger("CommandTaxInformation");
    ASSERT_TRUE(M().InFlight());
    for (const char* menu : {"MachineData", "InvoiceCommand", "InvoiceData", "DeclareData"})
        EXPECT_FALSE(W().MenuItem(menu)->isEnabled()) << menu;
    EXPECT_FALSE(W().MenuItem("CommandCurrentInvoice")->isEnabled()) << "F7 is off too";
    EXPECT_FALSE(W().Button("CommandInvoice")->isEnabled());
    EXPECT_TRUE(W().MenuItem("DailyFile")->isEnabled()) << "the log stays at hand";
    EXPECT_EQ(why->text(), QString::fromUtf8("命令执行中，请等待税控器应答"));
    Trigger("CommandCurrentInvoice");
    EXPECT_EQ(M().Command().code, 0x39);

    EXPECT_EQ(AwaitAnswer(), 0);
    EXPECT_EQ(Requests().size(), 1u);
    EXPECT_TRUE(W().MenuItem("CommandCurrentInvoice")->isEnabled());
    EXPECT_TRUE(W().Button("CommandInvoice")->isEnabled());
    EXPECT_EQ(why->text(), QString());
}

}  // namespace
}  // namespace karvex::testing
