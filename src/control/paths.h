#pragma once
// Where the store and the command log live, and the key the store is opened with.
#include <string>

#include "karvex/settings.h"

namespace karvex {

// Why the data directory is the one it is (the command log says so when the store opens).
enum class DataDirSource {
    Variable,      // the settings' data directory (KARVEX_DATA_DIR)
    Library,       // the directory of the library file
    HomeFallback,  // ~/.local/share/karvex: a first run in a library directory that cannot be written, or
                   // an installed library run by a user other than root
    SystemState,   // /var/lib/karvex: an installed library (under /usr, /opt ...) run by root
    Missing,       // none of them: no home and a library directory that cannot be written (paths empty)
};

struct DataPaths {
    std::string appDir;     // ends in "/"
    std::string storePath;  // appDir + "FiscalMachine.mdb"
    std::string logPath;    // appDir + "CommandFM.Vrm"
    DataDirSource source = DataDirSource::Library;
};

// How the library was installed, for the default data directory.
struct InstallPlace {
    bool systemPrefix = false;  // the library (or the tool) lives under /usr, /opt, /bin ...: tax records
                                // never go there
    bool root = false;          // the process runs as root
    std::string stateDir = "/var/lib/karvex";
    std::string configDir = "/etc/karvex";  // root's key file, away from the data and its backups
};

// The settings' data directory when set (created when missing), whether or not it can be used: a store
// that cannot be used where it is configured is reported, never quietly replaced by another one. Else the
// directory of the library file when it already holds a store. Else, for a library installed in a system
// prefix, /var/lib/karvex for root and <home>/.local/share/karvex for anyone else; for a library elsewhere
// (a build tree, a vendor's folder of its own), its directory when it can be written, else
// <home>/.local/share/karvex. Without a home no directory at all (DataDirSource::Missing). A directory made
// here is 0700 whatever the umask.
DataPaths ResolveDataPaths(const Settings& settings);
// The same choice from given values (`variable` may be null; `home` may be empty).
DataPaths ResolveDataPaths(const char* variable, const std::string& libraryDir, const std::string& home,
                           const InstallPlace& place = {});
// Whether a directory lies in one of the system's own prefixes (/usr, /opt, /bin, /sbin, /lib ...).
bool InSystemPrefix(const std::string& dir);

// The settings' store key; else the key in their key file (made at the first run); else, for a library
// installed in a system prefix, the installation's key file (/etc/karvex/store.key for root,
// ~/.config/karvex/store.key for anyone else: made with a random key at the first run, never in the data
// directory, so a copy of the data is no copy of the key); else the built-in key (a build tree, a test).
// Empty, with the reason in `why`, when the key file can be neither read nor made.
std::string StoreKeyFor(const Settings& settings);
std::string StoreKeyFor(const Settings& settings, std::string& why);

// The installation's key file when nothing else names a key (see StoreKeyFor); empty for none.
std::string DefaultStoreKeyFile(const Settings& settings, const InstallPlace& place);

// The directory of the file this code was loaded from (the shared library, or the program when linked
// statically), ending in "/".
std::string LibraryDirectory();

}  // namespace karvex
