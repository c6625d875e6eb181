// Store subcommands for a service technician: read a table as JSON, JSON lines or CSV, clear tables by the console's
// flag set. They work on the store file directly and need no serial link.
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "commands.h"
#include "control/fiscal_access.h"
#include "control/paths.h"
#include "karvex/fiscal.h"
#include "link/result_codes.h"
#include "store/row_reader.h"
#include "store/schema.h"
#include "store/store_access.h"
#include "store/store_codes.h"
#include "store/table_export.h"

namespace karvex::cli {

namespace {

void Write(std::FILE* to, std::string_view text) { std::fwrite(text.data(), 1, text.size(), to); }

// Rows go out as they are read, so that a dump of a million rows needs no more memory than one of ten. The
// JSON form keeps the tool's one object, with "result" after the rows it vouches for; CSV and JSON lines
// carry only the data on standard output, and a failure goes to standard error as the usual object.
Outcome DumpTable(Fiscal& fiscal, const Options& o) {
    if (!o.Has("table")) throw UsageError{"missing --table NAME"};
    const TableDef* table = FindStoreTable(o.Get("table"));
    if (!table) throw UsageError{"no table named " + o.Get("table")};
    ExportFormat format = ExportFormat::Json;
    if (o.Has("format") && !ParseExportFormat(o.Get("format"), format))
        throw UsageError{"--format must be json, jsonl or csv, not " + o.Get("format")};
    Outcome out{"DumpTable", 0, {}};
    // Only reads: allowed while a control writes the store.
    StoreAccess store(FiscalAccess(fiscal).Paths().appDir, StoreKeyFor(fiscal.CurrentSettings()));
    if ((out.result = store.Open(StoreMode::Read)) != 0) {
        out.outputs.emplace_back("error", store.LastErrorText());
        out.toStandardError = format != ExportFormat::Json;
        return out;
    }
    std::string select = "Select * From " + table->name;
    if (o.Has("where")) select += " where " + o.Get("where");
    Selection selection;
    std::string why;
    RowReader reader;
    std::int64_t count = 0;
    if ((out.result = ParseSelectText(select, selection, why)) != 0) {
        out.result = result::kStoreOpenFailed;
    } else if ((out.result = reader.Open(store.Connection(), selection)) != 0 ||
               (format == ExportFormat::Json && (out.result = reader.Count(count)) != 0)) {
        why = reader.LastErrorText();
    }
    if (out.result != 0) {
        out.outputs.emplace_back("error", why);
        out.toStandardError = format != ExportFormat::Json;
        return out;
    }
    if (format == ExportFormat::Json) {
        Write(stdout, "{\"method\": \"DumpTable\", \"outputs\": {\"table\": " + JsonString(table->name) +
                          ", \"count\": " + std::to_string(count) + ", \"rows\": ");
    }
    std::int64_t rows = 0;
    out.result = ExportRows(
        reader, format, [](std::string_view text) { Write(stdout, text); }, rows);
    if (format == ExportFormat::Json) {
        std::string tail = "}";
        if (out.result != 0) tail = ", \"error\": " + JsonString(reader.LastErrorText()) + "}";
        tail += ", \"result\": " + std::to_string(out.result) +
                ", \"description\": " + JsonString(ResultCodeText(out.result)) + "}\n";
        Write(stdout, tail);
    } else if (out.result != 0) {
        out.outputs.emplace_back("error", reader.LastErrorText());
        out.outputs.emplace_back("rowsWritten", static_cast<long long>(rows));
        out.toStandardError = true;
        return out;
    }
    std::fflush(stdout);
    out.printed = true;
    return out;
}

Outcome ClearTables(Fiscal& fiscal, const Options& o) {
    if (!o.Has("flags")) throw UsageError{"missing --flags MASK (e.g. 0x3FFDF8)"};
    const std::string text = o.Get("flags");
    char* end = nullptr;
    unsigned long flags = std::strtoul(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || flags > 0xFFFFFFFFul) throw UsageError{"--flags is not a number: " + text};
    Outcome out{"ClearStoreTables", 0, {}};
    StoreAccess store(FiscalAccess(fiscal).Paths().appDir, StoreKeyFor(fiscal.CurrentSettings()));
    if ((out.result = store.Open()) != 0) {
        out.outputs.emplace_back("error", store.LastErrorText());
        return out;
    }
    JsonArray cleared;
    out.result =
        store.ClearStoreTables(2, static_cast<std::uint32_t>(flags), [&](int label, const std::string& caption) {
            cleared.emplace_back(JsonObject{{"label", label}, {"caption", caption}});
        });
    if (out.result != 0) out.outputs.emplace_back("error", store.LastErrorText());
    out.outputs.emplace_back("cleared", std::move(cleared));
    return out;
}

}  // namespace

void AddStoreSubcommands(std::vector<Subcommand>& list) {
    list.push_back({"dump",
                    "print a store table as it is read (JSON, JSON lines, or CSV in UTF-8 with a BOM)",
                    {Needs("table", "NAME"), Maybe("where", "\"字段='值'\""), Maybe("format", "json|jsonl|csv")},
                    DumpTable,
                    false});
    list.push_back(
        {"clear", "clear store tables by the console's flag set", {Needs("flags", "MASK")}, ClearTables, false});
}

}  // namespace karvex::cli
