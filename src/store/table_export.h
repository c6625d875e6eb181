#pragma once
// Writing the rows of a selection out as they are read, in constant memory: CSV for spreadsheets, JSON
// lines, or one JSON array. The tool's dump and the data browser's export share it, so that both write the
// same CSV.
//
// CSV is UTF-8 with a byte-order mark, which the spreadsheet programs of Chinese offices need to take the
// file for UTF-8 rather than GBK; a header row of field names, fields quoted where they hold a comma, a
// quote or a line break (a quote doubled), lines ending in CR LF. A text that a spreadsheet would take for a
// formula is written as text (SpreadsheetText).
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "store/selection.h"

namespace karvex {

class RowReader;

enum class ExportFormat { Json, JsonLines, Csv };

// "json", "jsonl", "csv"; false for another name.
bool ParseExportFormat(std::string_view name, ExportFormat& out);

inline constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

// A value as exported: text as it is, numbers in their shortest exact decimal form (never a locale's decimal
// comma), bytes in hexadecimal, null as "" (CSV) or null (JSON).
std::string ExportValueText(const FieldValue& value);
// One CSV field, quoted when it must be.
std::string CsvField(std::string_view text);
// A text as a spreadsheet shows it without running it: one that begins with "=", "+", "-", "@", a tab or a
// carriage return (a formula to every spreadsheet program) gets a leading apostrophe, which the programs take
// as "this is text" and do not show. Numbers are not texts and keep their sign.
std::string SpreadsheetText(std::string_view text);
// One JSON string literal.
std::string JsonString(std::string_view text);

// Reads every row of the reader's selection and hands the text to `sink` in pieces of bounded size.
// Json writes "[" rows "]" (the caller puts it where it belongs). `rows` counts what was written.
// 0 or the reader's code (the rows written before a failure stay written). `trimPadding` drops the blanks
// that pad fixed-width texts at their end (CSV only: what a person reads).
std::int32_t ExportRows(RowReader& reader, ExportFormat format, const std::function<void(std::string_view)>& sink,
                        std::int64_t& rows, bool trimPadding = false);

}  // namespace karvex
