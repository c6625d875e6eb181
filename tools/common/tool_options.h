#pragma once
// The tools' options are defined once, as QCommandLineOption values: the parser reads the command line with
// them, and the help lists them from them, so an option cannot be accepted without being shown or shown
// without being accepted.
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>
#include <QStringList>

#include <string>

namespace karvex::tools {

// The help lines of `options`: "  --name VALUE", padded to `column`, then the description; a name that ends
// at the column gets one blank and one that runs past it two, which keeps the two apart for help2man (the
// manual pages are made from this text). A description's further lines (after "\n") start at the column.
// Single-letter names ("-h") are accepted but not listed.
inline std::string OptionHelp(const QList<QCommandLineOption>& options, int column) {
    std::string out;
    for (const QCommandLineOption& option : options) {
        std::string head = "  ";
        for (const QString& name : option.names()) {
            if (name.size() > 1) head += "--" + name.toStdString();
        }
        if (!option.valueName().isEmpty()) head += " " + option.valueName().toStdString();
        const auto width = static_cast<std::size_t>(column);
        head += std::string(head.size() < width ? width - head.size() : head.size() == width ? 1 : 2, ' ');
        const QStringList lines = option.description().split(QLatin1Char('\n'));
        for (int i = 0; i < lines.size(); ++i) {
            out += (i == 0 ? head : std::string(static_cast<std::size_t>(column), ' ')) + lines[i].toStdString() + "\n";
        }
    }
    return out;
}

// Reads `args` (the program's name first) with exactly `options`. False with `error` set for an option not
// among them, an option without its value, or a word that is no option's value.
inline bool ParseOptions(QCommandLineParser& parser, const QList<QCommandLineOption>& options, const QStringList& args,
                         std::string& error) {
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    parser.addOptions(options);
    if (!parser.parse(args)) {
        const QStringList unknown = parser.unknownOptionNames();
        error =
            unknown.isEmpty() ? parser.errorText().toStdString() : "unknown option --" + unknown.front().toStdString();
        return false;
    }
    if (!parser.positionalArguments().isEmpty()) {
        error = "unexpected argument " + parser.positionalArguments().front().toStdString();
        return false;
    }
    return true;
}

// The arguments of main as Qt strings, in the locale's encoding.
inline QStringList Arguments(int argc, char** argv, int from = 0) {
    QStringList args;
    for (int i = from; i < argc; ++i) args << QString::fromLocal8Bit(argv[i]);
    return args;
}

}  // namespace karvex::tools
