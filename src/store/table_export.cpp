#include "store/table_export.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "convert/conversions.h"
#include "store/row_reader.h"
#include "store/store_codes.h"

namespace karvex {
namespace {

// Text handed to the sink at a time: enough to write in few calls, small enough to stay out of the way.
constexpr std::size_t kChunkBytes = 64 * 1024;

bool IsNull(const FieldValue& v) { return std::holds_alternative<std::monostate>(v); }

bool IsNumber(const FieldValue& v) {
    if (const auto* d = std::get_if<double>(&v)) return std::isfinite(*d);
    return std::holds_alternative<std::int64_t>(v);
}

}  // namespace

bool ParseExportFormat(std::string_view name, ExportFormat& out) {
    if (name == "json")
        out = ExportFormat::Json;
    else if (name == "jsonl")
        out = ExportFormat::JsonLines;
    else if (name == "csv")
        out = ExportFormat::Csv;
    else
        return false;
    return true;
}

std::string ExportValueText(const FieldValue& value) {
    if (const auto* i = std::get_if<std::int64_t>(&value)) return std::to_string(*i);
    if (const auto* d = std::get_if<double>(&value)) {
        if (!std::isfinite(*d)) return "";
        char buf[32];
        const auto r = std::to_chars(buf, buf + sizeof buf, *d);
        return std::string(buf, r.ptr);
    }
    if (const auto* s = std::get_if<std::string>(&value)) return *s;
    if (const auto* b = std::get_if<Bytes>(&value)) {
        std::string out;
        BytesToHex(*b, out);
        return out;
    }
    return "";
}

std::string CsvField(std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string SpreadsheetText(std::string_view text) {
    if (!text.empty() && std::string_view("=+-@\t\r").find(text.front()) != std::string_view::npos)
        return "'" + std::string(text);
    return std::string(text);
}

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out.push_back(static_cast<char>(c));
            }
        }
    }
    return out + "\"";
}

std::int32_t ExportRows(RowReader& reader, ExportFormat format, const std::function<void(std::string_view)>& sink,
                        std::int64_t& rows, bool trimPadding) {
    rows = 0;
    const TableDef* table = reader.Table();
    if (table == nullptr || !reader.IsOpen()) return result::kStoreOpenFailed;
    std::string buffer;
    auto flush = [&](bool always) {
        if (!buffer.empty() && (always || buffer.size() >= kChunkBytes)) {
            sink(buffer);
            buffer.clear();
        }
    };
    if (format == ExportFormat::Csv) {
        buffer += kUtf8ByteOrderMark;
        for (std::size_t i = 0; i < table->fields.size(); ++i)
            buffer += (i ? "," : "") + CsvField(table->fields[i].name);
        buffer += "\r\n";
    } else if (format == ExportFormat::Json) {
        buffer += "[";
    }
    std::int32_t rc = reader.ForEach([&](const StoredRow& row) {
        if (format == ExportFormat::Csv) {
            for (std::size_t i = 0; i < row.values.size(); ++i) {
                if (i) buffer += ',';
                const FieldValue& v = row.values[i];
                std::string text = ExportValueText(v);
                if (trimPadding && std::holds_alternative<std::string>(v)) {
                    // Fixed-width fields come from the processor padded with blanks (or zero bytes).
                    text.erase(text.find_last_not_of(std::string_view(" \0", 2)) + 1);
                }
                buffer += CsvField(std::holds_alternative<std::string>(v) ? SpreadsheetText(text) : text);
            }
            buffer += "\r\n";
        } else {
            if (format == ExportFormat::Json && rows > 0) buffer += ", ";
            buffer += '{';
            for (std::size_t i = 0; i < row.values.size(); ++i) {
                if (i) buffer += ", ";
                buffer += JsonString(table->fields[i].name) + ": ";
                const FieldValue& v = row.values[i];
                buffer += IsNull(v) || (std::holds_alternative<double>(v) && !IsNumber(v)) ? "null"
                          : IsNumber(v)                                                    ? ExportValueText(v)
                                        : JsonString(ExportValueText(v));
            }
            buffer += format == ExportFormat::JsonLines ? "}\n" : "}";
        }
        ++rows;
        flush(false);
        return true;
    });
    if (format == ExportFormat::Json) buffer += "]";
    flush(true);
    return rc;
}

}  // namespace karvex
