#pragma once
// Where the store and the command log live.
#include <string>

namespace karvex {

struct DataPaths {
    std::string appDir;     // ends in "/"
    std::string storePath;  // appDir + "FiscalMachine.mdb"
    std::string logPath;    // appDir + "CommandFM.Vrm"
};

// $KARVEX_DATA_DIR when set (created when missing); else the directory of the library file when it is
// writable; else ~/.local/share/karvex.
DataPaths ResolveDataPaths();

// The directory of the file this code was loaded from (the shared library, or the program when linked
// statically), ending in "/".
std::string LibraryDirectory();

}  // namespace karvex
