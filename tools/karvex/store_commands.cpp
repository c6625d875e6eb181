// Store subcommands for a service technician: read a table as JSON, clear tables by the console's flag set.
// They work on the store file directly and need no serial link.
#include <cstdlib>

#include "commands.h"
#include "control/paths.h"
#include "store/record_set.h"
#include "store/schema.h"
#include "store/store_access.h"

namespace karvex::cli {

namespace {

JsonValue FieldJson(const FieldValue& v) {
    struct Visitor {
        JsonValue operator()(std::monostate) { return JsonValue(); }
        JsonValue operator()(std::int64_t i) { return JsonValue(static_cast<long long>(i)); }
        JsonValue operator()(double d) { return JsonValue(d); }
        JsonValue operator()(const std::string& s) { return JsonValue(s); }
        JsonValue operator()(const Bytes& b) {
            static const char* hex = "0123456789ABCDEF";
            std::string out;
            for (auto c : b) {
                out.push_back(hex[c >> 4]);
                out.push_back(hex[c & 0x0F]);
            }
            return JsonValue(out);
        }
    };
    return std::visit(Visitor{}, v);
}

Outcome DumpTable(Fiscal&, const Options& o) {
    if (!o.Has("table")) throw UsageError{"missing --table NAME"};
    const TableDef* table = FindStoreTable(o.Get("table"));
    if (!table) throw UsageError{"no table named " + o.Get("table")};
    Outcome out{"DumpTable", 0, {}};
    // Only reads: allowed while a control writes the store.
    StoreAccess store(ResolveDataPaths().appDir);
    if ((out.result = store.Open(StoreMode::Read)) != 0) {
        out.outputs.emplace_back("error", store.LastErrorText());
        return out;
    }
    std::string select = "Select * From " + table->name;
    if (o.Has("where")) select += " where " + o.Get("where");
    RecordSet rs;
    if ((out.result = rs.Open(store.Connection(), select)) != 0) {
        out.outputs.emplace_back("error", rs.LastErrorText());
        return out;
    }
    JsonArray rows;
    if (!rs.Eof()) {
        for (rs.MoveFirst(); !rs.Eof(); rs.MoveNext()) {
            JsonObject row;
            for (const auto& f : table->fields) {
                FieldValue v;
                rs.Get(f.name, v);
                row.emplace_back(f.name, FieldJson(v));
            }
            rows.emplace_back(std::move(row));
        }
    }
    out.outputs.emplace_back("table", table->name);
    out.outputs.emplace_back("count", static_cast<long long>(rows.size()));
    out.outputs.emplace_back("rows", std::move(rows));
    return out;
}

Outcome ClearTables(Fiscal&, const Options& o) {
    if (!o.Has("flags")) throw UsageError{"missing --flags MASK (e.g. 0x3FFDF8)"};
    const std::string text = o.Get("flags");
    char* end = nullptr;
    unsigned long flags = std::strtoul(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || flags > 0xFFFFFFFFul) throw UsageError{"--flags is not a number: " + text};
    Outcome out{"ClearStoreTables", 0, {}};
    StoreAccess store(ResolveDataPaths().appDir);
    if ((out.result = store.Open()) != 0) {
        out.outputs.emplace_back("error", store.LastErrorText());
        return out;
    }
    JsonArray cleared;
    out.result = store.ClearStoreTables(2, static_cast<std::uint32_t>(flags), [&](int label, const std::string& caption) {
        cleared.emplace_back(JsonObject{{"label", label}, {"caption", caption}});
    });
    if (out.result != 0) out.outputs.emplace_back("error", store.LastErrorText());
    out.outputs.emplace_back("cleared", std::move(cleared));
    return out;
}

}  // namespace

void AddStoreSubcommands(std::vector<Subcommand>& list) {
    list.push_back({"dump", "print a store table as JSON", "--table NAME [--where \"字段='值'\"]", DumpTable, false});
    list.push_back({"clear", "clear store tables by the console's flag set", "--flags MASK", ClearTables, false});
}

}  // namespace karvex::cli
