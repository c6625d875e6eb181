#pragma once
// A tiny JSON writer for the tool's one-object output. Texts are UTF-8 and written as they are, with the
// characters JSON requires escaped.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "store/table_export.h"

namespace karvex::cli {

struct JsonValue;
using JsonObject = std::vector<std::pair<std::string, JsonValue>>;
using JsonArray = std::vector<JsonValue>;

struct JsonValue {
    std::variant<std::nullptr_t, bool, long long, double, std::string, JsonObject, JsonArray> v;
    JsonValue() : v(nullptr) {}
    JsonValue(bool b) : v(b) {}
    JsonValue(int i) : v(static_cast<long long>(i)) {}
    JsonValue(long long i) : v(i) {}
    JsonValue(double d) : v(d) {}
    JsonValue(const char* s) : v(std::string(s)) {}
    JsonValue(std::string s) : v(std::move(s)) {}
    JsonValue(JsonObject o) : v(std::move(o)) {}
    JsonValue(JsonArray a) : v(std::move(a)) {}
};

inline void AppendJsonString(std::string& out, const std::string& s) { out += JsonString(s); }

inline void AppendJson(std::string& out, const JsonValue& value) {
    struct Visitor {
        std::string& out;
        void operator()(std::nullptr_t) { out += "null"; }
        void operator()(bool b) { out += b ? "true" : "false"; }
        void operator()(long long i) { out += std::to_string(i); }
        void operator()(double d) {
            // to_chars ignores the process locale, which the Qt application sets from the environment: a
            // decimal comma would break the JSON. JSON has no NaN or infinity.
            if (!std::isfinite(d)) {
                out += "null";
                return;
            }
            char buf[32];
            const auto r = std::to_chars(buf, buf + sizeof buf, d);
            out.append(buf, r.ptr);
        }
        void operator()(const std::string& s) { AppendJsonString(out, s); }
        void operator()(const JsonObject& o) {
            out.push_back('{');
            bool first = true;
            for (const auto& [k, v] : o) {
                if (!first) out += ", ";
                first = false;
                AppendJsonString(out, k);
                out += ": ";
                AppendJson(out, v);
            }
            out.push_back('}');
        }
        void operator()(const JsonArray& a) {
            out.push_back('[');
            for (std::size_t i = 0; i < a.size(); ++i) {
                if (i) out += ", ";
                AppendJson(out, a[i]);
            }
            out.push_back(']');
        }
    };
    std::visit(Visitor{out}, value.v);
}

inline std::string ToJson(const JsonValue& value) {
    std::string out;
    AppendJson(out, value);
    return out;
}

}  // namespace karvex::cli
