#pragma once
// The subcommands of the karvex tool: one per host method, each a function from its options to a result
// code and a set of outputs.
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "json_writer.h"

namespace karvex {
class Fiscal;
}

namespace karvex::cli {

struct Options {
    std::map<std::string, std::string> values;  // --name value
    std::vector<std::string> positional;

    bool Has(const std::string& name) const { return values.count(name) != 0; }
    std::string Get(const std::string& name, const std::string& fallback = "") const {
        auto it = values.find(name);
        return it == values.end() ? fallback : it->second;
    }
};

struct Outcome {
    std::string method;  // the host method that ran
    int result = 0;
    JsonObject outputs;
    // The subcommand printed its own output (a streamed dump): nothing more is printed on success.
    bool printed = false;
    // The outcome object goes to standard error: standard output carries data only (CSV, JSON lines).
    bool toStandardError = false;
};

// Thrown for a usage error (exit status 2).
struct UsageError {
    std::string message;
};

// A subcommand's usage, in order: its options and the words between them. The options it takes, the ones
// that take no value and the usage line of the help are all read from this one list.
struct UsagePart {
    std::string option;     // name without "--"; empty for words
    std::string value;      // the value's name in the usage ("NUMBER"); empty for a flag or words
    bool optional = false;  // shown in brackets
    std::string words;      // words between options; one starting with "," or ";" follows without a blank,
                            // and empty words are one more blank
};

// "--name VALUE"; "[--name VALUE]"; "--name" (no value); words between options.
UsagePart Needs(std::string option, std::string value);
UsagePart Maybe(std::string option, std::string value);
UsagePart Flag(std::string option);
UsagePart Words(std::string words);

// The usage line made from the parts.
std::string UsageLine(const std::vector<UsagePart>& parts);

struct Subcommand {
    std::string name;
    std::string summary;
    std::vector<UsagePart> usage;  // options after the name
    // Runs with the control loaded; throws UsageError for bad options.
    std::function<Outcome(Fiscal&, const Options&)> run;
    bool needsLink = true;  // false: runs without LoadFiscalForm
};

// The store subcommands (dump, clear).
void AddStoreSubcommands(std::vector<Subcommand>& list);

// The central sync (sync --to, --init, --status).
void AddSyncSubcommands(std::vector<Subcommand>& list);

// Every subcommand the tool knows.
const std::vector<Subcommand>& Subcommands();

// Reads an integer option, throwing UsageError when it is missing or not a number.
long long IntOption(const Options& o, const std::string& name);
long long IntOption(const Options& o, const std::string& name, long long fallback);
// Same, accepting 0x hexadecimal and 0 octal forms.
long long IntOptionAnyBase(const Options& o, const std::string& name);

}  // namespace karvex::cli
