#pragma once
// A Fiscal control wired to a virtual processor on a pseudo-terminal, in a data directory of its own.
#include <gtest/gtest.h>

#include <QTimer>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "control/control_module.h"
#include "convert/conversions.h"
#include "karvex/fiscal.h"
#include "link/user_interface.h"
#include "support/event_loop.h"
#include "support/processor.h"
#include "support/scripted_ui.h"
#include "support/temp_dir.h"

namespace karvex::testing {

class FiscalFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("KARVEX_DATA_DIR", dir_.c_str(), 1);
        StartSimulator();
        ::setenv("KARVEX_COM1", sim_->device_path().c_str(), 1);
        fiscal_ = std::make_unique<Fiscal>();
        ui_ = std::make_shared<ScriptedUi>();
        fiscal_->SetUserInterface(ui_);
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
    }

    void StartSimulator() {
        sim_ = StartProcessor();
        ASSERT_NE(sim_, nullptr);
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

    // Runs `call` with ticks of a few milliseconds, so that a time-out the test expects comes after about
    // 150 ms instead of half a minute, then gives the link its usual tick back.
    template <class Call>
    auto WithShortTicks(Call&& call, int ms = 5) {
        ControlModule& m = fiscal_->Module();
        const auto usual = m.TickInterval();
        m.SetTickInterval(std::chrono::milliseconds(ms));
        auto result = call();
        m.SetTickInterval(usual);
        return result;
    }

    // The link's own one-second tick: an answer that comes only once the processor's thread gets a core must
    // not be 31 short ticks too late on a busy machine. Tests that wait for a time-out shorten it around the
    // call that times out (WithShortTicks).
    int tickMs_ = 1000;
    TempDir tmp_{"karvex-ctl"};
    std::string dir_ = tmp_.path();
    std::unique_ptr<sim::Simulator> sim_;
    std::unique_ptr<Fiscal> fiscal_;
    std::shared_ptr<ScriptedUi> ui_;
};

}  // namespace karvex::testing
