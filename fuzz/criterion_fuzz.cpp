// The store's criterion parser: the filter texts of the data browser and the record sets.
//
// Properties: no crash; a parsed criterion, written out again (names in brackets, texts quoted with doubled
// quotes, numbers in plain decimal), parses to the same conditions; a select text names a table.
#include <charconv>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "store/selection.h"
#include "store/store_codes.h"

using namespace karvex;

namespace {

std::string Value(const FieldValue& v) {
    if (const auto* i = std::get_if<std::int64_t>(&v)) return std::to_string(*i);
    if (const auto* d = std::get_if<double>(&v)) {
        char buf[512];
        auto r = std::to_chars(buf, buf + sizeof buf, *d, std::chars_format::fixed);
        FUZZ_CHECK(r.ec == std::errc());
        std::string s(buf, r.ptr);
        if (s.find('.') == std::string::npos) s += ".0";
        return s;
    }
    const auto* t = std::get_if<std::string>(&v);
    FUZZ_CHECK(t != nullptr, "a parsed value is neither number nor text");
    std::string s = "'";
    for (char c : *t) s += c == '\'' ? std::string("''") : std::string(1, c);
    return s + "'";
}

std::string Render(const std::vector<Condition>& conditions) {
    std::string out;
    for (const auto& c : conditions) {
        if (!out.empty()) out += " and ";
        out += "[" + c.field + "]";
        out +=
            c.op == Condition::Op::Equal ? " = " + Value(c.low) : " between " + Value(c.low) + " and " + Value(c.high);
    }
    return out;
}

bool Same(const std::vector<Condition>& a, const std::vector<Condition>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].field != b[i].field || a[i].op != b[i].op || a[i].low != b[i].low || a[i].high != b[i].high)
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<Condition> conditions;
    std::string error;
    const auto code = ParseCriterion(text, conditions, error);
    if (code == result::kSuccess) {
        FUZZ_CHECK(!conditions.empty());
        for (const auto& c : conditions) FUZZ_CHECK(!c.field.empty() && c.field.find(']') == std::string::npos);
        const std::string again = Render(conditions);
        std::vector<Condition> reparsed;
        FUZZ_CHECK(ParseCriterion(again, reparsed, error) == result::kSuccess, "\"%s\" refused: %s", again.c_str(),
                   error.c_str());
        FUZZ_CHECK(Same(conditions, reparsed), "\"%s\" parses differently", again.c_str());
    } else {
        FUZZ_CHECK(code == result::kStoreBadCriterion && !error.empty() && conditions.empty());
    }

    Selection selection;
    if (ParseSelectText(text, selection, error) == result::kSuccess) FUZZ_CHECK(!selection.table.empty());
    Selection prefixed;
    if (ParseSelectText("Select * From InvPrintData where " + text, prefixed, error) == result::kSuccess) {
        FUZZ_CHECK(prefixed.table == "InvPrintData" && !prefixed.where.empty());
    }
    return 0;
}
