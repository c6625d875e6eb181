#include "commands.h"

#include <cerrno>
#include <cstdlib>

#include "karvex/fiscal.h"

namespace karvex::cli {

long long IntOption(const Options& o, const std::string& name) {
    if (!o.Has(name)) throw UsageError{"missing --" + name};
    const std::string text = o.Get(name);
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno == ERANGE) throw UsageError{"--" + name + " is not a whole number: " + text};
    return v;
}

long long IntOption(const Options& o, const std::string& name, long long fallback) {
    return o.Has(name) ? IntOption(o, name) : fallback;
}

namespace {

Outcome Online(Fiscal& f, const Options&) {
    Outcome out{"FiscalOnline", f.FiscalOnline(), {}};
    return out;
}

std::vector<Subcommand> Build() {
    std::vector<Subcommand> list;
    list.push_back({"online", "bring the processor on line", "", Online});
    return list;
}

}  // namespace

const std::vector<Subcommand>& Subcommands() {
    static const std::vector<Subcommand> list = Build();
    return list;
}

}  // namespace karvex::cli
