#pragma once
// Tables and fields of the record store FiscalMachine.mdb. Every identifier that reaches SQL text
// is looked up here first, so a field or table name typed by an operator or carried in a
// criterion text can never inject SQL.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace karvex {

// The value kinds the writers give. Byte, Short and Long are range-checked on write.
enum class FieldType { Text, Byte, Short, Long, Double };

struct FieldDef {
    std::string name;
    FieldType type;
};

struct TableDef {
    std::string name;
    std::vector<FieldDef> fields;
    // Look-up key declared unique; empty when the table has none.
    std::string uniqueKey;

    // Column index of a field, or -1. Chinese names match exactly, ASCII letters without case.
    int FieldIndex(std::string_view field) const;
};

inline constexpr const char* kStoreFileName = "FiscalMachine.mdb";
// Technical row identity of every table; not one of the fields a record set shows.
inline constexpr const char* kRowIdColumn = "karvex_row";

// Every table of the store, in a fixed order.
const std::vector<TableDef>& StoreTables();
// The table with that name (ASCII letters without case), or nullptr.
const TableDef* FindStoreTable(std::string_view name);

// "name" with embedded quotes doubled: a safe SQL identifier.
std::string QuoteIdentifier(std::string_view name);
// CREATE TABLE / CREATE UNIQUE INDEX statements for a table (IF NOT EXISTS).
std::string CreateTableSql(const TableDef& table);

}  // namespace karvex
