#pragma once
// Karvex: what an installation may configure, as one value.
//
// The library reads the environment once, into a Settings value, when a Fiscal control is made with its
// default constructor, and when the C interface makes its control (karvex_create); nothing else reads the
// environment later. A host that knows its settings, and the library's own services, pass a Settings value
// instead (Fiscal's constructor, or SetSettings before LoadFiscalForm) and the environment is not looked at.
//
// Variables read by FromEnvironment (an empty variable counts as unset):
//   KARVEX_COM<N>     (N = 1..5) the device of port N instead of /dev/ttyS<N-1>
//   KARVEX_DATA_DIR   the directory of the store (FiscalMachine.mdb) and the command log (CommandFM.Vrm),
//                     instead of the library's directory (or ~/.local/share/karvex when that cannot be written)
//   KARVEX_STORE_KEY  the key the store is encrypted with, instead of the built-in key
//   KARVEX_TICK_MS    the tick of the answer time-out in milliseconds (31 ticks without an answer end a
//                     command), instead of 1000
//   KARVEX_TRACE      a file the link's traffic is appended to (it holds tax data in the clear)
//   HOME              where ~/.local/share/karvex is
#include <chrono>
#include <functional>
#include <map>
#include <string>

#include "karvex/export.h"

namespace karvex {

struct KARVEX_API Settings {
    // Port number (1 to 5) -> device path, for the ports that do not use /dev/ttyS<N-1>.
    std::map<int, std::string> devices;
    // Empty: the library's directory, or ~/.local/share/karvex when that cannot be written.
    std::string dataDirectory;
    // Empty: the key in storeKeyFile, else the built-in key. An empty key never stores the file in clear.
    std::string storeKey;
    // The installation's key file (KARVEX_STORE_KEY_FILE): made with a random key at the first run (0600),
    // read afterwards. Keep it outside the data directory, so that a copy of that directory does not carry
    // its key along.
    std::string storeKeyFile;
    // Zero: one second.
    std::chrono::milliseconds tick{0};
    // Empty: no trace.
    std::string traceFile;
    // The home directory for the fallback data directory; empty: no fallback.
    std::string homeDirectory;
    // What stamps log lines, stored rows and the requests that carry the time; empty: the system clock. The
    // library has one clock: a control made with a clock installs it for the whole process while it lives.
    std::function<std::chrono::system_clock::time_point()> clock;

    // The settings the environment gives (see the list above).
    static Settings FromEnvironment();
};

}  // namespace karvex
