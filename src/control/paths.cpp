#include "control/paths.h"

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "store/store_connection.h"

namespace karvex {

namespace fs = std::filesystem;

namespace {
std::string WithSlash(std::string dir) {
    if (dir.empty() || dir.back() != '/') dir.push_back('/');
    return dir;
}

bool UsableDirectory(const std::string& dir) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    return fs::is_directory(dir, ec) && ::access(dir.c_str(), W_OK | X_OK) == 0;
}
}  // namespace

std::string LibraryDirectory() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&LibraryDirectory), &info) != 0 && info.dli_fname) {
        std::error_code ec;
        fs::path p = fs::weakly_canonical(fs::path(info.dli_fname), ec);
        if (ec) p = fs::path(info.dli_fname);
        return WithSlash(p.parent_path().string());
    }
    return WithSlash(fs::current_path().string());
}

DataPaths ResolveDataPaths(const char* variable, const std::string& libraryDir, const std::string& home) {
    DataPaths p;
    std::string dir;
    std::error_code ec;
    if (variable != nullptr && *variable != '\0') {
        dir = variable;
        fs::create_directories(dir, ec);
        p.source = DataDirSource::Variable;
    } else if (fs::exists(fs::path(libraryDir) / "FiscalMachine.mdb", ec) || UsableDirectory(libraryDir)) {
        // A store already there is the store, even when the directory has since become unusable.
        dir = libraryDir;
        p.source = DataDirSource::Library;
    } else {
        dir = (home.empty() ? std::string("/tmp") : home) + "/.local/share/karvex";
        UsableDirectory(dir);
        p.source = DataDirSource::HomeFallback;
    }
    p.appDir = WithSlash(dir);
    p.storePath = p.appDir + "FiscalMachine.mdb";
    p.logPath = p.appDir + "CommandFM.Vrm";
    return p;
}

DataPaths ResolveDataPaths(const Settings& settings) {
    const std::string& dir = settings.dataDirectory;
    return ResolveDataPaths(dir.empty() ? nullptr : dir.c_str(), LibraryDirectory(), settings.homeDirectory);
}

std::string StoreKeyFor(const Settings& settings) {
    return settings.storeKey.empty() ? BuiltInStoreKey() : settings.storeKey;
}

}  // namespace karvex
