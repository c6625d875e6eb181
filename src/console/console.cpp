#include "console/console.h"

#include <QApplication>

#include <memory>

#include "console/console_window.h"
#include "console/widget_user_interface.h"
#include "control/console_door.h"
#include "control/control_module.h"
#include "link/result_codes.h"

namespace karvex {

namespace {

// What the completion step asks of the console, passed on to the window the hooks own.
class WindowHooks final : public ConsoleHooks {
public:
    explicit WindowHooks(ControlModule& m) : window_(std::make_unique<ConsoleWindow>(m, m.Store())) {}
    ConsoleWindow* Window() const { return window_.get(); }

    void HidePanels() override { window_->ShowPanel(ConsolePanel::None); }
    void ShowRollInstallation() override {
        window_->ShowPanel(ConsolePanel::RollInstallation);
        window_->FillInstallList();
    }
    void HideConsole() override { window_->hide(); }
    void RestoreHostWindow() override { window_->RestoreHostWindow(); }
    void StatusChanged() override { window_->RefreshStatus(); }
    void SetBusyCursor(bool busy) override { window_->SetBusyCursor(busy); }
    void CommandInFlightChanged(bool inFlight) override { window_->SetCommandInFlight(inFlight); }
    void ProgressChanged(const Progress& progress) override { window_->ShowProgress(progress); }
    void StoringChanged(bool storing) override { window_->SetStoring(storing); }
    void ShowSelfTestVerdict(SelfTestBox box, const std::string& text) override {
        window_->ShowSelfTestVerdict(box, text);
    }

private:
    std::unique_ptr<ConsoleWindow> window_;
};

}  // namespace

ConsoleWindow* FindConsole(ControlModule& m) {
    auto* hooks = dynamic_cast<WindowHooks*>(&m.Hooks());
    return hooks ? hooks->Window() : nullptr;
}

ConsoleWindow* AttachConsole(ControlModule& m) {
    if (ConsoleWindow* w = FindConsole(m)) return w;
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) return nullptr;
    auto hooks = std::make_shared<WindowHooks>(m);
    ConsoleWindow* window = hooks->Window();
    m.SetConsoleHooks(hooks);
    // A console attached while a host call waits must not offer a second command either.
    window->SetCommandInFlight(m.InFlight());
    // A host that answers the dialogues itself keeps doing so; otherwise a person at the console sees them.
    if (dynamic_cast<SilentUserInterface*>(&m.Ui()) != nullptr) {
        m.SetUserInterface(std::make_shared<WidgetUserInterface>(window));
    }
    window->RefreshStatus();
    return window;
}

void DetachConsole(ControlModule& m) {
    if (FindConsole(m) == nullptr) return;
    m.SetConsoleHooks(nullptr);
}

int ShowConsole(ControlModule& m, std::int32_t showModal, std::int64_t hostWindow) {
    // The console needs its link and store, as when it is loaded for the first time.
    if (!m.ConsoleLoaded()) m.FormLoad();
    ConsoleWindow* window = AttachConsole(m);
    if (window == nullptr) return result::kNotAvailable;
    return window->ShowForm(showModal, hostWindow);
}

int ShowInstallPanel(ControlModule& m, std::int32_t showModal, std::int64_t hostWindow) {
    m.SetCommandResult(result::kCommandUnderWay);
    if (!m.ConsoleLoaded()) m.FormLoad();
    ConsoleWindow* window = AttachConsole(m);
    if (window == nullptr) {
        m.SetCommandResult(result::kNotAvailable);
        return result::kNotAvailable;
    }
    int r = window->RollInstallation().QueryRolls();
    if (r != result::kSuccess) {
        m.SetCommandResult(r);
        return r;
    }
    r = m.WaitForCommand();
    if (r != result::kSuccess) return r;
    return ShowConsole(m, showModal, hostWindow);
}

namespace {

// The control does not know this layer: the console offers itself when the program starts. The library's
// CMake target makes every program that links the console keep this object (the linker would otherwise drop
// an object nothing refers to), so linking the console is all a program does to have it.
bool OfferConsole() {
    ConsoleDoor door;
    door.attach = [](ControlModule& m) { AttachConsole(m); };
    door.detach = DetachConsole;
    door.show = ShowConsole;
    door.showInstallPanel = ShowInstallPanel;
    RegisterConsoleDoor(door);
    return true;
}

}  // namespace

}  // namespace karvex

// The symbol the console's link option asks the linker for (see src/console/CMakeLists.txt).
extern "C" const bool karvex_console_offered = karvex::OfferConsole();
