#include "store/store_upkeep.h"

#include <sqlcipher/sqlite3.h>

#include "journal/journal.h"
#include "store/schema.h"
#include "store/store_codes.h"
#include "store/store_connection.h"

namespace karvex {

const std::vector<SearchIndex>& SearchIndexes() {
    // DayTrade.日期 and DeclareData.数据起始日期 are unique keys and indexed as such.
    static const std::vector<SearchIndex> indexes = {
        {"InvPrintData", {"开票日期"}},        {"InvPrintData", {"发票号"}},      // the print-data range queries
        {"InvPrintData", {"开票类型", "开票总金额"}},                            // the browser's totals
        {"InvUseSum", {"开票截止时间"}},      {"InvUseSum", {"发票起始号"}},    // the roll-summary range queries
        {"DeclareData", {"数据截止日期"}},                                        // the declaration range query
        {"InvoiceNumber", {"发票使用状态"}}, {"MakeInvoice", {"开票类型"}},     // the writers' look-ups
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
