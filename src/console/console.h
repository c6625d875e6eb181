#pragma once
// The operator console as the control uses it: created on first need, installed as the module's console
// hooks (and, when the host has not given dialogues of its own, as its user interface), shown and hidden
// by the control's methods.
//
//   ShowConsole(m, 0, 0);              // ShowFiscalForm: modeless, no host window
//   ShowInstallPanel(m, 0, hostWnd);   // FiscalInstallInv
//   DetachConsole(m);                  // UnloadFicalForm, before m.FormUnload()
#include <cstdint>

namespace karvex {

class ControlModule;
class ConsoleWindow;

// The module's console window, created hidden on first use and installed as the module's console hooks; a
// module still on the silent default dialogues gets real dialogue boxes. nullptr when the process has no
// QApplication (no window can exist then).
ConsoleWindow* AttachConsole(ControlModule& m);

// The console window when one is attached, else nullptr.
ConsoleWindow* FindConsole(ControlModule& m);

// Unloads the console window and its log viewer and puts the plain hooks back. Must run before the module's
// FormUnload, which drops the log viewer's list under the viewer window.
void DetachConsole(ControlModule& m);

// ShowFiscalForm: shows the console, modal when showModal is 1 (returning once it is closed), records
// hostWindow (a window of this process, by its window id; 0 = none) and hides it. 0, or 134 when no window
// can be shown.
int ShowConsole(ControlModule& m, std::int32_t showModal, std::int64_t hostWindow);

// FiscalInstallInv: drops the unused rolls, asks the processor for its rolls and waits for the answer; the
// completion then shows the installation panel with the roll list, and the console is shown. 0 once the
// panel is shown; else the store's, the send's or the answer's code.
int ShowInstallPanel(ControlModule& m, std::int32_t showModal, std::int64_t hostWindow);

}  // namespace karvex
