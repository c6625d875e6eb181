#pragma once
// A control module with its console window, wired to a virtual processor on a pseudo-terminal, in a data
// directory of its own, with dialogues answered from a script.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <QAction>
#include <QPushButton>

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "console/console.h"
#include "console/console_window.h"
#include "control/control_module.h"
#include "link/result_codes.h"
#include "link/user_interface.h"
#include "support/event_loop.h"
#include "support/processor.h"
#include "support/scripted_ui.h"
#include "support/temp_dir.h"

namespace karvex::testing {

using F = ConsoleField;

class ConsoleFixture : public ::testing::Test {
protected:
    void SetUp() override {
        sim_ = StartProcessor(simOptions_);
        ASSERT_NE(sim_, nullptr);
        Settings settings;
        settings.dataDirectory = dir_;
        settings.devices[1] = sim_->device_path();
        // A port that cannot be opened.
        settings.devices[2] = dir_ + "/no-such-device";

        m_ = std::make_unique<ControlModule>(std::move(settings));
        ui_ = std::make_shared<ScriptedUi>();
        m_->SetUserInterface(ui_);
        // The link's own one-second tick: no console test waits for a time-out, and a short one would end a
        // command whose answer merely comes late on a busy machine.
        m_->SetTickInterval(std::chrono::milliseconds(1000));
        ASSERT_EQ(m_->FormLoad(), 0);
        ASSERT_EQ(m_->OpenComm(1, 1), 0);
        w_ = AttachConsole(*m_);
        ASSERT_NE(w_, nullptr);
    }

    void TearDown() override {
        if (m_) {
            DetachConsole(*m_);
            m_->FormUnload();
        }
        m_.reset();
        if (sim_) sim_->stop();
        sim_.reset();
    }

    ControlModule& M() { return *m_; }
    ConsoleWindow& W() { return *w_; }

    // Shows the console and makes it the active window, so that focus moves can be watched.
    void ShowActive() {
        ASSERT_EQ(ShowConsole(M(), 0, 0), 0);
        QApplication::setActiveWindow(w_);
        ASSERT_TRUE(QTest::qWaitForWindowActive(w_));
    }

    void Trigger(const char* item) {
        QAction* a = W().MenuItem(item);
        ASSERT_NE(a, nullptr) << item;
        a->trigger();
    }

    void Click(const char* button) {
        QPushButton* b = W().Button(button);
        ASSERT_NE(b, nullptr) << button;
        b->click();
    }

    void Type(ConsoleField field, const QString& text) {
        QLineEdit* e = W().Field(field);
        ASSERT_NE(e, nullptr) << static_cast<int>(field);
        e->clear();
        QTest::keyClicks(e, text);
    }
    QString Text(ConsoleField field) { return W().Field(field)->text(); }

    // Marks a console command as under way and waits for its completion (or the short time-out).
    int AwaitAnswer() { return M().WaitForCommand(); }
    void ExpectUnderWay() { M().SetCommandResult(result::kCommandUnderWay); }

    // Every complete request frame the processor took, in order, as spaced hexadecimal.
    std::vector<std::string> Requests() const { return RequestLines(*sim_); }
    std::string LastRequest() const {
        auto r = Requests();
        return r.empty() ? std::string() : r.back();
    }
    // The request without its two CRC bytes.
    static std::string WithoutCrc(const std::string& frame) {
        return frame.size() >= 6 ? frame.substr(0, frame.size() - 6) : frame;
    }

    std::vector<std::string> Titles(const std::vector<ScriptedUi::Box>& boxes) const {
        std::vector<std::string> out;
        for (const auto& b : boxes) out.push_back(b.title + "|" + b.text);
        return out;
    }

    // What the virtual processor starts with; a fixture may change it in its constructor.
    sim::SimOptions simOptions_;
    TempDir tmp_{"karvex-console"};
    std::string dir_ = tmp_.path();
    std::unique_ptr<sim::Simulator> sim_;
    std::unique_ptr<ControlModule> m_;
    std::shared_ptr<ScriptedUi> ui_;
    ConsoleWindow* w_ = nullptr;
};

}  // namespace karvex::testing
