// karvex: run one method of the Fiscal control from a shell or a script and print what happened as JSON.
//
//   karvex [--data-dir DIR] [--port N] [--trace FILE] METHOD [OPTIONS]
//
// Exit status: 0 when the method's result is 0, 1 for any other result, 2 for a usage error.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "commands.h"
#include "karvex/application.h"
#include "karvex/errors.h"
#include "karvex/fiscal.h"
#include "link/result_codes.h"
#include "control/port_answer_ui.h"
#include "tool_options.h"

namespace {

using namespace karvex::cli;

// The options before the method, for the parser and the help alike.
QList<QCommandLineOption> GlobalOptions() {
    const auto option = [](const char* name, const char* value, const char* description) {
        return QCommandLineOption(QString::fromLatin1(name), QString::fromUtf8(description),
                                  QString::fromLatin1(value));
    };
    return {
        option("data-dir", "DIR",
               "where the store and the command log live (default: $KARVEX_DATA_DIR, else\n"
               "a store beside the program; installed under /usr: /var/lib/karvex for\n"
               "root, else ~/.local/share/karvex)"),
        option("port", "N",
               "serial port 1-5 to use when the stored one cannot be opened; port N is\n"
               "/dev/ttyS<N-1> unless $KARVEX_COM<N> names another device"),
        option("trace", "FILE",
               "append the line's traffic to FILE (as $KARVEX_TRACE does), for\n"
               "karvex-sim --replay; the file holds tax data"),
        option("version", "", "the version, then exit"),
        QCommandLineOption({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("this text")),
    };
}

// A method's options, from its usage parts.
QList<QCommandLineOption> MethodOptions(const Subcommand& sub) {
    QList<QCommandLineOption> options;
    for (const UsagePart& part : sub.usage) {
        if (part.option.empty()) continue;
        options.append(
            QCommandLineOption(QString::fromStdString(part.option), QString(), QString::fromStdString(part.value)));
    }
    return options;
}

void PrintUsage(std::FILE* to) {
    QList<QCommandLineOption> shown = GlobalOptions();
    shown.removeLast();  // --help is not listed
    std::fprintf(to,
                 "usage: karvex [--data-dir DIR] [--port N] [--trace FILE] METHOD [OPTIONS]\n"
                 "\n"
                 "Runs one method of the Fiscal control against the tax-control processor and prints one JSON\n"
                 "object: {\"method\", \"result\", \"description\", \"outputs\"}.\n"
                 "Exit status: 0 when the result is 0, 1 for any other result, 2 for a usage error (an option\n"
                 "the method does not take is one).\n"
                 "\n"
                 "%s"
                 "\n"
                 "methods:\n",
                 karvex::tools::OptionHelp(shown, 19).c_str());
    for (const auto& s : Subcommands()) {
        std::fprintf(to, "  %-14s %s\n", s.name.c_str(), s.summary.c_str());
        if (!s.usage.empty()) std::fprintf(to, "  %-14s   %s\n", "", UsageLine(s.usage).c_str());
    }
}

// The method's options as its handler reads them; an option the method does not take, a missing value or a
// stray word is a mistake the caller wants to hear about: ignoring it would run the method as if it had not
// been given.
Options ParseMethodOptions(const Subcommand& sub, const QStringList& args) {
    QCommandLineParser parser;
    const QList<QCommandLineOption> options = MethodOptions(sub);
    if (std::string why;
        !karvex::tools::ParseOptions(parser, options, QStringList{QStringLiteral("karvex")} + args, why))
        throw UsageError{why};
    Options o;
    for (const QCommandLineOption& option : options) {
        const QString name = option.names().front();
        if (parser.isSet(name)) o.values[name.toStdString()] = parser.value(name).toStdString();
    }
    return o;
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
    // The options before the method; the method's own follow it.
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    parser.addOptions(GlobalOptions());
    if (!parser.parse(karvex::tools::Arguments(argc, argv))) {
        const QStringList unknown = parser.unknownOptionNames();
        const std::string why =
            unknown.isEmpty() ? parser.errorText().toStdString() : "unknown option --" + unknown.front().toStdString();
        std::fprintf(stderr, "karvex: %s\n\n", why.c_str());
        PrintUsage(stderr);
        return 2;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        PrintUsage(stdout);
        return 0;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        std::printf("karvex %s\n", KARVEX_VERSION_TEXT);
        return 0;
    }
    if (parser.isSet(QStringLiteral("data-dir")))
        settings.dataDirectory = parser.value(QStringLiteral("data-dir")).toStdString();
    if (parser.isSet(QStringLiteral("trace"))) settings.traceFile = parser.value(QStringLiteral("trace")).toStdString();
    const std::string port = parser.value(QStringLiteral("port")).toStdString();
    // Only ports 1 to 5 exist; anything else would be handed to the control's port prompt and taken for a
    // cancelled answer, which reads like a line fault.
    if (parser.isSet(QStringLiteral("port")) && (port.size() != 1 || port[0] < '1' || port[0] > '5')) {
        std::fprintf(stderr, "karvex: --port wants a port number 1-5, not \"%s\"\n", port.c_str());
        return 2;
    }
    QStringList rest = parser.positionalArguments();
    if (rest.isEmpty()) {
        PrintUsage(stderr);
        return 2;
    }
    const std::string name = rest.takeFirst().toStdString();
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
        options = ParseMethodOptions(*sub, rest);
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
        // A load that succeeded can still have something to tell (184: invoices the store did not know were
        // recorded as made elsewhere); it goes to standard error so that the method's JSON stays one object.
        if (const int told = fiscal.Status(); told != 0) {
            std::fprintf(stderr, "karvex: LoadFiscalForm %d %s\n", told, fiscal.Description().toStdString().c_str());
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
