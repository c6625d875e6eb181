#include "control/console_door.h"

namespace karvex {

namespace {

// Filled during static initialisation, by the console's own initialiser, before any host call can run; a
// function-local value so that the order of initialisation between the libraries does not matter.
ConsoleDoor& Door() {
    static ConsoleDoor door;
    return door;
}

}  // namespace

void RegisterConsoleDoor(const ConsoleDoor& door) { Door() = door; }

const ConsoleDoor& RegisteredConsoleDoor() { return Door(); }

}  // namespace karvex
