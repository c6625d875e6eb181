#include "karvex/settings.h"

#include <cstdlib>
#include <string>

namespace karvex {

namespace {
std::string Variable(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? std::string(v) : std::string();
}
}  // namespace

// The one place the library reads its environment.
Settings Settings::FromEnvironment() {
    Settings s;
    for (int port = 1; port <= 5; ++port) {
        std::string device = Variable(("KARVEX_COM" + std::to_string(port)).c_str());
        if (!device.empty()) s.devices[port] = std::move(device);
    }
    s.dataDirectory = Variable("KARVEX_DATA_DIR");
    s.storeKey = Variable("KARVEX_STORE_KEY");
    s.storeKeyFile = Variable("KARVEX_STORE_KEY_FILE");
    // Anything but a positive number of milliseconds leaves the one-second tick.
    if (const std::string tick = Variable("KARVEX_TICK_MS"); !tick.empty()) {
        const int ms = std::atoi(tick.c_str());
        if (ms > 0) s.tick = std::chrono::milliseconds(ms);
    }
    s.traceFile = Variable("KARVEX_TRACE");
    s.homeDirectory = Variable("HOME");
    return s;
}

}  // namespace karvex
