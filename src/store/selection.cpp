#include "store/selection.h"

#include <cctype>
#include <charconv>

#include "store/store_codes.h"

namespace karvex {
namespace {

class Scanner {
public:
    explicit Scanner(std::string_view text) : s_(text) {}

    void SkipBlanks() {
        while (pos_ < s_.size() && IsBlank(s_[pos_])) ++pos_;
    }
    bool AtEnd() {
        SkipBlanks();
        return pos_ >= s_.size();
    }
    // Consumes a keyword when it stands alone (followed by a blank, end, or a quote/sign).
    bool Keyword(std::string_view word) {
        SkipBlanks();
        if (s_.size() - pos_ < word.size()) return false;
        for (std::size_t i = 0; i < word.size(); ++i) {
            if (std::tolower(static_cast<unsigned char>(s_[pos_ + i])) != word[i]) return false;
        }
        std::size_t end = pos_ + word.size();
        if (end < s_.size() && IsNameChar(s_[end]) && IsNameChar(word.back())) return false;
        pos_ = end;
        return true;
    }
    bool Symbol(char c) {
        SkipBlanks();
        if (pos_ < s_.size() && s_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }
    // A bare name, or one in [brackets].
    bool Name(std::string& out) {
        SkipBlanks();
        out.clear();
        if (pos_ < s_.size() && s_[pos_] == '[') {
            std::size_t close = s_.find(']', pos_ + 1);
            if (close == std::string_view::npos || close == pos_ + 1) return false;
            out.assign(s_.substr(pos_ + 1, close - pos_ - 1));
            pos_ = close + 1;
            return true;
        }
        while (pos_ < s_.size() && IsNameChar(s_[pos_])) out += s_[pos_++];
        return !out.empty();
    }
    bool Value(FieldValue& out, std::string& error) {
        SkipBlanks();
        if (pos_ >= s_.size()) {
            error = "缺少条件值";
            return false;
        }
        if (s_[pos_] == '\'') {
            std::string text;
            ++pos_;
            for (;;) {
                if (pos_ >= s_.size()) {
                    error = "条件值缺少结束引号";
                    return false;
                }
                char c = s_[pos_++];
                if (c == '\'') {
                    if (pos_ < s_.size() && s_[pos_] == '\'') {
                        text += '\'';
                        ++pos_;
                        continue;
                    }
                    break;
                }
                text += c;
            }
            out = std::move(text);
            return true;
        }
        std::size_t start = pos_;
        if (s_[pos_] == '+' || s_[pos_] == '-') ++pos_;
        std::size_t digits = pos_;
        while (pos_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[pos_]))) ++pos_;
        bool fraction = false;
        if (pos_ < s_.size() && s_[pos_] == '.') {
            fraction = true;
            ++pos_;
            while (pos_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[pos_]))) ++pos_;
        }
        if (pos_ == digits || (pos_ < s_.size() && IsNameChar(s_[pos_]))) {
            error = "条件值既不是带引号的文字也不是数字";
            return false;
        }
        std::string_view lit = s_.substr(start, pos_ - start);
        if (lit.front() == '+') lit.remove_prefix(1);
        if (fraction) {
            double d = 0;
            auto r = std::from_chars(lit.data(), lit.data() + lit.size(), d);
            if (r.ec != std::errc() || r.ptr != lit.data() + lit.size()) {
                error = "数值无效";
                return false;
            }
            out = d;
        } else {
            std::int64_t v = 0;
            auto r = std::from_chars(lit.data(), lit.data() + lit.size(), v);
            if (r.ec != std::errc() || r.ptr != lit.data() + lit.size()) {
                error = "数值超出范围";
                return false;
            }
            out = v;
        }
        return true;
    }
    std::string_view Rest() const { return s_.substr(pos_); }

private:
    static bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
    static bool IsNameChar(char c) {
        auto u = static_cast<unsigned char>(c);
        return u >= 0x80 || std::isalnum(u) || c == '_';
    }
    std::string_view s_;
    std::size_t pos_ = 0;
};

std::int32_t Fail(std::string& error, std::string reason, std::string_view text) {
    error = std::move(reason) + "：" + std::string(text);
    return result::kStoreBadCriterion;
}

std::int32_t ParseTerms(Scanner& sc, std::string_view text, std::vector<Condition>& out, std::string& error) {
    std::vector<Condition> terms;
    do {
        Condition c;
        if (!sc.Name(c.field)) return Fail(error, "条件中缺少字段名", text);
        std::string why;
        if (sc.Symbol('=')) {
            if (!sc.Value(c.low, why)) return Fail(error, why, text);
        } else if (sc.Keyword("between")) {
            c.op = Condition::Op::Between;
            if (!sc.Value(c.low, why)) return Fail(error, why, text);
            if (!sc.Keyword("and")) return Fail(error, "between 条件缺少 and", text);
            if (!sc.Value(c.high, why)) return Fail(error, why, text);
        } else {
            return Fail(error, "条件中只能用 = 或 between", text);
        }
        terms.push_back(std::move(c));
    } while (sc.Keyword("and"));
    if (!sc.AtEnd()) return Fail(error, "条件后有多余的文字", text);
    out.insert(out.end(), terms.begin(), terms.end());
    return result::kSuccess;
}

}  // namespace

std::int32_t ParseCriterion(std::string_view text, std::vector<Condition>& out, std::string& error) {
    Scanner sc(text);
    return ParseTerms(sc, text, out, error);
}

std::int32_t ParseSelectText(std::string_view text, Selection& out, std::string& error) {
    Scanner sc(text);
    Selection sel;
    if (!sc.Keyword("select") || !sc.Symbol('*') || !sc.Keyword("from"))
        return Fail(error, "查询文字须为 Select * From 表名", text);
    if (!sc.Name(sel.table)) return Fail(error, "查询文字缺少表名", text);
    if (!sc.AtEnd()) {
        if (!sc.Keyword("where")) return Fail(error, "表名后只能跟 where 条件", text);
        std::int32_t rc = ParseTerms(sc, text, sel.where, error);
        if (rc != result::kSuccess) return rc;
    }
    out = std::move(sel);
    return result::kSuccess;
}

}  // namespace karvex
