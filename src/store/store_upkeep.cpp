#include "store/store_upkeep.h"

#include <sqlcipher/sqlite3.h>

#include "store/journal_names.h"
#include "store/schema.h"
#include "store/store_codes.h"
#include "store/store_connection.h"

namespace karvex {

const std::vector<SearchIndex>& SearchIndexes() {
    // DayTrade.日期 and DeclareData.数据起始日期 are unique keys and indexed as such.
    static const std::vector<SearchIndex> indexes = {
        {"InvPrintData", {"开票日期"}},
        {"InvPrintData", {"发票号"}},                  // the print-data range queries
        {"InvPrintData", {"开票类型", "开票总金额"}},  // the browser's totals
        {"InvUseSum", {"开票截止时间"}},
        {"InvUseSum", {"发票起始号"}},      // the roll-summary range queries
        {"DeclareData", {"数据截止日期"}},  // the declaration range query
        {"InvoiceNumber", {"发票使用状态"}},
        {"MakeInvoice", {"开票类型"}},  // the writers' look-ups
        // Before every issue: the sales whose outcome is not known, and whether an invoice is another sale's.
        {journal::kTable.data(), {journal::kState.data()}},
        {journal::kTable.data(), {journal::kInvNum.data()}},
        {journal::kTable.data(), {journal::kTaxCode.data()}},
    };
    return indexes;
}

std::string SearchIndexName(const SearchIndex& index) {
    std::string name = index.table;
    for (const char* f : index.fields) name += std::string("_") + f;
    return name;
}

std::int32_t EnsureSearchIndexes(StoreConnection& conn) {
    for (const SearchIndex& index : SearchIndexes()) {
        std::string columns;
        for (const char* f : index.fields) columns += (columns.empty() ? "" : ", ") + QuoteIdentifier(f);
        std::int32_t rc = conn.Exec("CREATE INDEX IF NOT EXISTS " + QuoteIdentifier(SearchIndexName(index)) + " ON " +
                                    QuoteIdentifier(index.table) + " (" + columns + ")");
        if (rc != result::kSuccess) return rc;
    }
    return result::kSuccess;
}

const std::vector<MaintainedTotals>& MaintainedTotalsTables() {
    static const std::vector<MaintainedTotals> tables = {
        {"InvPrintData", "开票类型", "开票总金额", "karvex_InvPrintData_totals"},
    };
    return tables;
}

const MaintainedTotals* MaintainedTotalsOf(const std::string& table) {
    for (const MaintainedTotals& t : MaintainedTotalsTables())
        if (table == t.table) return &t;
    return nullptr;
}

namespace {

enum class TotalsEvent { Insert, Delete, Update };

std::string TotalsTriggerName(const MaintainedTotals& t, TotalsEvent event) {
    const char* suffix = event == TotalsEvent::Insert   ? "_insert"
                         : event == TotalsEvent::Delete ? "_delete"
                                                        : "_update";
    return std::string(t.totalsTable) + suffix;
}

std::string TotalsTriggerSql(const MaintainedTotals& t, TotalsEvent event) {
    const std::string totals = QuoteIdentifier(t.totalsTable);
    const std::string table = QuoteIdentifier(t.table);
    const std::string kind = QuoteIdentifier(t.kindField);
    const std::string amount = QuoteIdentifier(t.amountField);
    auto add = [&](const char* row, const char* sign) {
        const std::string k = std::string("coalesce(") + row + "." + kind + ", -1)";
        return "INSERT OR IGNORE INTO " + totals + " VALUES (" + k + ", 0, 0); UPDATE " + totals + " SET rows = rows " +
               sign + " 1, amount = amount " + sign + " coalesce(" + row + "." + amount + ", 0) WHERE kind = " + k +
               ";";
    };
    const std::string head = "CREATE TRIGGER IF NOT EXISTS " + QuoteIdentifier(TotalsTriggerName(t, event));
    switch (event) {
    case TotalsEvent::Insert: return head + " AFTER INSERT ON " + table + " BEGIN " + add("NEW", "+") + " END;";
    case TotalsEvent::Delete: return head + " AFTER DELETE ON " + table + " BEGIN " + add("OLD", "-") + " END;";
    case TotalsEvent::Update: break;
    }
    return head + " AFTER UPDATE OF " + kind + ", " + amount + " ON " + table + " BEGIN " + add("OLD", "-") +
           add("NEW", "+") + " END;";
}

}  // namespace

std::int32_t EnsureMaintainedTotals(StoreConnection& conn) {
    for (const MaintainedTotals& t : MaintainedTotalsTables()) {
        const std::string totals = QuoteIdentifier(t.totalsTable);
        const std::string table = QuoteIdentifier(t.table);
        const std::string kind = QuoteIdentifier(t.kindField);
        const std::string amount = QuoteIdentifier(t.amountField);
        bool missing = true;
        {
            Statement probe(conn, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1");
            sqlite3_bind_text(probe.get(), 1, t.totalsTable, -1, SQLITE_STATIC);
            missing = sqlite3_step(probe.get()) != SQLITE_ROW;
        }
        if (missing) {
            std::int32_t rc = conn.Exec("CREATE TABLE " + totals +
                                        " (kind INTEGER PRIMARY KEY, rows INTEGER NOT NULL, amount REAL NOT NULL);"
                                        "INSERT INTO " +
                                        totals + " SELECT coalesce(" + kind + ", -1), count(*), total(" + amount +
                                        ") FROM " + table + " GROUP BY coalesce(" + kind + ", -1);");
            if (rc != result::kSuccess) return rc;
        }
        for (TotalsEvent event : {TotalsEvent::Insert, TotalsEvent::Delete, TotalsEvent::Update}) {
            if (std::int32_t rc = conn.Exec(TotalsTriggerSql(t, event)); rc != result::kSuccess) return rc;
        }
    }
    return result::kSuccess;
}

std::int32_t EmptyTable(StoreConnection& conn, const std::string& table) {
    const std::string plain = "DELETE FROM " + QuoteIdentifier(table);
    const MaintainedTotals* t = MaintainedTotalsOf(table);
    if (t == nullptr) return conn.Exec(plain);
    // The trigger is back before the caller's transaction ends, and goes with it if that is undone. Taking it
    // away and back writes the schema, which a store with no page to spare may refuse: the rows are then
    // deleted one by one, unless the engine undid the caller's whole transaction with it.
    // A few rows go faster one by one than the schema is written twice.
    double rows = 0;
    {
        Statement count(conn, "SELECT total(rows) FROM " + QuoteIdentifier(t->totalsTable));
        if (count.PrepareResult() == SQLITE_OK && sqlite3_step(count.get()) == SQLITE_ROW)
            rows = sqlite3_column_double(count.get(), 0);
    }
    if (rows < 1000) return conn.Exec(plain);
    const bool inTransaction = !sqlite3_get_autocommit(conn.Handle());
    if (conn.Begin() == result::kSuccess) {
        if (conn.Exec("DROP TRIGGER IF EXISTS " + QuoteIdentifier(TotalsTriggerName(*t, TotalsEvent::Delete)) + "; " +
                      plain + "; DELETE FROM " + QuoteIdentifier(t->totalsTable) + "; " +
                      TotalsTriggerSql(*t, TotalsEvent::Delete)) == result::kSuccess)
            return conn.Commit();
        conn.Rollback();
        // Deleting on its own now would empty the table for good.
        if (inTransaction && sqlite3_get_autocommit(conn.Handle()))
            return conn.Fail(result::kExecutionFailed, "事务已被存储引擎撤销，修改没有保存");
    }
    return conn.Exec(plain);
}

namespace {

std::int32_t PragmaNumber(StoreConnection& conn, const char* pragma, std::int64_t& out) {
    Statement stmt(conn, std::string("PRAGMA ") + pragma);
    if (stmt.PrepareResult() != SQLITE_OK) return conn.FailEngine(stmt.PrepareResult(), "读取存储文件页数失败");
    if (sqlite3_step(stmt.get()) != SQLITE_ROW)
        return conn.FailEngine(sqlite3_extended_errcode(conn.Handle()), "读取存储文件页数失败");
    out = sqlite3_column_int64(stmt.get(), 0);
    return result::kSuccess;
}

}  // namespace

std::int32_t ReadPageCounts(StoreConnection& conn, PageCounts& out) {
    out = {};
    if (std::int32_t rc = PragmaNumber(conn, "page_count", out.pages); rc != result::kSuccess) return rc;
    return PragmaNumber(conn, "freelist_count", out.freePages);
}

bool CompactionPays(const PageCounts& counts) {
    return counts.freePages >= kCompactMinFreePages && counts.freePages * kCompactFreeShareDivisor >= counts.pages;
}

bool StoreIntegrityOk(StoreConnection& conn, std::string& report) {
    report.clear();
    Statement stmt(conn, "PRAGMA integrity_check");
    if (stmt.PrepareResult() != SQLITE_OK) {
        report = sqlite3_errstr(stmt.PrepareResult());
        return false;
    }
    int rc;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt.get(), 0));
        if (!report.empty()) report += "\n";
        report += text ? text : "";
    }
    if (rc != SQLITE_DONE) report += std::string(report.empty() ? "" : "\n") + sqlite3_errstr(rc);
    return rc == SQLITE_DONE && report == "ok";
}

}  // namespace karvex
