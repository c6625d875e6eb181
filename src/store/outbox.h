#pragma once
// Change capture for the central database. Every insert and update of a synced table also writes a copy
// of the row into the outbox table, in the same transaction (store triggers), so a row is either in its
// table and in the outbox or in neither. The sync sends outbox rows in order and deletes them only once
// the central server has committed them. Deleting rows locally (clearing a table, an answer that refills
// its table) captures nothing: the central database is the archive.
//
// The outbox keeps values in numbered columns v1..vN in the order of the table's own columns, with the
// engine's own types, so that the sync reads back exactly what the table held. It holds at most one
// waiting copy of a row (by table and key, column ky): a newer copy replaces the older one.
#include <cstdint>
#include <string>
#include <vector>

namespace karvex {

class StoreConnection;

struct SyncedTable {
    const char* name;
    // The table's own key; empty for the tables that hold one row per processor (the machine number alone
    // keys them centrally); kRowIdColumn for a table whose rows have no key of their own.
    const char* key;
};

inline constexpr const char* kOutboxTable = "karvex_outbox";
inline constexpr const char* kSyncStateTable = "karvex_sync_state";
// Room for the widest synced table; a table with more columns is refused when its triggers are made.
inline constexpr int kOutboxValueColumns = 64;

// The tables whose changes go to the central database, in the order the head office needs them.
const std::vector<SyncedTable>& SyncedTables();
const SyncedTable* FindSyncedTable(const std::string& name);

// The columns of a table as the store has them, in their order (the row identity only where it is the
// key); empty when the table is not there.
std::int32_t StoreColumns(StoreConnection& conn, const std::string& table, std::vector<std::string>& columns);

// The outbox and the sync's state row, created when missing.
std::int32_t CreateOutboxTables(StoreConnection& conn);
// The capture triggers of every synced table that exists, created when missing and remade when the
// table's columns changed. A table that gains its triggers for the first time has its rows copied into
// the outbox at once, so a store written before capture existed sends its history too.
std::int32_t CreateOutboxTriggers(StoreConnection& conn);

}  // namespace karvex
