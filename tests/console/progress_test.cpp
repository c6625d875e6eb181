// The progress of a multi-packet answer: its figures, the console's progress bar and the host's callback.
#include <QLabel>
#include <QProgressBar>
#include <QStatusBar>
#include <qpa/qwindowsysteminterface.h>

#include "console_fixture.h"
#include "commands/issuers.h"
#include "control/packet_progress.h"

namespace karvex::testing {
namespace {

using namespace std::chrono_literals;

// The figures from frame times: the first frame only starts the clock; the rate counts the frames after it;
// the time left is what the announced frames take at that rate; a 255 byte means at least 255 to come.
TEST(PacketProgressFigures, RateTotalAndTimeLeftFromTheFrames) {
    const PacketProgress::TimePoint t0{};
    const struct {
        int received, toFollow;
        std::chrono::milliseconds at;
        int total;
        double fps;
        int left;
    } frames[] = {
        {1, 255, 0ms, 256, 0, -1}, {2, 255, 500ms, 257, 2, 128}, {3, 4, 1000ms, 7, 2, 2}, {7, 0, 2000ms, 7, 3, 0}};
    PacketProgress progress;
    for (const auto& f : frames) {
        const Progress p = progress.Frame("日交易数据", f.received, f.toFollow, t0 + f.at);
        EXPECT_EQ(p.label, QString("日交易数据"));
        EXPECT_EQ(p.total, f.total) << f.received;
        EXPECT_DOUBLE_EQ(p.framesPerSecond, f.fps) << f.received;
        EXPECT_EQ(p.secondsLeft, f.left) << f.received;
        EXPECT_FALSE(p.done);
    }
    ASSERT_TRUE(progress.Active());
    const Progress end = progress.Done();
    EXPECT_TRUE(end.done);
    EXPECT_EQ(end.received, 7);
    EXPECT_FALSE(progress.Active());
    // A new answer starts its own clock.
    EXPECT_EQ(progress.Frame("x", 1, 3, t0 + 10s).framesPerSecond, 0);
    EXPECT_EQ(progress.Frame("x", 2, 2, t0 + 11s).framesPerSecond, 1);
}

class ConsoleProgress : public ConsoleFixture {};

// A paced five-frame answer: every frame moves the status bar's progress bar (the data kind, k of 5, a rate
// and the time left) and reaches the host's callback with the same figures; once the answer is stored the bar
// is gone, the host hears `done` once, and the packet panel keeps its count.
TEST_F(ConsoleProgress, BarAndCallbackFollowAPacedMultiPacketAnswer) {
    sim_->inject({.command = 0x39, .kind = sim::FaultKind::PacketDelay, .arg = 20});
    struct Seen {
        Progress p;
        bool barVisible;
        QString barText;
    };
    std::vector<Seen> seen;
    QProgressBar* bar = W().ProgressBar();
    ASSERT_NE(bar, nullptr);
    M().SetProgressCallback([&](const Progress& p) { seen.push_back({p, !bar->isHidden(), bar->text()}); });
    EXPECT_TRUE(bar->isHidden());
    ExpectUnderWay();
    ASSERT_EQ(M().IssueBare(0x39, kCallerConsole), 0);
    ASSERT_EQ(AwaitAnswer(), 0);

    ASSERT_EQ(seen.size(), 6u);
    for (int k = 1; k <= 5; ++k) {
        const Seen& s = seen[static_cast<std::size_t>(k - 1)];
        EXPECT_EQ(s.p.received, k);
        EXPECT_EQ(s.p.total, 5);
        EXPECT_FALSE(s.p.done);
        EXPECT_TRUE(s.barVisible) << k;
        EXPECT_TRUE(s.barText.startsWith(QString("税种税目信息  %1/5  ").arg(k))) << s.barText.toStdString();
        if (k > 1) {
            EXPECT_GT(s.p.framesPerSecond, 0) << k;
            EXPECT_GE(s.p.secondsLeft, 0) << k;
        }
    }
    EXPECT_TRUE(seen.back().p.done);
    EXPECT_EQ(seen.back().p.received, 5);
    EXPECT_FALSE(seen.back().barVisible);
    EXPECT_TRUE(bar->isHidden());
    EXPECT_EQ(W().findChild<QLabel*>("StatusPanel5")->text(), QString("处理包数： 5   "));

    // A one-frame answer shows no bar and calls nobody.
    seen.clear();
    ExpectUnderWay();
    ASSERT_EQ(M().IssueBare(0x33, kCallerConsole), 0);
    AwaitAnswer();
    EXPECT_TRUE(seen.empty());
}

// At the console's 640 px the progress text still shows the count, the rate and the time left: the kind's
// name gives way in the middle, and the bar stays inside the window.
TEST_F(ConsoleProgress, ProgressTextFitsTheBarAt640Pixels) {
    ShowActive();
    W().resize(640, W().height());
    struct Case {
        const char* label;
        int received, total;
        double fps;
        int left;
        const char* count;
    };
    const Case cases[] = {
        {"发票打印数据", 715, 970, 16.2, 15, "715/≥970"},
        {"发票打印数据", 19999, 20254, 999.9, 9999, "19999/≥20254"},
        {"税种税目信息", 3, 5, 2.0, 1, "3/5"},
    };
    QProgressBar* bar = W().ProgressBar();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.count);
        W().ShowProgress(Progress{c.label, c.received, c.total, c.fps, c.left, false});
        QCoreApplication::processEvents();
        const QString text = bar->text();
        EXPECT_LE(bar->fontMetrics().horizontalAdvance(text), bar->contentsRect().width()) << text.toStdString();
        for (const QString& part : {QString(c.count), QString::number(c.fps, 'f', 1), QString::number(c.left)})
            EXPECT_TRUE(text.contains(part)) << text.toStdString() << " lacks " << part.toStdString();
        EXPECT_TRUE(W().statusBar()->rect().contains(bar->geometry()));
    }
}

class ConsoleStoring : public ConsoleFixture {
protected:
    // Forty spare rolls: the list of dispensed rolls is a long multi-packet answer, replayed after its last
    // frame; sixty invoices: a print-data upload, stored as its frames arrive.
    ConsoleStoring() {
        simOptions_.seed.spare_rolls = 40;
        simOptions_.seed.invoices = 60;
        simOptions_.seed.from = simOptions_.seed.to = 20240301;
    }
};

// Keys are taken while a long answer is stored, not held back until it is: a key pressed as storing starts
// is in its field before storing ends, while 数据查询 (which would reach into the store) waits for the end,
// whether the answer is replayed after its last frame or stored as its frames arrive. Inside the replay a
// host's unload or a port change waits too.
TEST_F(ConsoleStoring, KeysAreTakenWhileALongAnswerIsStored) {
    ShowActive();
    M().SetStoringYieldInterval(0ms);
    const RangeInput range{"", "", {"2024", "03", "01"}, {"2024", "03", "01"}};
    const struct {
        const char* answer;
        std::function<int()> send;
        bool replayed;
    } answers[] = {
        {"dispensed rolls", [&] { return M().IssueBare(0x32, kCallerConsole); }, true},
        {"print data", [&] { return IssuePrintData(M().MakeIssueContext(), false, range).code; }, false},
    };
    for (const auto& a : answers) {
        SCOPED_TRACE(a.answer);
        W().ShowPanel(ConsolePanel::SingleInvoice);
        QLineEdit* field = W().Field(F::InvoiceNumber);
        field->clear();
        field->setFocus();
        QAction* query = W().MenuItem("DataQuery");
        bool storing = false;
        QString typedWhileStoring;
        std::vector<int> refusals;
        const QMetaObject::Connection watch = QObject::connect(query, &QAction::changed, field, [&] {
            if (!query->isEnabled() && !storing) {
                storing = true;
                if (a.replayed) refusals = {M().FormUnload(), M().OpenComm(2, 1)};
                for (QEvent::Type t : {QEvent::KeyPress, QEvent::KeyRelease})
                    QWindowSystemInterface::handleKeyEvent<QWindowSystemInterface::AsynchronousDelivery>(
                        W().windowHandle(), t, Qt::Key_5, Qt::NoModifier, QStringLiteral("5"));
            } else if (query->isEnabled() && storing) {
                typedWhileStoring = field->text();
            }
        });
        ExpectUnderWay();
        ASSERT_EQ(a.send(), 0);
        ASSERT_EQ(AwaitAnswer(), 0);
        QObject::disconnect(watch);
        EXPECT_TRUE(storing);
        EXPECT_EQ(typedWhileStoring, QString("5"));
        if (a.replayed) {
            EXPECT_EQ(refusals, (std::vector<int>{result::kCommandInFlight, result::kCommandInFlight}));
        }
        EXPECT_TRUE(M().PortOpen());
        EXPECT_TRUE(query->isEnabled());
    }
}

}  // namespace
}  // namespace karvex::testing
