#pragma once
// Keeping a store of years of answers quick: the search indexes every range query and stored-record
// criterion relies on, the rule that decides whether compaction at unload is worth its copy, and the
// engine's own integrity check.
#include <cstdint>
#include <string>
#include <vector>

namespace karvex {

class StoreConnection;

// A column searched by a browser range query or a record writer's criterion (and, for totals over a whole
// table, the columns they add up, so that the sums read the index instead of the table's rows).
struct SearchIndex {
    const char* table;
    std::vector<const char*> fields;
};

// Every search index, by table. Columns that are already a table's unique key are not repeated here.
const std::vector<SearchIndex>& SearchIndexes();
// The index's name in the store: "<table>_<field>[_<field>…]".
std::string SearchIndexName(const SearchIndex& index);
// Creates the indexes that are missing (an older store gains them at its first open; building one over a
// million rows takes a few seconds once). 0 or the engine's code, with the reason on the connection.
std::int32_t EnsureSearchIndexes(StoreConnection& conn);

// Row counts and amount totals per kind of a table, kept up to date by triggers in a small table of their own,
// so that counting or totalling the whole table (a million print-data rows) reads a few rows instead of an
// index of a million entries. A store without them gains them at open, filled from the table once.
struct MaintainedTotals {
    const char* table;
    const char* kindField;
    const char* amountField;
    const char* totalsTable;  // one row per kind: "kind" (null kinds as -1), "rows", "amount"
};
const std::vector<MaintainedTotals>& MaintainedTotalsTables();
// The maintained totals of `table`, or nullptr.
const MaintainedTotals* MaintainedTotalsOf(const std::string& table);
std::int32_t EnsureMaintainedTotals(StoreConnection& conn);
// Deletes every row of `table` inside the caller's transaction. A table with maintained totals has them
// emptied in one step rather than row by row, which lets the engine drop the table's pages whole: refilling
// twenty thousand print-data rows would otherwise run the totals' trigger twenty thousand times.
std::int32_t EmptyTable(StoreConnection& conn, const std::string& table);

// Page counts of the store file.
struct PageCounts {
    std::int64_t pages = 0;      // the whole file
    std::int64_t freePages = 0;  // pages on the free list: what compaction would give back
};
std::int32_t ReadPageCounts(StoreConnection& conn, PageCounts& out);

// Compaction copies the whole store, so it only pays when much of the file is free pages: at least a quarter
// of it, and at least 256 pages (1 MiB at 4 KiB pages), so that a small store is not rewritten for a few
// kilobytes either. Free pages are reused by later answers anyway; below the threshold the file would only
// shrink to grow again. Typical trigger: a large upload queued its frames in ARecord and emptied it.
inline constexpr std::int64_t kCompactFreeShareDivisor = 4;
inline constexpr std::int64_t kCompactMinFreePages = 256;
bool CompactionPays(const PageCounts& counts);

// PRAGMA integrity_check: true when the engine answers "ok"; otherwise its findings in `report`.
bool StoreIntegrityOk(StoreConnection& conn, std::string& report);

}  // namespace karvex
