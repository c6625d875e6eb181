#pragma once
// The central PostgreSQL schema "karvex": one table per synced store table with the register's machine
// number on every row, the head office's views, and the version the schema is at. Each version is one
// step; `karvex sync --init` applies the steps a database is missing, in one transaction.
#include <string>
#include <vector>

namespace karvex::sync {

inline constexpr int kCentralSchemaVersion = 4;
// The group role of the registers' logins (AddRegister); its members see and write their own rows only.
inline constexpr const char* kRegisterRole = "karvex_register";
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
// `localColumns`, the store table's own columns, then the store's generation and the row's version) for
// one register: $1 the machine number, $2 the rows. A row sent twice in one array counts once (its last
// copy); a row already there is replaced by a version at least as new and never by an older one, so
// sending the same batch again changes nothing. Empty when the store's columns lack the table's key.
std::string UpsertSql(const CentralTable& table, const std::vector<std::string>& localColumns);

// The same through a staging table of the central table's own form, for a large batch (a first sync): the
// rows are COPYed in as text in the column order of StagedColumns (machine number, the store's columns the
// centre has, generation, version), which converts them as fast as the server takes rows at all, and one
// upsert moves them over. StageSql makes (or empties) the staging table for the transaction.
std::vector<int> StagedColumns(const CentralTable& table, const std::vector<std::string>& localColumns);
std::string StageSql(const CentralTable& table);
std::string StageCopySql(const CentralTable& table, const std::vector<std::string>& localColumns);
std::string StagedUpsertSql(const CentralTable& table, const std::vector<std::string>& localColumns);
// The same lines COPYed straight into the central table, for rows the centre has none of yet (a register's
// first sync): a row already there makes it fail, and the caller then goes through the staging table. Only
// for tables whose rows no tombstone may hold back, and for a login row-level security does not bind
// (COPY into a table whose policies apply to the login is refused).
std::string DirectCopySql(const CentralTable& table, const std::vector<std::string>& localColumns);

// The statement that applies tombstones: $1 the machine number, $2 a JSON array of [key, generation,
// version]; a row is deleted unless a newer version of it is there.
std::string DeleteSql(const CentralTable& table);

// "karvex"."name", quoted for PostgreSQL.
std::string CentralName(const std::string& name);
std::string PgIdentifier(const std::string& name);

}  // namespace karvex::sync
