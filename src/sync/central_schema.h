#pragma once
// The central PostgreSQL schema "karvex": one table per synced store table with the register's machine
// number on every row, the head office's views, and the version the schema is at. Each version is one
// step; `karvex sync --init` applies the steps a database is missing, in one transaction.
#include <string>
#include <vector>

namespace karvex::sync {

inline constexpr int kCentralSchemaVersion = 4;
inline constexpr const char* kCentralSchemaName = "karvex";
// The column every central table carries first.
inline constexpr const char* kMachineNumberColumn = "machine_no";

struct CentralColumn {
    std::string name;
    std::string type;  // PostgreSQL type, with its CHECK when the store's field has a range
};

struct CentralTable {
    std::string name;
    std::string key;  // the store table's own key; empty: one row per register
    // A second key column, for a table keyed by row identity: a recreated store numbers its rows from 1
    // again, and its rows must land beside the older ones rather than over them.
    std::string keyTime;
    std::vector<CentralColumn> columns;
    int since = 1;  // the schema version that created it
};

// The central form of every synced table.
const std::vector<CentralTable>& CentralTables();
const CentralTable* FindCentralTable(const std::string& name);

// The statements that take the schema from version `version - 1` to `version` (1 creates it).
std::vector<std::string> CentralSchemaStep(int version);

// The view names of the head office, with one example query each (for the README and the tool's help).
struct CentralView {
    const char* name;
    const char* example;
};
const std::vector<CentralView>& CentralViews();

// The statement that upserts a JSON array of rows (each row an array of values in the order of
// `localColumns`, the store table's own columns) for one register: $1 the machine number, $2 the rows.
// A row sent twice in one array counts once (its last copy); a row already there is replaced, so sending
// the same batch again changes nothing. Empty when the store's columns lack the table's key.
std::string UpsertSql(const CentralTable& table, const std::vector<std::string>& localColumns);

// "karvex"."name", quoted for PostgreSQL.
std::string CentralName(const std::string& name);
std::string PgIdentifier(const std::string& name);

}  // namespace karvex::sync
