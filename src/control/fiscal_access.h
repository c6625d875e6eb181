#pragma once
// What the local service and the tools see of a control beyond its public calls: where its data lives, the
// state of its line, the command under way or last run, the command log's lines as they are written, and the
// console's menu commands run for a host. The module behind the control stays inside it; this is all a
// program built on the control may reach.
#include <cstdint>
#include <functional>
#include <string>

#include "commands/catalogue.h"
#include "control/paths.h"

namespace karvex {

class Fiscal;
class ControlModule;

struct LineState {
    int port = 0;                // the port asked for, else the stored one (0: none yet)
    bool open = false;           // the port is open
    bool devicePresent = false;  // its device exists (always true while open)
    bool recovering = false;     // line recovery is looking for the device
    bool online = false;         // open, and the processor accepted the on-line command with no time-out since
};

// The command under way, or the last one when none is.
struct CommandState {
    bool inFlight = false;
    std::uint8_t code = 0;
    int framesReceived = 0;
    std::string currentInvoice;  // the current invoice number its answer gave (empty: none)
};

class FiscalAccess {
public:
    explicit FiscalAccess(Fiscal& fiscal);

    const DataPaths& Paths() const;
    LineState Line() const;
    CommandState Command() const;
    // Why the line cannot serve a call that ended in `code`, naming the device; empty when the code is not
    // about the line.
    std::string LineProblem(int code) const;
    // Called with every line the command log writes; an empty function stops the calls.
    void SetLogLineObserver(std::function<void(const std::string&)> observer);
    // Runs a console menu command as a host call, silent and waited for: the refusal of a second command
    // first (136), then the command's own result.
    int RunMenuCommand(CommandCode code);

private:
    ControlModule& m_;
};

}  // namespace karvex
