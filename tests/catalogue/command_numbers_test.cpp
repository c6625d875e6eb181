// No code outside the command table names a command by its number: the service, the tools, the journal, the
// control and the bindings use the table's names and constants, so that a code is changed or looked up in one
// place.
//
// The search, over every .h, .c, .cpp, .py and .js file under src/, tools/, bindings/ and include/:
//   1. comments are dropped (// and /* */; in Python # and triple-quoted text); quoted text stays, since
//      SQL and scripts are code too;
//   2. a line names a command when it holds one of the identifiers command, commandNum, CommandNum, kind,
//      Kind, kKind, MakeInvoice, FiscalMakeInv, GetPrintInv, CheckAnswerShape or DecodeDateTime (whole
//      identifiers, case as written);
//   3. such a line fails the search when it also holds an integer literal, decimal or hexadecimal (0x...),
//      not part of a longer name or number, whose value is a code of the table other than 0 (every counter
//      and field starts at 0).
// Left out: the table itself (src/commands/catalogue.*); the virtual processor (tools/sim), written apart from
// the library on purpose; the request length a frame builder passes to StartRequest.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "commands/catalogue.h"
#include "karvex/command_numbers.h"

namespace karvex {
namespace {

namespace fs = std::filesystem;

// The text without its comments; line breaks are kept so that line numbers stay right.
std::string WithoutComments(const std::string& text, bool python) {
    std::string out;
    std::size_t i = 0;
    const auto skipTo = [&](std::size_t end) {
        for (; i < end && i < text.size(); ++i) {
            if (text[i] == '\n') out += '\n';
        }
    };
    while (i < text.size()) {
        const char c = text[i];
        if (python && (text.compare(i, 3, "\"\"\"") == 0 || text.compare(i, 3, "'''") == 0)) {
            const std::size_t end = text.find(text.substr(i, 3), i + 3);
            skipTo(end == std::string::npos ? text.size() : end + 3);
        } else if ((python && c == '#') || (!python && text.compare(i, 2, "//") == 0)) {
            while (i < text.size() && text[i] != '\n') ++i;
        } else if (!python && text.compare(i, 2, "/*") == 0) {
            const std::size_t end = text.find("*/", i + 2);
            skipTo(end == std::string::npos ? text.size() : end + 2);
        } else if (c == '"' || c == '\'' || c == '`') {
            // Quoted text is kept whole, so that "//" or "#" inside it starts no comment.
            std::size_t j = i + 1;
            while (j < text.size() && text[j] != c && text[j] != '\n') j += text[j] == '\\' ? 2 : 1;
            j = std::min(j + 1, text.size());
            out.append(text, i, j - i);
            i = j;
        } else {
            out += c;
            ++i;
        }
    }
    return out;
}

bool IsNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_'; }

bool IsCommandCode(unsigned long value) {
    return value != 0 && value <= 0xFF && FindCommand(static_cast<std::uint8_t>(value)) != nullptr;
}

// Whether one line (comments already gone) names a command by number.
bool NamesCommandNumber(const std::string& line) {
    static const std::regex kCommandWord(
        "(^|[^A-Za-z0-9_])(command|commandNum|CommandNum|kind|Kind|kKind|MakeInvoice|FiscalMakeInv|GetPrintInv|"
        "CheckAnswerShape|DecodeDateTime)"
        "([^A-Za-z0-9_]|$)");
    if (line.find("StartRequest(") != std::string::npos || !std::regex_search(line, kCommandWord)) return false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(line[i])) ||
            (i > 0 && (IsNameChar(line[i - 1]) || line[i - 1] == '.')))
            continue;
        std::size_t end = i;
        while (end < line.size() && (IsNameChar(line[end]) || line[end] == '.')) ++end;
        const std::string literal = line.substr(i, end - i);
        i = end;
        const bool hex = literal.size() > 2 && (literal[1] == 'x' || literal[1] == 'X') && literal[0] == '0';
        if (literal.find_first_not_of(hex ? "0123456789abcdefABCDEFxX" : "0123456789") != std::string::npos) continue;
        if (literal.size() > 6) continue;
        if (IsCommandCode(std::stoul(literal, nullptr, hex ? 16 : 10))) return true;
    }
    return false;
}

// "path:line: text" of every line of `text` that names a command by number.
std::vector<std::string> Findings(const std::string& path, const std::string& text, bool python) {
    std::vector<std::string> found;
    std::istringstream lines(WithoutComments(text, python));
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        if (NamesCommandNumber(line)) found.push_back(path + ":" + std::to_string(number) + ": " + line);
    }
    return found;
}

std::vector<std::string> SearchTree(const fs::path& root) {
    std::vector<std::string> found;
    for (const char* folder : {"src", "tools", "bindings", "include"}) {
        if (!fs::exists(root / folder)) continue;
        for (const auto& entry : fs::recursive_directory_iterator(root / folder)) {
            if (!entry.is_regular_file()) continue;
            const fs::path& p = entry.path();
            const std::string ext = p.extension().string();
            if (ext != ".h" && ext != ".c" && ext != ".cpp" && ext != ".py" && ext != ".js") continue;
            const std::string relative = fs::relative(p, root).generic_string();
            if (relative.rfind("src/commands/catalogue.", 0) == 0 || relative.rfind("tools/sim/", 0) == 0) continue;
            std::ifstream in(p, std::ios::binary);
            const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            for (std::string& f : Findings(relative, text, ext == ".py")) found.push_back(std::move(f));
        }
    }
    return found;
}

TEST(CommandNumbers, NoneOutsideTheTable) {
    const std::vector<std::string> found = SearchTree(KARVEX_SOURCE_DIR);
    std::string list;
    for (const std::string& f : found) list += f + "\n";
    EXPECT_TRUE(found.empty()) << list;
}

TEST(CommandNumbers, TheSearchFindsWhatItLooksFor) {
    struct Case {
        const char* text;
        bool python;
        bool found;
    };
    const Case cases[] = {
        {"if (command == 0x34) return;", false, true},
        {"const int kind = 53;", false, true},
        {"r = f.FiscalMakeInv(52, 1, 0);", false, true},
        {"if (kind === 'return' || Number(kind) === 53)", false, true},
        {"code, out = self.fiscal.GetPrintInv(177)  # the last invoice", true, true},
        {"\" = ?1 AND \" + Q(kKind) + \" = 52 AND \"", false, true},
        {"command = kHostIssueInvoice;  // 52", false, false},
        {"/* command\n 52 */ int x;", false, false},
        {"\"\"\"CommandNum 177: the last invoice\"\"\"", true, false},
        {"const int width = 52;", false, false},
        {"commands = 52;", false, false},
        {"if (command == 0) return;", false, false},
        {"Bytes frame = StartRequest(command, 53);", false, false},
        {"if (const ResultCode rc = CheckAnswerShape(0x33, frame); rc != 0) return rc;", false, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(!Findings("x", c.text, c.python).empty(), c.found) << c.text;
    }
}

// A number planted in a copy of the searched folders is reported with its file and line.
TEST(CommandNumbers, APlantedNumberFailsTheSearch) {
    const fs::path root = fs::temp_directory_path() / ("karvex_numbers_" + std::to_string(::getpid()));
    fs::create_directories(root / "tools" / "karvex");
    fs::create_directories(root / "src" / "commands");
    std::ofstream(root / "tools" / "karvex" / "commands.cpp") << "int a;\nif (command == 66) return;\n";
    std::ofstream(root / "src" / "commands" / "catalogue.cpp") << "if (command == 66) return;\n";
    const std::vector<std::string> found = SearchTree(root);
    fs::remove_all(root);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].rfind("tools/karvex/commands.cpp:2:", 0), 0u) << found[0];
}

// The Python module repeats the public numbers for its hosts; a drift would send another command.
TEST(CommandNumbers, ThePythonModuleNamesThePublicNumbers) {
    std::ifstream in(fs::path(KARVEX_SOURCE_DIR) / "bindings" / "python" / "karvex.py");
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::pair<const char*, int> names[] = {{"COMMAND_ISSUE", KARVEX_COMMAND_ISSUE},
                                                 {"COMMAND_RETURN", KARVEX_COMMAND_RETURN},
                                                 {"COMMAND_INVOICE_BY_NUMBER", KARVEX_COMMAND_INVOICE_BY_NUMBER},
                                                 {"COMMAND_LAST_INVOICE", KARVEX_COMMAND_LAST_INVOICE}};
    for (const auto& [name, value] : names) {
        std::smatch m;
        const std::regex assignment(std::string("\\n") + name + " = (0x[0-9A-Fa-f]+|[0-9]+)\\n");
        ASSERT_TRUE(std::regex_search(text, m, assignment)) << name;
        EXPECT_EQ(std::stoi(m[1].str(), nullptr, 0), value) << name;
    }
}

}  // namespace
}  // namespace karvex
