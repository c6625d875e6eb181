// The log viewer window: opening beside the console, its pop-up menu, clearing and closing.
#include <QAction>
#include <QListView>
#include <QMenu>
#include <QScreen>

#include "console_fixture.h"
#include "log/log_viewer_window.h"

namespace karvex::testing {
namespace {

class ConsoleLogViewer : public ConsoleFixture {
protected:
    std::string ReadLog() const {
        std::ifstream in(dir_ + "/CommandFM.Vrm", std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    LogViewerWindow* OpenViewer() {
        EXPECT_EQ(ShowConsole(M(), 0, 0), 0);
        W().MenuItem("DailyFile")->trigger();
        return W().LogViewer();
    }
};

TEST_F(ConsoleLogViewer, OpensBesideTheConsoleWithTheLogLines) {
    M().Log().WriteLogLine("第一行");
    LogViewerWindow* v = OpenViewer();
    ASSERT_NE(v, nullptr);
    EXPECT_TRUE(v->isVisible());
    EXPECT_EQ(v->windowTitle(), QString("命令日志"));
    EXPECT_FALSE(v->isModal());
    // Side by side, centred together, same top and height.
    const int screenWidth = W().screen()->geometry().width();
    EXPECT_EQ(W().frameGeometry().left(), (screenWidth - W().frameGeometry().width() - v->frameGeometry().width()) / 2);
    EXPECT_EQ(v->frameGeometry().left(), W().frameGeometry().left() + W().frameGeometry().width());
    EXPECT_EQ(v->frameGeometry().top(), W().frameGeometry().top());
    EXPECT_EQ(v->height(), W().height());

    QAbstractItemModel* model = v->List()->model();
    ASSERT_NE(model, nullptr);
    ASSERT_GE(model->rowCount(), 1);
    EXPECT_TRUE(model->index(model->rowCount() - 1, 0).data().toString().endsWith("第一行"));
    EXPECT_EQ(v->List()->currentIndex().row(), model->rowCount() - 1);

    // A later line shows up and stays selected.
    M().Log().WriteLogLine("第二行");
    EXPECT_TRUE(model->index(model->rowCount() - 1, 0).data().toString().endsWith("第二行"));
    EXPECT_EQ(v->List()->currentIndex().row(), model->rowCount() - 1);
}

TEST_F(ConsoleLogViewer, RightButtonOnTheListPopsUpTheClearMenu) {
    LogViewerWindow* v = OpenViewer();
    ASSERT_NE(v, nullptr);
    QTest::mouseRelease(v->List()->viewport(), Qt::RightButton, {}, QPoint(5, 5));
    EXPECT_TRUE(v->ClearMenu()->isVisible());
    EXPECT_EQ(v->ClearMenu()->title(), QString("清除"));
    const QList<QAction*> items = v->ClearMenu()->actions();
    ASSERT_EQ(items.size(), 2);
    EXPECT_EQ(items[0]->text(), QString("清除日志"));
    EXPECT_EQ(items[1]->text(), QString("关闭日志"));
    v->ClearMenu()->hide();
}

TEST_F(ConsoleLogViewer, ClearLogEmptiesTheListAndTheFile) {
    M().Log().WriteLogLine("旧的一行");
    LogViewerWindow* v = OpenViewer();
    ASSERT_NE(v, nullptr);
    ASSERT_FALSE(ReadLog().empty());
    ui_->yesNoReplies.push_back(true);
    v->ClearLogAction()->trigger();
    EXPECT_EQ(v->List()->model()->rowCount(), 0);
    EXPECT_TRUE(ReadLog().empty());
    // The console keeps writing into the new file and the same viewer.
    M().Log().WriteLogLine("新的一行");
    EXPECT_EQ(v->List()->model()->rowCount(), 1);
    EXPECT_NE(ReadLog().find("\r\n"), std::string::npos);
}

TEST_F(ConsoleLogViewer, CloseLogUnloadsTheViewerAndRecentresTheConsole) {
    M().Log().WriteLogLine("一行");
    QPointer<LogViewerWindow> v = OpenViewer();
    ASSERT_NE(v, nullptr);
    v->CloseLogAction()->trigger();
    ASSERT_TRUE(WaitUntil([&] { return v.isNull(); }));
    EXPECT_EQ(W().LogViewer(), nullptr);
    EXPECT_FALSE(M().Log().HasViewer());
    const int screenWidth = W().screen()->geometry().width();
    EXPECT_EQ(W().frameGeometry().left(), (screenWidth - W().frameGeometry().width()) / 2);

    // The next write builds the list anew from the file; the next opening shows it.
    M().Log().WriteLogLine("再一行");
    v = OpenViewer();
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->List()->model()->rowCount(), 2);
}

TEST_F(ConsoleLogViewer, CloseBoxUnloadsTheViewerToo) {
    QPointer<LogViewerWindow> v = OpenViewer();
    ASSERT_NE(v, nullptr);
    v->close();
    ASSERT_TRUE(WaitUntil([&] { return v.isNull(); }));
    EXPECT_FALSE(M().Log().HasViewer());
}

TEST_F(ConsoleLogViewer, ViewerFollowsAModalConsole) {
    QTimer::singleShot(0, &W(), [this] {
        W().MenuItem("DailyFile")->trigger();
        ASSERT_NE(W().LogViewer(), nullptr);
        EXPECT_TRUE(W().LogViewer()->isModal());
        W().LogViewer()->close();
        W().MenuItem("Quit")->trigger();
    });
    EXPECT_EQ(ShowConsole(M(), 1, 0), 0);
}

TEST_F(ConsoleLogViewer, ViewerLeftOpenFollowsTheConsoleShownModalLater) {
    QPointer<LogViewerWindow> v = OpenViewer();
    ASSERT_NE(v, nullptr);
    EXPECT_FALSE(v->isModal());
    W().MenuItem("Quit")->trigger();
    ASSERT_TRUE(v->isVisible());
    QTimer::singleShot(0, &W(), [this, v] {
        W().MenuItem("DailyFile")->trigger();
        EXPECT_EQ(W().LogViewer(), v.data());
        EXPECT_TRUE(v->isModal());
        EXPECT_TRUE(v->isVisible());
        // Modal in fact, not only by its flag: a flag set while the window was on show does nothing.
        EXPECT_EQ(QApplication::activeModalWidget(), v.data());
        v->close();
        W().MenuItem("Quit")->trigger();
    });
    EXPECT_EQ(ShowConsole(M(), 1, 0), 0);
}

TEST_F(ConsoleLogViewer, ResizeKeepsTheListInsideTheMargins) {
    LogViewerWindow* v = OpenViewer();
    ASSERT_NE(v, nullptr);
    v->resize(500, 400);
    QCoreApplication::processEvents();
    EXPECT_EQ(v->List()->width(), 500 - 6);
    EXPECT_EQ(v->List()->height(), 400 - 20);
}

// The newest line is in view whenever the viewer is shown or resized, long lines and their horizontal
// scroll bar included.
TEST_F(ConsoleLogViewer, NewestLineIsInViewWhenShownAndResized) {
    for (int i = 0; i < 200; ++i) {
        M().Log().WriteLogLine("第" + std::to_string(i) + "行" + std::string(i % 7 ? 10 : 120, '-'));
    }
    M().Log().WriteLogLine("最新一行");
    LogViewerWindow* v = OpenViewer();
    ASSERT_NE(v, nullptr);
    QListView* list = v->List();
    auto newestInView = [list] {
        QCoreApplication::processEvents();
        const QModelIndex last = list->model()->index(list->model()->rowCount() - 1, 0);
        return last.data().toString().endsWith("最新一行") && list->viewport()->rect().contains(list->visualRect(last));
    };
    EXPECT_TRUE(newestInView()) << "opened";
    for (QSize size : {QSize(300, 200), QSize(600, 700), QSize(250, 150)}) {
        v->resize(size);
        EXPECT_TRUE(newestInView()) << size.width() << "x" << size.height();
    }
    v->hide();
    v->show();
    EXPECT_TRUE(newestInView()) << "shown again";
}

TEST_F(ConsoleLogViewer, UnloadingTheConsoleWithTheViewerOpenIsClean) {
    M().Log().WriteLogLine("一行");
    ASSERT_NE(OpenViewer(), nullptr);
    DetachConsole(M());
    EXPECT_EQ(FindConsole(M()), nullptr);
    EXPECT_EQ(M().FormUnload(), 0);
    m_.reset();
}

}  // namespace
}  // namespace karvex::testing
