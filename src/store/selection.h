#pragma once
// What a record set is opened on: a table and an optional filter. Filters come either as
// field/value pairs built in code, or parsed from the texts the program has always used
// ("Select * From InvoiceNumber where 发票使用状态 = 1", "日期='20240101'"). Parsed values
// are kept as values and later bound, never pasted back into SQL.
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "convert/bytes.h"

namespace karvex {

// A field value: null, integer, double, text (UTF-8) or raw bytes.
using FieldValue = std::variant<std::monostate, std::int64_t, double, std::string, Bytes>;

struct Condition {
    enum class Op { Equal, Between };
    std::string field;
    Op op = Op::Equal;
    FieldValue low;   // the value for Equal
    FieldValue high;  // upper end (inclusive) for Between
};

struct Selection {
    std::string table;
    std::vector<Condition> where;  // all must hold

    static Selection Of(std::string table) { return Selection{std::move(table), {}}; }
    Selection& Where(std::string field, FieldValue value) {
        where.push_back({std::move(field), Condition::Op::Equal, std::move(value), {}});
        return *this;
    }
    Selection& Between(std::string field, FieldValue low, FieldValue high) {
        where.push_back({std::move(field), Condition::Op::Between, std::move(low), std::move(high)});
        return *this;
    }
};

// Parses a criterion: term { "and" term }, term = field "=" value | field "between" value "and" value,
// value = 'text' (a doubled '' stands for one quote) | [+-]digits[.digits]. Field names are not
// checked here. Returns 0, or result::kStoreBadCriterion with a reason in error.
std::int32_t ParseCriterion(std::string_view text, std::vector<Condition>& out, std::string& error);

// Parses "Select * From <table> [where <criterion>]" (keywords without case). Returns 0, or
// result::kStoreBadCriterion with a reason in error.
std::int32_t ParseSelectText(std::string_view text, Selection& out, std::string& error);

}  // namespace karvex
