#include "store/open_steps.h"

#include <sqlcipher/sqlite3.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "store/outbox.h"
#include "store/schema.h"
#include "store/store_codes.h"
#include "store/store_connection.h"
#include "store/store_upkeep.h"

namespace karvex {

std::span<const StoreOpenStep> StoreOpenSteps() {
    static constexpr StoreOpenStep kSteps[] = {
        // ----- tables
        {"CreateSchemaTables", CreateSchemaTables},
        {"AddMissingColumns", AddMissingColumns},
        {"CreateSerialSettingsRow", CreateSerialSettingsRow},

        // ----- indexes
        {"EnsureSearchIndexes", EnsureSearchIndexes},
        {"EnsureMaintainedTotals", EnsureMaintainedTotals},

        // ----- triggers
        // Capture for the central database, made last: its triggers read the tables' columns.
        {"CreateOutboxTables", CreateOutboxTables},
        {"CreateOutboxTriggers", CreateOutboxTriggers},

    };
    return kSteps;
}

// ----- tables

std::int32_t CreateSchemaTables(StoreConnection& conn) {
    for (const TableDef& table : StoreTables()) {
        if (std::int32_t code = conn.Exec(CreateTableSql(table)); code != result::kSuccess) return code;
    }
    return result::kSuccess;
}

namespace {

bool SameColumn(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

const char* SqlTypeOf(FieldType type) {
    switch (type) {
    case FieldType::Text: return "TEXT";
    case FieldType::Double: return "REAL";
    default: return "INTEGER";
    }
}

}  // namespace

// A store made by an older build lacks the columns added since; they are added empty, so that its rows stay
// and every reader finds the columns it names.
std::int32_t AddMissingColumns(StoreConnection& conn) {
    for (const TableDef& table : StoreTables()) {
        std::vector<std::string> present;
        {
            Statement st(conn, "PRAGMA table_info(" + QuoteIdentifier(table.name) + ")");
            if (st.PrepareResult() != SQLITE_OK) return conn.FailEngine(st.PrepareResult(), "读取表结构失败");
            while (sqlite3_step(st.get()) == SQLITE_ROW) {
                const unsigned char* name = sqlite3_column_text(st.get(), 1);
                if (name != nullptr) present.emplace_back(reinterpret_cast<const char*>(name));
            }
        }
        for (const FieldDef& field : table.fields) {
            bool found = false;
            for (const std::string& name : present) found = found || SameColumn(name, field.name);
            if (found) continue;
            const std::string sql = "ALTER TABLE " + QuoteIdentifier(table.name) + " ADD COLUMN " +
                                    QuoteIdentifier(field.name) + " " + SqlTypeOf(field.type) + ";";
            if (std::int32_t code = conn.Exec(sql); code != result::kSuccess) return code;
        }
    }
    return result::kSuccess;
}

std::int32_t CreateSerialSettingsRow(StoreConnection& conn) {
    return conn.Exec(
        "INSERT INTO \"ComSet\" (\"CommPort\", \"Bite\") SELECT 0, 0 WHERE NOT EXISTS (SELECT 1 FROM \"ComSet\");");
}

// ----- indexes

// ----- triggers

}  // namespace karvex
