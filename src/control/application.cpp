#include "karvex/application.h"

#include <QApplication>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace karvex {

bool EnsureApplication() {
    if (QCoreApplication::instance()) return false;
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if ((!display || !*display) && (!wayland || !*wayland) && (!platform || !*platform)) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    }
    // Qt only warns and falls back to the same place when this is unset; say it outright to keep tools quiet.
    if (const char* rt = std::getenv("XDG_RUNTIME_DIR"); !rt || !*rt) {
        std::string dir = "/tmp/runtime-" + std::to_string(::getuid());
        ::mkdir(dir.c_str(), 0700);
        ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 0);
    }
    // The application outlives every control; it is torn down with the process.
    static int argc = 1;
    static char name[] = "karvex";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);
    return true;
}

}  // namespace karvex
