#include "store/outbox.h"

#include <sqlcipher/sqlite3.h>

#include "store/schema.h"
#include "store/store_codes.h"
#include "store/store_connection.h"

namespace karvex {
namespace {

constexpr const char* kMachineTable = "MachineData";
constexpr const char* kMachineColumn = "机器编号";

// The processor a row belongs to: the machine data row's own number, else the last number the store read.
// NULL while none has been read; the sync then uses the number it finds when it sends.
std::string MachineOf(const std::string& table, const std::string& rowPrefix) {
    if (table == kMachineTable) return rowPrefix + QuoteIdentifier(kMachineColumn);
    return "(SELECT " + QuoteIdentifier(kMachineColumn) + " FROM " + QuoteIdentifier(kMachineTable) + " ORDER BY " +
           QuoteIdentifier(kRowIdColumn) + " DESC LIMIT 1)";
}

std::string ValueColumns(std::size_t count) {
    std::string out;
    for (std::size_t i = 1; i <= count; ++i) out += ", v" + std::to_string(i);
    return out;
}

std::string RowValues(const std::vector<std::string>& columns, const std::string& prefix) {
    std::string out;
    for (const std::string& c : columns) out += ", " + prefix + QuoteIdentifier(c);
    return out;
}

std::string TriggerName(const std::string& table, const char* event) { return "karvex_outbox_" + table + "_" + event; }

// The key value of a row as the outbox keeps it: one waiting copy per key, '' for one-row tables.
std::string KeyOf(const SyncedTable& table, const std::string& rowPrefix) {
    return *table.key == '\0' ? std::string("''") : rowPrefix + QuoteIdentifier(table.key);
}

// A copy still waiting for the same row is replaced, not joined: the central database only ever needs the
// row's latest content, and a table refilled with the same rows answer after answer keeps the outbox at
// one copy per row.
std::string TriggerSql(const SyncedTable& table, const char* event, const std::vector<std::string>& columns) {
    const std::string name = table.name;
    return "CREATE TRIGGER " + QuoteIdentifier(TriggerName(name, event)) + " AFTER " + event + " ON " +
           QuoteIdentifier(name) + " BEGIN DELETE FROM " + kOutboxTable + " WHERE tbl = '" + name + "' AND ky IS " +
           KeyOf(table, "NEW.") + "; INSERT INTO " + kOutboxTable + " (tbl, machine, ky" +
           ValueColumns(columns.size()) + ") VALUES ('" + name + "', " + MachineOf(name, "NEW.") + ", " +
           KeyOf(table, "NEW.") + RowValues(columns, "NEW.") + "); END";
}

// A deleted row leaves a tombstone (del = 1, no values) in place of any copy still waiting for it; a row
// inserted again in the same answer (a table refilled) replaces the tombstone in turn.
std::string DeleteTriggerSql(const SyncedTable& table) {
    const std::string name = table.name;
    return "CREATE TRIGGER " + QuoteIdentifier(TriggerName(name, "DELETE")) + " AFTER DELETE ON " +
           QuoteIdentifier(name) + " BEGIN DELETE FROM " + kOutboxTable + " WHERE tbl = '" + name + "' AND ky IS " +
           KeyOf(table, "OLD.") + "; INSERT INTO " + kOutboxTable + " (tbl, machine, ky, del) VALUES ('" + name +
           "', " + MachineOf(name, "OLD.") + ", " + KeyOf(table, "OLD.") + ", 1); END";
}

std::int32_t HasColumn(StoreConnection& conn, const char* table, const char* column, bool& has) {
    has = false;
    Statement st(conn, std::string("PRAGMA table_info(") + table + ")");
    if (st.PrepareResult() != SQLITE_OK) return conn.FailEngine(st.PrepareResult(), "读取表结构失败");
    int rc;
    while ((rc = sqlite3_step(st.get())) == SQLITE_ROW) {
        const unsigned char* text = sqlite3_column_text(st.get(), 1);
        if (text != nullptr && std::string(reinterpret_cast<const char*>(text)) == column) has = true;
    }
    if (rc != SQLITE_DONE) return conn.FailEngine(sqlite3_extended_errcode(conn.Handle()), "读取表结构失败");
    return result::kSuccess;
}

// The stored text of a trigger, or empty when there is none.
std::int32_t StoredTrigger(StoreConnection& conn, const std::string& name, std::string& sql) {
    sql.clear();
    Statement st(conn, "SELECT sql FROM sqlite_master WHERE type = 'trigger' AND name = ?1");
    if (st.PrepareResult() != SQLITE_OK) return conn.FailEngine(st.PrepareResult(), "读取同步触发器失败");
    sqlite3_bind_text(st.get(), 1, name.c_str(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
    int rc = sqlite3_step(st.get());
    if (rc == SQLITE_ROW) {
        if (const unsigned char* text = sqlite3_column_text(st.get(), 0)) sql = reinterpret_cast<const char*>(text);
        return result::kSuccess;
    }
    if (rc != SQLITE_DONE) return conn.FailEngine(sqlite3_extended_errcode(conn.Handle()), "读取同步触发器失败");
    return result::kSuccess;
}

}  // namespace

const std::vector<SyncedTable>& SyncedTables() {
    static const std::vector<SyncedTable> tables = {
        {"InvPrintData", "开票日期发票号"},
        {"DayTrade", "日期"},
        {"InvUseSum", "发票代码发票起始号"},
        {"DeclareData", "数据起始日期"},
        {"InvoiceNumber", "发票代码单卷发票起始号", true},
        {"MachineData", ""},
        {"UserInformation", ""},
        // A sale id is optional, so a journal row is known by its row identity, which only grows.
        {"SalesJournal", kRowIdColumn},
    };
    return tables;
}

const SyncedTable* FindSyncedTable(const std::string& name) {
    for (const SyncedTable& t : SyncedTables())
        if (name == t.name) return &t;
    return nullptr;
}

bool WithheldColumn(const std::string& table, const std::string& column) {
    return table == "UserInformation" && column == "税控卡使用口令";
}

std::int32_t StoreColumns(StoreConnection& conn, const std::string& table, std::vector<std::string>& columns) {
    columns.clear();
    const SyncedTable* synced = FindSyncedTable(table);
    const bool keepRowId = synced != nullptr && std::string(synced->key) == kRowIdColumn;
    // The engine here has no table-valued pragmas; the name is quoted like any identifier.
    Statement st(conn, "PRAGMA table_info(" + QuoteIdentifier(table) + ")");
    if (st.PrepareResult() != SQLITE_OK) return conn.FailEngine(st.PrepareResult(), "读取表结构失败");
    int rc;
    while ((rc = sqlite3_step(st.get())) == SQLITE_ROW) {
        const unsigned char* text = sqlite3_column_text(st.get(), 1);
        std::string name = text ? reinterpret_cast<const char*>(text) : "";
        if (name != kRowIdColumn || keepRowId) columns.push_back(std::move(name));
    }
    if (rc != SQLITE_DONE) return conn.FailEngine(sqlite3_extended_errcode(conn.Handle()), "读取表结构失败");
    return result::kSuccess;
}

std::int32_t CreateOutboxTables(StoreConnection& conn) {
    std::string sql = std::string("CREATE TABLE IF NOT EXISTS ") + kOutboxTable +
                      " (seq INTEGER PRIMARY KEY AUTOINCREMENT, tbl TEXT NOT NULL, machine TEXT, ky TEXT";
    for (int i = 1; i <= kOutboxValueColumns; ++i) sql += ", v" + std::to_string(i);
    sql += std::string("); CREATE INDEX IF NOT EXISTS karvex_outbox_key ON ") + kOutboxTable + " (tbl, ky);";
    // One row: what the last sync achieved, for the status and for the back-off of the next one.
    sql += std::string(" CREATE TABLE IF NOT EXISTS ") + kSyncStateTable +
           " (id INTEGER PRIMARY KEY CHECK (id = 1), central TEXT, last_success TEXT, last_attempt TEXT,"
           " last_code INTEGER NOT NULL DEFAULT 0, last_error TEXT, failures INTEGER NOT NULL DEFAULT 0,"
           " rows_sent INTEGER NOT NULL DEFAULT 0);"
           " INSERT OR IGNORE INTO " +
           kSyncStateTable + " (id) VALUES (1);";
    if (std::int32_t rc = conn.Exec(sql); rc != result::kSuccess) return rc;
    // Added to stores made before tombstones and row versions, in the same place a new store has them.
    bool has = false;
    if (std::int32_t rc = HasColumn(conn, kOutboxTable, "del", has); rc != result::kSuccess) return rc;
    if (!has) {
        if (std::int32_t rc =
                conn.Exec(std::string("ALTER TABLE ") + kOutboxTable + " ADD COLUMN del INTEGER NOT NULL DEFAULT 0");
            rc != result::kSuccess)
            return rc;
    }
    if (std::int32_t rc = HasColumn(conn, kSyncStateTable, "generation", has); rc != result::kSuccess) return rc;
    if (!has) {
        if (std::int32_t rc =
                conn.Exec(std::string("ALTER TABLE ") + kSyncStateTable + " ADD COLUMN generation INTEGER");
            rc != result::kSuccess)
            return rc;
    }
    // Milliseconds since 1970 when the store's sync state was made: a store made later (a register's store
    // replaced) has a later generation, and its rows win centrally over those of the one it replaced.
    return conn.Exec(std::string("UPDATE ") + kSyncStateTable +
                     " SET generation = CAST((julianday('now') - 2440587.5) * 86400000 AS INTEGER)"
                     " WHERE id = 1 AND generation IS NULL");
}

std::int32_t CreateOutboxTriggers(StoreConnection& conn) {
    for (const SyncedTable& table : SyncedTables()) {
        std::vector<std::string> columns;
        if (std::int32_t rc = StoreColumns(conn, table.name, columns); rc != result::kSuccess) return rc;
        if (columns.empty()) continue;
        if (columns.size() > static_cast<std::size_t>(kOutboxValueColumns)) {
            return conn.Fail(result::kExecutionFailed, std::string("表 ") + table.name + " 的列数超过同步发件箱的容量");
        }
        bool firstTime = false;
        for (const char* event : {"INSERT", "UPDATE", "DELETE"}) {
            const bool deletes = std::string(event) == "DELETE";
            if (deletes && !table.mirrorsDeletes) continue;
            const std::string name = TriggerName(table.name, event);
            const std::string wanted = deletes ? DeleteTriggerSql(table) : TriggerSql(table, event, columns);
            std::string stored;
            if (std::int32_t rc = StoredTrigger(conn, name, stored); rc != result::kSuccess) return rc;
            if (stored == wanted) continue;
            if (stored.empty()) {
                // Only a table never captured before has a history to copy; a delete trigger added to a
                // captured table has none.
                firstTime = firstTime || std::string(event) == "INSERT";
            } else if (std::int32_t rc = conn.Exec("DROP TRIGGER " + QuoteIdentifier(name)); rc != result::kSuccess) {
                return rc;
            }
            if (std::int32_t rc = conn.Exec(wanted); rc != result::kSuccess) return rc;
        }
        if (firstTime) {
            const std::string backfill = std::string("INSERT INTO ") + kOutboxTable + " (tbl, machine, ky" +
                                         ValueColumns(columns.size()) + ") SELECT '" + table.name + "', " +
                                         MachineOf(table.name, "") + ", " + KeyOf(table, "") + RowValues(columns, "") +
                                         " FROM " + QuoteIdentifier(table.name) + " ORDER BY " +
                                         QuoteIdentifier(kRowIdColumn);
            if (std::int32_t rc = conn.Exec(backfill); rc != result::kSuccess) return rc;
        }
    }
    return result::kSuccess;
}

}  // namespace karvex
