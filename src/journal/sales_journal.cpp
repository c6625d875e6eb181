#include "journal/sales_journal.h"

#include <sqlcipher/sqlite3.h>

#include "journal/journal.h"
#include "store/schema.h"
#include "store/store_connection.h"

namespace karvex {

namespace {

std::string Q(std::string_view name) { return QuoteIdentifier(name); }

std::string Now() {
    const LocalTime t = ReadClock();
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    return text;
}

std::string Column(sqlite3_stmt* st, int index) {
    const unsigned char* text = sqlite3_column_text(st, index);
    return text != nullptr ? reinterpret_cast<const char*>(text) : std::string();
}

int BindText(sqlite3_stmt* st, int index, std::string_view text) {
    return sqlite3_bind_text(st, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

// The columns FindWhere reads, in this order.
std::string SelectColumns() {
    using namespace journal;
    std::string list = Q(kRowIdColumn);
    for (std::string_view c :
         {kSaleId, kRequest, kState, kResult, kInvNum, kTaxCode, kDateTime, kMachineNum, kUserName, kTaxNumber})
        list += ", " + Q(c);
    return list;
}

}  // namespace

ResultCode SalesJournal::Engine(int rc, const char* what) { return conn_.FailEngine(rc, std::string(what)); }

ResultCode SalesJournal::FindWhere(const std::string& where, std::string_view value, SaleRecord& out) {
    Statement st(conn_, "SELECT " + SelectColumns() + " FROM " + Q(journal::kTable) + " " + where);
    if (st.PrepareResult() != SQLITE_OK) return Engine(st.PrepareResult(), "读取销售记录失败");
    if (!value.empty() || where.find('?') != std::string::npos) BindText(st.get(), 1, value);
    const int rc = sqlite3_step(st.get());
    if (rc == SQLITE_DONE) return result::kNoSuchSale;
    if (rc != SQLITE_ROW) return Engine(rc, "读取销售记录失败");
    SaleRecord r;
    r.row = sqlite3_column_int64(st.get(), 0);
    r.saleId = Column(st.get(), 1);
    r.request = Column(st.get(), 2);
    r.state = Column(st.get(), 3);
    r.result = sqlite3_column_int(st.get(), 4);
    r.invNum = Column(st.get(), 5);
    r.taxCode = Column(st.get(), 6);
    r.dateTime = Column(st.get(), 7);
    r.reply.machine_num = Column(st.get(), 8);
    r.reply.user_name = Column(st.get(), 9);
    r.reply.tax_number = Column(st.get(), 10);
    r.reply.tax_code = r.taxCode;
    r.reply.date_time = r.dateTime;
    out = std::move(r);
    return result::kSuccess;
}

ResultCode SalesJournal::FindSale(std::string_view saleId, SaleRecord& out) {
    if (saleId.empty()) return result::kNoSuchSale;
    return FindWhere("WHERE " + Q(journal::kSaleId) + " = ?", saleId, out);
}

ResultCode SalesJournal::FindLast(SaleRecord& out) {
    return FindWhere("ORDER BY " + Q(kRowIdColumn) + " DESC LIMIT 1", {}, out);
}

ResultCode SalesJournal::FindUnresolved(SaleRecord& out) {
    return FindWhere("WHERE " + Q(journal::kState) + " IN ('" + std::string(journal::kSent) + "', '" +
                         std::string(journal::kInDoubt) + "') ORDER BY " + Q(kRowIdColumn) + " LIMIT 1",
                     {}, out);
}

ResultCode SalesJournal::Open(std::string_view saleId, ByteView frame, const SaleRequest& sale, std::int64_t& row) {
    using namespace journal;
    std::string hex;
    BytesToHex(frame, hex);
    StoreTransaction tx(conn_);
    if (tx.BeginResult() != result::kSuccess) return tx.BeginResult();

    SaleRecord earlier;
    const bool reuse = FindSale(saleId, earlier) == result::kSuccess;
    // A new attempt of a sale that was not issued starts its row afresh: nothing of the last attempt holds,
    // but the row keeps its creation time, which with its row identity names it in the central database.
    const std::string sql =
        reuse ? "UPDATE " + Q(kTable) + " SET " + Q(kKind) + " = ?1, " + Q(kReturned) + " = ?2, " + Q(kHousehold) +
                    " = ?3, " + Q(kPayer) + " = ?4, " + Q(kItemCount) + " = ?5, " + Q(kGoods) + " = ?6, " + Q(kTotal) +
                    " = ?7, " + Q(kRequest) + " = ?8, " + Q(kState) + " = ?10, " + Q(kUpdated) + " = ?9, " +
                    Q(kResult) + " = NULL, " + Q(kInvNum) + " = NULL, " + Q(kTaxCode) + " = NULL, " + Q(kDateTime) +
                    " = NULL, " + Q(kMachineNum) + " = NULL, " + Q(kUserName) + " = NULL, " + Q(kTaxNumber) +
                    " = NULL WHERE " + Q(kRowIdColumn) + " = ?11"
              : "INSERT INTO " + Q(kTable) + " (" + Q(kKind) + ", " + Q(kReturned) + ", " + Q(kHousehold) + ", " +
                    Q(kPayer) + ", " + Q(kItemCount) + ", " + Q(kGoods) + ", " + Q(kTotal) + ", " + Q(kRequest) + ", " +
                    Q(kCreated) + ", " + Q(kState) + ", " + Q(kUpdated) + ", " + Q(kSaleId) +
                    ") VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?9, ?11)";
    Statement st(conn_, sql);
    if (st.PrepareResult() != SQLITE_OK) return Engine(st.PrepareResult(), "保存销售记录失败");
    const std::string now = Now();
    sqlite3_stmt* s = st.get();
    sqlite3_bind_int(s, 1, sale.command);
    BindText(s, 2, sale.returned);
    sqlite3_bind_int(s, 3, sale.household);
    BindText(s, 4, sale.payer);
    sqlite3_bind_int(s, 5, static_cast<int>(sale.lines.size()));
    BindText(s, 6, SaleGoodsText(sale));
    sqlite3_bind_double(s, 7, static_cast<double>(sale.Total()) / 100.0);
    BindText(s, 8, hex);
    BindText(s, 9, now);
    BindText(s, 10, kSent);
    if (reuse) {
        sqlite3_bind_int64(s, 11, earlier.row);
    } else if (saleId.empty()) {
        sqlite3_bind_null(s, 11);
    } else {
        BindText(s, 11, saleId);
    }
    if (const int rc = sqlite3_step(s); rc != SQLITE_DONE)
        return Engine(sqlite3_extended_errcode(conn_.Handle()), "保存销售记录失败");
    row = reuse ? earlier.row : sqlite3_last_insert_rowid(conn_.Handle());
    return tx.Commit();
}

ResultCode SalesJournal::Settle(std::int64_t row, const SaleOutcome& outcome) {
    using namespace journal;
    // The outcome may skip its sync: a power cut that loses it leaves the row "sent", which the next load
    // settles by asking the processor. The "sent" row itself is always synced before the frame goes out.
    StoreConnection::UnsyncedCommits unsynced(conn_);
    StoreTransaction tx(conn_);
    if (tx.BeginResult() != result::kSuccess) return tx.BeginResult();
    std::string sql =
        "UPDATE " + Q(kTable) + " SET " + Q(kState) + " = ?1, " + Q(kResult) + " = ?2, " + Q(kUpdated) + " = ?3";
    if (!outcome.invNum.empty()) sql += ", " + Q(kInvNum) + " = ?4";
    if (outcome.reply != nullptr) {
        sql += ", " + Q(kTaxCode) + " = ?5, " + Q(kDateTime) + " = ?6, " + Q(kMachineNum) + " = ?7, " + Q(kUserName) +
               " = ?8, " + Q(kTaxNumber) + " = ?9";
    }
    sql += " WHERE " + Q(kRowIdColumn) + " = ?10";
    Statement st(conn_, sql);
    if (st.PrepareResult() != SQLITE_OK) return Engine(st.PrepareResult(), "保存销售记录失败");
    sqlite3_stmt* s = st.get();
    BindText(s, 1, outcome.state);
    sqlite3_bind_int(s, 2, outcome.result);
    BindText(s, 3, Now());
    if (!outcome.invNum.empty()) BindText(s, 4, outcome.invNum);
    if (const IssueReply* r = outcome.reply) {
        BindText(s, 5, r->tax_code);
        BindText(s, 6, r->date_time);
        BindText(s, 7, r->machine_num);
        BindText(s, 8, r->user_name);
        BindText(s, 9, r->tax_number);
    }
    sqlite3_bind_int64(s, 10, row);
    if (sqlite3_step(s) != SQLITE_DONE) return Engine(sqlite3_extended_errcode(conn_.Handle()), "保存销售记录失败");
    return tx.Commit();
}

bool SalesJournal::HoldsInvoice(std::int64_t row, std::string_view invNum, std::string_view taxCode) {
    using namespace journal;
    Statement st(conn_, "SELECT 1 FROM " + Q(kTable) + " WHERE " + Q(kRowIdColumn) + " <> ?1 AND ((" + Q(kInvNum) +
                            " = ?2 AND ?2 <> '') OR (" + Q(kTaxCode) + " = ?3 AND ?3 <> '')) LIMIT 1");
    // A journal that cannot be read could hold the invoice: the answer that keeps a sale off two invoices.
    if (st.PrepareResult() != SQLITE_OK) return true;
    sqlite3_bind_int64(st.get(), 1, row);
    BindText(st.get(), 2, invNum);
    BindText(st.get(), 3, taxCode);
    const int rc = sqlite3_step(st.get());
    return rc != SQLITE_DONE;
}

void SalesJournal::LearnNumber(std::string_view taxCode, std::string_view invNum) {
    using namespace journal;
    if (taxCode.empty() || invNum.empty()) return;
    Statement st(conn_, "UPDATE " + Q(kTable) + " SET " + Q(kInvNum) + " = ?1 WHERE " + Q(kTaxCode) + " = ?2 AND (" +
                            Q(kInvNum) + " IS NULL OR " + Q(kInvNum) + " = '')");
    if (st.PrepareResult() != SQLITE_OK) return;
    BindText(st.get(), 1, invNum);
    BindText(st.get(), 2, taxCode);
    sqlite3_step(st.get());
}

}  // namespace karvex
