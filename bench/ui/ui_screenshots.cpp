// Screenshots for the README: the console at its 640 px during a print-data upload (its status bar's progress
// bar), the questions asked before what cannot be undone, and the data browser with its print data and its
// day-trade and roll charts. A manual step, not part of the tests: run it under Xvfb
// with a Chinese font installed (Debian: xvfb, fonts-noto-cjk), so that the windows are drawn as an operator
// sees them:
//
//   xvfb-run -a -s "-screen 0 1280x900x24" build/release/bench/ui/ui_screenshots docs/screenshots
//
// The virtual processor (karvex-sim) holds 180 issued invoices over two months and answers at 9600 baud, so
// that the upload takes long enough to be seen; the console is grabbed at its 60th frame.
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QCheckBox>
#include <QPixmap>
#include <QTabWidget>
#include <QTimer>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "browser/data_browser.h"
#include "console/widget_user_interface.h"
#include "commands/issuers.h"
#include "control/control_module.h"
#include "karvex/fiscal.h"
#include "link/result_codes.h"
#include "link/user_interface.h"
#include "store/store_access.h"

extern char** environ;

using namespace karvex;

namespace {

// The completion messages of the console's commands would wait for a click nobody gives.
class SilentUi : public UserInterface {
public:
    void ShowMessage(const std::string&, const std::string&) override {}
    bool AskYesNo(const std::string&, const std::string&) override { return false; }
    std::optional<std::string> AskText(const std::string&, const std::string&, const std::string&) override {
        return std::nullopt;
    }
};

void Save(QWidget* window, const QString& file);

// Shows the real question boxes, grabs each into `out/question-<name>.png` and answers it 否 (Esc).
class QuestionShots : public UserInterface {
public:
    QuestionShots(QString out) : out_(std::move(out)) {}
    QString name;
    void ShowMessage(const std::string&, const std::string&) override {}
    bool AskYesNo(const std::string&, const std::string&) override { return false; }
    bool AskToConfirm(const std::string& title, const std::string& text) override {
        const QString file = out_ + "/question-" + name + ".png";
        QTimer::singleShot(300, [file] {
            if (QWidget* box = QApplication::activeModalWidget()) {
                Save(box, file);
                box->close();
            }
        });
        return real_.AskToConfirm(title, text);
    }
    std::optional<std::string> AskText(const std::string&, const std::string&, const std::string&) override {
        return std::nullopt;
    }

private:
    QString out_;
    WidgetUserInterface real_;
};

void Save(QWidget* window, const QString& file) {
    window->raise();
    QApplication::processEvents();
    if (!window->grab().save(file))
        std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
    else
        std::printf("%s\n", qPrintable(file));
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    QDir().mkpath(out);
    char tmpl[] = "/tmp/karvex-shots-XXXXXX";
    const std::string dir = ::mkdtemp(tmpl);
    ::setenv("KARVEX_DATA_DIR", dir.c_str(), 1);
    const std::string deviceFile = dir + "/device";
    std::vector<std::string> args = {KARVEX_SIM_PATH, "--quiet",  "--rolls",       "2",
                                     "--invoices",    "180",      "--from",        "20240301",
                                     "--to",          "20240430", "--clock",       "20240430180000",
                                     "--pace",        "9600",     "--device-file", deviceFile};
    std::vector<char*> simArgv;
    for (auto& a : args) simArgv.push_back(a.data());
    simArgv.push_back(nullptr);
    pid_t sim = 0;
    if (::posix_spawn(&sim, KARVEX_SIM_PATH, nullptr, nullptr, simArgv.data(), environ) != 0) return 1;
    std::string device;
    for (int i = 0; i < 200 && device.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::ifstream in(deviceFile);
        std::getline(in, device);
    }
    ::setenv("KARVEX_COM1", device.c_str(), 1);
    int rc = 0;
    {
        Fiscal fiscal;
        ControlModule& m = ModuleOf(fiscal);
        if ((rc = fiscal.LoadFiscalForm()) != 0) {
            std::fprintf(stderr, "LoadFiscalForm: %s\n", qPrintable(fiscal.Description()));
        } else {
            fiscal.ShowFiscalForm(0, 0);
            QWidget* console = QApplication::activeWindow();
            for (QWidget* w : QApplication::topLevelWidgets())
                if (w->isVisible() && w->windowTitle() == QStringLiteral("税控器通讯软件")) console = w;
            // The console's own opening width, where the progress text must fit.
            if (console) console->resize(640, console->height());
            fiscal.SetUserInterface(std::make_shared<SilentUi>());
            fiscal.SetProgressCallback([&](const Progress& p) {
                if (p.received == 60 && !p.done && console) Save(console, out + "/console-upload.png");
            });
            m.SetCommandResult(result::kCommandUnderWay);
            IssueResult sent =
                IssuePrintData(m.MakeIssueContext(), false, {"", "", {"2024", "03", "01"}, {"2024", "04", "30"}});
            rc = sent.sent ? m.WaitForCommand(true) : sent.code;
            m.SetCommandResult(result::kCommandUnderWay);
            sent = IssueDayTrade(m.MakeIssueContext(), {"2024", "03", "01"}, {"2024", "04", "30"});
            if (sent.sent) m.WaitForCommand(true);
            fiscal.SetProgressCallback({});
            if (console) {
                auto questions = std::make_shared<QuestionShots>(out);
                fiscal.SetUserInterface(questions);
                const auto act = [console](const char* name) {
                    if (auto* a = console->findChild<QAction*>(name)) a->trigger();
                };
                const auto click = [console](const char* name) {
                    if (auto* b = console->findChild<QPushButton*>(name)) b->click();
                };
                questions->name = "initialize";
                act("CommandInitialize");
                questions->name = "void";
                act("CommandInvalidateInvoice");
                if (auto* f = console->findChild<QLineEdit*>("Text3_8")) f->setText("123");
                click("CommandSinInv");
                questions->name = "write-card";
                act("CommandWriteCard");
                for (const auto& [field, text] :
                     {std::pair{"Text3_20", "2024"}, {"Text3_21", "04"}, {"Text3_22", "30"}})
                    if (auto* f = console->findChild<QLineEdit*>(field)) f->setText(text);
                click("CommandDeclareCmd");
                questions->name = "echo-monitoring";
                act("CommandManageEchoplex");
                questions->name = "update-condo";
                act("CommandUpdateCondo");
                questions->name = "clear-store";
                act("CommandClearAccess");
                for (const char* box : {"Check3_6", "Check3_4"})
                    if (auto* c = console->findChild<QCheckBox*>(box)) c->click();
                click("CommandClearTab");
                questions->name = "clear-log";
                act("DailyFile");
                if (auto* a = console->findChild<QAction*>("ClearList")) a->trigger();
            }
        }
        fiscal.UnloadFicalForm(0);
    }
    ::kill(sim, SIGTERM);
    ::waitpid(sim, nullptr, 0);
    {
        StoreAccess store(dir);
        if (store.Open() != 0) {
            std::fprintf(stderr, "store: %s\n", store.LastErrorText().c_str());
        } else {
            // Roll summaries as the processor reports them, written here: two used rolls and one begun.
            store.Connection()->Exec(
                "INSERT INTO InvUseSum (发票代码发票起始号, 发票代码, 发票起始号, 发票终止号, 正常发票份数, 退票份数, "
                "废票份数, 正常发票总金额, 退票总金额, 开票起始时间, 开票截止时间) VALUES "
                "('1100000000010000000001', '110000000001', '0000000001', '0000000100', 92, 5, 3, 9210.5, 230, "
                "'20240301', '20240331'),"
                "('1100000000010000000101', '110000000001', '0000000101', '0000000200', 71, 4, 1, 7320, 160.5, "
                "'20240401', '20240425'),"
                "('1100000000010000000201', '110000000001', '0000000201', '0000000300', 12, 0, 1, 1350, 0, '20240426', "
                "'20240430')");
            Datashow browser(store.Connection());
            browser.show();
            for (int tab : {2, 3, 4}) {
                browser.TabStrip()->setCurrentIndex(tab - 1);
                QApplication::processEvents();
                Save(&browser, out + QStringLiteral("/browser-tab%1.png").arg(tab));
            }
        }
    }
    std::filesystem::remove_all(dir);
    return rc;
}
