#pragma once
// A Fiscal control wired to a virtual processor on a pseudo-terminal, in a data directory of its own.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "control/control_module.h"
#include "convert/conversions.h"
#include "karvex/fiscal.h"
#include "link/user_interface.h"
#include "simulator.h"
#include "../support/scripted_ui.h"

namespace karvex::testing {

class FiscalFixture : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/karvex-ctl-XXXXXX";
        dir_ = mkdtemp(tmpl);
        ::setenv("KARVEX_DATA_DIR", dir_.c_str(), 1);
        StartSimulator();
        ::setenv("KARVEX_COM1", sim_->device_path().c_str(), 1);
        fiscal_ = std::make_unique<Fiscal>();
        ui_ = std::make_shared<ScriptedUi>();
        fiscal_->SetUserInterface(ui_);
        // 31 ticks of 2 ms: a lost answer ends in about 60 ms instead of half a minute.
        fiscal_->Module().SetTickInterval(std::chrono::milliseconds(tickMs_));
    }

    void TearDown() override {
        if (fiscal_) fiscal_->UnloadFicalForm(0);
        fiscal_.reset();
        if (sim_) sim_->stop();
        sim_.reset();
        SetClock({});
        ::unsetenv("KARVEX_COM1");
        ::unsetenv("KARVEX_COM3");
        std::filesystem::remove_all(dir_);
    }

    void StartSimulator() {
        sim::SimOptions options;
        options.quiet = true;
        options.clock = sim::DateTime{2024, 3, 15, 10, 30, 0};
        sim_ = std::make_unique<sim::Simulator>(options);
        std::string error;
        ASSERT_TRUE(sim_->start(&error)) << error;
    }

    std::string ReadLog() const {
        std::ifstream in(dir_ + "/CommandFM.Vrm", std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    std::vector<std::string> ViewerLines() {
        auto& v = fiscal_->Module().Log().Viewer();
        return {v.Lines().begin(), v.Lines().end()};
    }

    // Runs the event loop for a while (e.g. to let a late answer arrive and be dropped).
    static void Spin(int ms) {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }

    int tickMs_ = 2;
    std::string dir_;
    std::unique_ptr<sim::Simulator> sim_;
    std::unique_ptr<Fiscal> fiscal_;
    std::shared_ptr<ScriptedUi> ui_;
};

}  // namespace karvex::testing
