#pragma once
// A Fiscal control wired to a virtual processor on a pseudo-terminal, in a data directory of its own.
#include <gtest/gtest.h>

#include <QTimer>

#include <chrono>
#include <cstdlib>
#include <ctime>
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
        StartSimulator();
        fiscal_ = std::make_unique<Fiscal>(FixtureSettings());
        ui_ = std::make_shared<ScriptedUi>();
        fiscal_->SetUserInterface(ui_);
        ModuleOf(*fiscal_).SetTickInterval(std::chrono::milliseconds(tickMs_));
    }

    void TearDown() override {
        if (fiscal_) fiscal_->UnloadFicalForm(0);
        fiscal_.reset();
        if (sim_) sim_->stop();
        sim_.reset();
        SetClock({});
    }

    // The control's own data directory, port 1 on the processor.
    Settings FixtureSettings() const {
        Settings s;
        s.dataDirectory = dir_;
        s.devices[1] = sim_->device_path();
        return s;
    }

    // A clock that always reads the given local time, for settings.
    static std::function<std::chrono::system_clock::time_point()> FixedClock(int y, int mo, int d, int h, int mi,
                                                                             int s) {
        std::tm tm{};
        tm.tm_year = y - 1900;
        tm.tm_mon = mo - 1;
        tm.tm_mday = d;
        tm.tm_hour = h;
        tm.tm_min = mi;
        tm.tm_sec = s;
        tm.tm_isdst = -1;
        const auto at = std::chrono::system_clock::from_time_t(std::mktime(&tm));
        return [at] { return at; };
    }

    // The control's clock fixed at the given local time from now on.
    void FixClock(int y, int mo, int d, int h, int mi, int s) {
        Settings settings = fiscal_->CurrentSettings();
        settings.clock = FixedClock(y, mo, d, h, mi, s);
        fiscal_->SetSettings(std::move(settings));
    }

    // Port `port` on `device` from the next port opening on.
    void UseDevice(int port, const std::string& device) {
        Settings s = fiscal_->CurrentSettings();
        s.devices[port] = device;
        fiscal_->SetSettings(std::move(s));
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
        auto& v = ModuleOf(*fiscal_).Log().Viewer();
        return {v.Lines().begin(), v.Lines().end()};
    }

    // Runs `call` with ticks of a few milliseconds, so that a time-out the test expects comes after about
    // 150 ms instead of half a minute, then gives the link its usual tick back.
    template <class Call>
    auto WithShortTicks(Call&& call, int ms = 5) {
        ControlModule& m = ModuleOf(*fiscal_);
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
