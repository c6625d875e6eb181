#pragma once
// Change capture for the central database. Every insert and update of a synced table also writes a copy
// of the row into the outbox table, in the same transaction (store triggers), so a row is either in its
// table and in the outbox or in neither. The sync sends outbox rows in order and deletes them only once
// the central server has committed them. Deleting rows locally (clearing a table to free room) captures
// nothing for the tables that are a history (invoices, days, declarations, the journal): the central
// database is their archive. A table that tells the current state (the rolls a register still has) sends a
// tombstone for a deleted row instead, so that the head office's view of that state stays right.
//
// Every captured copy is numbered by the outbox's own counter (seq, which never goes back); with the
// store's generation (the moment the store's sync state was made) it is the row's version centrally, where
// an older version never replaces a newer one.
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
    // A local delete sends a tombstone (the table tells a state, not a history).
    bool mirrorsDeletes = false;
};

inline constexpr const char* kOutboxTable = "karvex_outbox";
inline constexpr const char* kSyncStateTable = "karvex_sync_state";
// Columns captured like every other but never sent to the central database: the card's password stays on
// the register. Sent as NULL, so the central column (kept for older registers) is blanked by every row.
bool WithheldColumn(const std::string& table, const std::string& column);

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
