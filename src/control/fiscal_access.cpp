#include "control/fiscal_access.h"

#include "control/control_module.h"
#include "karvex/fiscal.h"
#include "log/command_log.h"

namespace karvex {

FiscalAccess::FiscalAccess(Fiscal& fiscal) : m_(ModuleOf(fiscal)) {}

const DataPaths& FiscalAccess::Paths() const { return m_.Paths(); }

LineState FiscalAccess::Line() const {
    LineState line;
    line.port = m_.WantedPort() > 0 ? m_.WantedPort() : m_.StoredPort();
    line.open = m_.PortOpen();
    line.devicePresent = line.open || m_.DevicePresent();
    line.recovering = m_.LineRecovering();
    line.online = m_.ProcessorOnline();
    return line;
}

CommandState FiscalAccess::Command() const {
    const CommandInFlight& command = m_.Command();
    return {m_.InFlight(), command.code, command.frames_received, command.replies.current_inv_number};
}

std::string FiscalAccess::LineProblem(int code) const { return m_.LineProblem(code); }

void FiscalAccess::SetLogLineObserver(std::function<void(const std::string&)> observer) {
    m_.Log().SetLineObserver(std::move(observer));
}

int FiscalAccess::RunMenuCommand(CommandCode code) {
    if (const int busy = m_.RefuseSecondCommand(); busy != 0) return busy;
    return m_.RunMenuCommandForHost(code);
}

}  // namespace karvex
