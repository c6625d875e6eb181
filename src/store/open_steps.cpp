#include "store/open_steps.h"

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

std::int32_t CreateSerialSettingsRow(StoreConnection& conn) {
    return conn.Exec(
        "INSERT INTO \"ComSet\" (\"CommPort\", \"Bite\") SELECT 0, 0 WHERE NOT EXISTS (SELECT 1 FROM \"ComSet\");");
}

// ----- indexes

// ----- triggers

}  // namespace karvex
