#include "control/paths.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "store/store_connection.h"
#include "store/store_file.h"

namespace karvex {

namespace fs = std::filesystem;

namespace {
std::string WithSlash(std::string dir) {
    if (dir.empty() || dir.back() != '/') dir.push_back('/');
    return dir;
}

// Parents as the umask says; the data directory itself the owner's alone from the moment it exists.
void MakeDataDirectory(const std::string& dir) {
    std::error_code ec;
    const fs::path path(dir);
    if (fs::exists(path, ec)) return;
    if (path.has_parent_path()) fs::create_directories(path.parent_path(), ec);
    ::mkdir(dir.c_str(), 0700);
}

bool UsableDirectory(const std::string& dir) {
    std::error_code ec;
    MakeDataDirectory(dir);
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

bool InSystemPrefix(const std::string& dir) {
    for (const char* prefix : {"/usr/", "/opt/", "/bin/", "/sbin/", "/lib/", "/lib32/", "/lib64/", "/libx32/"})
        if (dir.rfind(prefix, 0) == 0) return true;
    return false;
}

DataPaths ResolveDataPaths(const char* variable, const std::string& libraryDir, const std::string& home,
                           const InstallPlace& place) {
    DataPaths p;
    std::string dir;
    std::error_code ec;
    if (variable != nullptr && *variable != '\0') {
        dir = variable;
        MakeDataDirectory(dir);
        p.source = DataDirSource::Variable;
    } else if (fs::exists(fs::path(libraryDir) / "FiscalMachine.mdb", ec) ||
               (!place.systemPrefix && UsableDirectory(libraryDir))) {
        // A store already there is the store, even when the directory has since become unusable or is a
        // system one: moving tax records is for their owner to decide.
        dir = libraryDir;
        p.source = DataDirSource::Library;
    } else if (place.systemPrefix && place.root) {
        dir = place.stateDir;
        MakeDataDirectory(dir);
        p.source = DataDirSource::SystemState;
    } else if (!home.empty()) {
        dir = home + "/.local/share/karvex";
        UsableDirectory(dir);
        p.source = DataDirSource::HomeFallback;
    } else {
        // A shared directory such as /tmp would be anyone's to plant files in first: no store is better.
        p.source = DataDirSource::Missing;
        return p;
    }
    p.appDir = WithSlash(dir);
    p.storePath = p.appDir + "FiscalMachine.mdb";
    p.logPath = p.appDir + "CommandFM.Vrm";
    return p;
}

DataPaths ResolveDataPaths(const Settings& settings) {
    const std::string& dir = settings.dataDirectory;
    const std::string library = LibraryDirectory();
    InstallPlace place;
    place.systemPrefix = InSystemPrefix(library);
    place.root = ::geteuid() == 0;
    return ResolveDataPaths(dir.empty() ? nullptr : dir.c_str(), library, settings.homeDirectory, place);
}

std::string StoreKeyFor(const Settings& settings) {
    std::string why;
    return StoreKeyFor(settings, why);
}

std::string DefaultStoreKeyFile(const Settings& settings, const InstallPlace& place) {
    if (!place.systemPrefix) return {};
    if (place.root) return place.configDir + "/store.key";
    if (settings.homeDirectory.empty()) return {};
    return settings.homeDirectory + "/.config/karvex/store.key";
}

std::string StoreKeyFor(const Settings& settings, std::string& why) {
    if (!settings.storeKey.empty()) return settings.storeKey;
    std::string file = settings.storeKeyFile;
    if (file.empty()) {
        InstallPlace place;
        place.systemPrefix = InSystemPrefix(LibraryDirectory());
        place.root = ::geteuid() == 0;
        file = DefaultStoreKeyFile(settings, place);
    }
    if (!file.empty()) return LoadOrMakeStoreKeyFile(file, why);
    return BuiltInStoreKey();
}

}  // namespace karvex
