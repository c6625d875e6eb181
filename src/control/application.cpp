#include "karvex/application.h"

#include <QApplication>

#include <cstdlib>

namespace karvex {

bool EnsureApplication() {
    if (QCoreApplication::instance()) return false;
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if ((!display || !*display) && (!wayland || !*wayland) && (!platform || !*platform)) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    }
    // The application outlives every control; it is torn down with the process.
    static int argc = 1;
    static char name[] = "karvex";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);
    return true;
}

}  // namespace karvex
