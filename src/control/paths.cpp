#include "control/paths.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

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

DataPaths ResolveDataPaths() {
    std::string dir;
    if (const char* v = std::getenv("KARVEX_DATA_DIR"); v && *v && UsableDirectory(v)) {
        dir = v;
    } else {
        dir = LibraryDirectory();
        if (!UsableDirectory(dir)) {
            const char* home = std::getenv("HOME");
            std::string fallback = std::string(home && *home ? home : "/tmp") + "/.local/share/karvex";
            UsableDirectory(fallback);
            dir = fallback;
        }
    }
    DataPaths p;
    p.appDir = WithSlash(dir);
    p.storePath = p.appDir + "FiscalMachine.mdb";
    p.logPath = p.appDir + "CommandFM.Vrm";
    return p;
}

}  // namespace karvex
