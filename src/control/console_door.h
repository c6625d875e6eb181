#pragma once
// The operator console as the control sees it. The console sits in a layer above the control and drives it;
// the control never includes it. When the console is linked into a program it registers its entry points
// here (src/console/console.cpp, at start-up), and the control calls them to attach, show and drop the
// window. A program without the console (the tools, the service) keeps the module's plain hooks: showing the
// console answers 134 there, as it does in a process without a window system.
#include <cstdint>

namespace karvex {

class ControlModule;

struct ConsoleDoor {
    // Creates the module's console window on first need and installs it as the module's hooks.
    void (*attach)(ControlModule& m) = nullptr;
    // Drops the window and puts the plain hooks back; runs before the module's FormUnload.
    void (*detach)(ControlModule& m) = nullptr;
    // ShowFiscalForm: 0, or 134 when no window can be shown.
    int (*show)(ControlModule& m, std::int32_t showModal, std::int64_t hostWindow) = nullptr;
    // FiscalInstallInv: asks for the rolls, then shows the installation panel; 0 or the failure's code.
    int (*showInstallPanel)(ControlModule& m, std::int32_t showModal, std::int64_t hostWindow) = nullptr;
};

// Called once by the console when its library is part of the program; a later call replaces the door.
void RegisterConsoleDoor(const ConsoleDoor& door);

// The registered door; every entry is null when no console is linked in.
const ConsoleDoor& RegisteredConsoleDoor();

}  // namespace karvex
