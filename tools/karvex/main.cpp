// karvex: run one method of the Fiscal control from a shell or a script and print what happened as JSON.
//
//   karvex [--data-dir DIR] [--port N] [--trace FILE] METHOD [OPTIONS]
//
// Exit status: 0 when the method's result is 0, 1 for any other result, 2 for a usage error.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <set>
#include <string>

#include "commands.h"
#include "karvex/application.h"
#include "karvex/errors.h"
#include "karvex/fiscal.h"
#include "link/result_codes.h"
#include "control/port_answer_ui.h"

namespace {

using namespace karvex::cli;

void PrintUsage(std::FILE* to) {
    std::fprintf(to,
                 "usage: karvex [--data-dir DIR] [--port N] [--trace FILE] METHOD [OPTIONS]\n"
                 "\n"
                 "Runs one method of the Fiscal control against the tax-control processor and prints one JSON\n"
                 "object: {\"method\", \"result\", \"description\", \"outputs\"}.\n"
                 "Exit status: 0 when the result is 0, 1 for any other result, 2 for a usage error (an option\n"
                 "the method does not take is one).\n"
                 "\n"
                 "  --data-dir DIR   where the store and the command log live (default: $KARVEX_DATA_DIR, else\n"
                 "                   a store beside the program; installed under /usr: /var/lib/karvex for\n"
                 "                   root, else ~/.local/share/karvex)\n"
                 "  --port N         serial port 1-5 to use when the stored one cannot be opened; port N is\n"
                 "                   /dev/ttyS<N-1> unless $KARVEX_COM<N> names another device\n"
                 "  --trace FILE     append the line's traffic to FILE (as $KARVEX_TRACE does), for\n"
                 "                   karvex-sim --replay; the file holds tax data\n"
                 "  --version        the version, then exit\n"
                 "\n"
                 "methods:\n");
    for (const auto& s : Subcommands()) {
        std::fprintf(to, "  %-14s %s\n", s.name.c_str(), s.summary.c_str());
        if (!s.usage.empty()) std::fprintf(to, "  %-14s   %s\n", "", s.usage.c_str());
    }
}

Options ParseOptions(const Subcommand& sub, int argc, char** argv, int from) {
    Options o;
    for (int i = from; i < argc; ++i) {
        std::string a = argv[i];
        if (a.rfind("--", 0) == 0) {
            std::string name = a.substr(2);
            std::string value;
            if (auto eq = name.find('='); eq != std::string::npos) {
                value = name.substr(eq + 1);
                name = name.substr(0, eq);
            } else if (std::find(sub.flags.begin(), sub.flags.end(), name) != sub.flags.end()) {
                // A flag takes no value.
            } else if (i + 1 < argc) {
                value = argv[++i];
            } else {
                throw UsageError{"--" + name + " needs a value"};
            }
            o.values[name] = value;
        } else {
            o.positional.push_back(a);
        }
    }
    return o;
}

// The options a subcommand takes are the ones its usage line names, so that --help and the parser agree.
std::set<std::string> AcceptedOptions(const Subcommand& sub) {
    std::set<std::string> names;
    const std::string& usage = sub.usage;
    for (std::size_t at = usage.find("--"); at != std::string::npos; at = usage.find("--", at)) {
        std::size_t end = at + 2;
        while (end < usage.size() && (std::islower(static_cast<unsigned char>(usage[end])) || usage[end] == '-')) ++end;
        names.insert(usage.substr(at + 2, end - at - 2));
        at = end;
    }
    return names;
}

// An option the subcommand does not take, or a stray word, is a mistake the caller wants to hear about:
// ignoring it would run the method as if it had not been given.
void CheckOptionsTaken(const Subcommand& sub, const Options& options) {
    const std::set<std::string> accepted = AcceptedOptions(sub);
    for (const auto& [name, value] : options.values) {
        if (accepted.count(name) == 0) throw UsageError{"unknown option --" + name};
    }
    if (!options.positional.empty()) throw UsageError{"unexpected argument " + options.positional.front()};
}

// The description is always that of the result printed beside it: a call refused before sending may leave
// the control's own result word (and so its Description) at the previous command's.
int Emit(const std::string& method, int result, JsonObject outputs, bool toStandardError = false) {
    JsonObject obj;
    obj.emplace_back("method", method);
    obj.emplace_back("result", result);
    obj.emplace_back("description", karvex::ResultCodeText(result));
    obj.emplace_back("outputs", std::move(outputs));
    (toStandardError ? std::cerr : std::cout) << ToJson(obj) << std::endl;
    return result == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    // The environment first; the options say more.
    karvex::Settings settings = karvex::Settings::FromEnvironment();
    std::string port;
    int i = 1;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            PrintUsage(stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("karvex %s\n", KARVEX_VERSION_TEXT);
            return 0;
        } else if (a == "--data-dir" && i + 1 < argc) {
            settings.dataDirectory = argv[++i];
        } else if (a == "--port" && i + 1 < argc) {
            port = argv[++i];
            // Only ports 1 to 5 exist; anything else would be handed to the control's port prompt and
            // taken for a cancelled answer, which reads like a line fault.
            if (port.size() != 1 || port[0] < '1' || port[0] > '5') {
                std::fprintf(stderr, "karvex: --port wants a port number 1-5, not \"%s\"\n", port.c_str());
                return 2;
            }
        } else if (a == "--trace" && i + 1 < argc) {
            settings.traceFile = argv[++i];
        } else if (a.rfind("--", 0) == 0) {
            std::fprintf(stderr, "karvex: unknown option %s\n\n", a.c_str());
            PrintUsage(stderr);
            return 2;
        } else {
            break;
        }
    }
    if (i >= argc) {
        PrintUsage(stderr);
        return 2;
    }
    const std::string name = argv[i];
    const Subcommand* sub = nullptr;
    for (const auto& s : Subcommands())
        if (s.name == name) sub = &s;
    if (!sub) {
        std::fprintf(stderr, "karvex: unknown method %s\n\n", name.c_str());
        PrintUsage(stderr);
        return 2;
    }
    Options options;
    try {
        options = ParseOptions(*sub, argc, argv, i + 1);
        CheckOptionsTaken(*sub, options);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "karvex %s: %s\n", name.c_str(), e.message.c_str());
        return 2;
    }
    karvex::EnsureApplication();
    karvex::Fiscal fiscal(settings);
    fiscal.SetUserInterface(std::make_shared<karvex::PortAnswerUi>(port));
    if (sub->needsLink) {
        int r = fiscal.LoadFiscalForm();
        if (r != 0) {
            // The control's own message says more when the store stopped the load: its path and the
            // reason, or the process that holds it.
            JsonObject outputs;
            const std::string said = fiscal.Description().toStdString();
            if (said != karvex::ResultCodeText(r)) outputs.emplace_back("error", said);
            int code = Emit("LoadFiscalForm", r, std::move(outputs));
            fiscal.UnloadFicalForm(0);
            return code;
        }
    }
    Outcome outcome;
    try {
        outcome = sub->run(fiscal, options);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "karvex %s: %s\n", name.c_str(), e.message.c_str());
        fiscal.UnloadFicalForm(0);
        return 2;
    } catch (const karvex::ArgumentOverflow& e) {
        std::fprintf(stderr, "karvex %s: %s\n", name.c_str(), e.what());
        fiscal.UnloadFicalForm(0);
        return 2;
    }
    int unload = fiscal.UnloadFicalForm(0);
    if (unload != 0) std::fprintf(stderr, "karvex: closing the store gave %d\n", unload);
    if (outcome.printed) return outcome.result == 0 ? 0 : 1;
    return Emit(outcome.method, outcome.result, std::move(outcome.outputs), outcome.toStandardError);
}
