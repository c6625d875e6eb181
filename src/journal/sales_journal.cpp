#include "journal/sales_journal.h"

#include <cmath>
#include <cstdio>

#include <sqlcipher/sqlite3.h>

#include "store/journal_names.h"
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

std::string TextColumn(sqlite3_stmt* st, int index) {
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
    for (std::string_view c : {kSaleId, kRequest, kState, kResult, kInvNum, kTaxCode, kDateTime, kMachineNum, kUserName,
                               kTaxNumber, kAnchor})
        list += ", " + Q(c);
    return list;
}

// yyyy-MM-dd from the yyyymmdd[hhmm] an answer or print data gives; empty when it is not that.
std::string IssueDay(std::string_view dateTime) {
    if (dateTime.size() < 8 || dateTime.substr(0, 8).find_first_not_of("0123456789") != std::string_view::npos)
        return {};
    return std::string(dateTime.substr(0, 4)) + "-" + std::string(dateTime.substr(4, 2)) + "-" +
           std::string(dateTime.substr(6, 2));
}

bool Exists(Statement& st) { return st.PrepareResult() != SQLITE_OK || sqlite3_step(st.get()) != SQLITE_DONE; }

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
    r.saleId = TextColumn(st.get(), 1);
    r.request = TextColumn(st.get(), 2);
    r.state = TextColumn(st.get(), 3);
    r.result = sqlite3_column_int(st.get(), 4);
    r.invNum = TextColumn(st.get(), 5);
    r.taxCode = TextColumn(st.get(), 6);
    r.dateTime = TextColumn(st.get(), 7);
    r.reply.machine_num = TextColumn(st.get(), 8);
    r.reply.user_name = TextColumn(st.get(), 9);
    r.reply.tax_number = TextColumn(st.get(), 10);
    r.anchor = TextColumn(st.get(), 11);
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
    // Voids and invoices made elsewhere are rows of their own, but no host's sale.
    return FindWhere("WHERE " + Q(journal::kRequest) + " <> '' ORDER BY " + Q(kRowIdColumn) + " DESC LIMIT 1", {}, out);
}

ResultCode SalesJournal::FindUnresolved(SaleRecord& out) {
    return FindWhere("WHERE " + Q(journal::kState) + " IN ('" + std::string(journal::kSent) + "', '" +
                         std::string(journal::kInDoubt) + "') ORDER BY " + Q(kRowIdColumn) + " LIMIT 1",
                     {}, out);
}

std::optional<std::string> SalesJournal::ExpectedCounter() {
    using namespace journal;
    Statement st(conn_, "SELECT " + Q(kState) + ", " + Q(kInvNum) + ", " + Q(kAnchor) + " FROM " + Q(kTable) +
                            " WHERE (" + Q(kState) + " IN ('" + std::string(kAnswered) + "', '" + std::string(kIssued) +
                            "', '" + std::string(kElsewhere) + "') AND " + Q(kInvNum) + " <> '') OR (" + Q(kState) +
                            " = '" + std::string(kNotIssued) + "' AND " + Q(kAnchor) + " <> '') ORDER BY " +
                            Q(kRowIdColumn) + " DESC LIMIT 1");
    if (st.PrepareResult() != SQLITE_OK || sqlite3_step(st.get()) != SQLITE_ROW) return std::nullopt;
    const std::string state = TextColumn(st.get(), 0);
    if (state == kNotIssued) return TextColumn(st.get(), 2);
    const std::string number = TextColumn(st.get(), 1);
    std::uint64_t value = 0;
    for (char c : number) value = value * 10 + static_cast<std::uint64_t>(c - '0');
    std::string next = std::to_string(value + 1);
    return std::string(next.size() < 10 ? 10 - next.size() : 0, '0') + next;
}

bool SalesJournal::HasUnresolved(std::int64_t except) {
    using namespace journal;
    Statement st(conn_, "SELECT 1 FROM " + Q(kTable) + " WHERE " + Q(kState) + " IN ('" + std::string(kSent) + "', '" +
                            std::string(kInDoubt) + "') AND " + Q(kRowIdColumn) + " <> ?1 LIMIT 1");
    if (st.PrepareResult() == SQLITE_OK) sqlite3_bind_int64(st.get(), 1, except);
    return Exists(st);
}

ResultCode SalesJournal::Open(std::string_view saleId, ByteView frame, const SaleRequest& sale, std::string_view anchor,
                              std::int64_t& row) {
    using namespace journal;
    std::string hex;
    BytesToHex(frame, hex);
    StoreTransaction tx(conn_);
    if (tx.BeginResult() != result::kSuccess) return tx.BeginResult();

    SaleRecord earlier;
    const bool reuse = FindSale(saleId, earlier) == result::kSuccess;
    // A return names the newest sale of this journal that holds the invoice it returns.
    std::int64_t returnsRow = 0;
    if (sale.IsReturn()) {
        Statement find(conn_, "SELECT " + Q(kRowIdColumn) + " FROM " + Q(kTable) + " WHERE " + Q(kInvNum) +
                                  " = ?1 AND " + Q(kKind) + " = " + std::to_string(kHostIssueInvoice) + " AND " +
                                  Q(kState) + " IN ('" + std::string(kAnswered) + "', '" + std::string(kIssued) +
                                  "', '" + std::string(kElsewhere) + "') ORDER BY " + Q(kRowIdColumn) +
                                  " DESC LIMIT 1");
        if (find.PrepareResult() == SQLITE_OK) {
            BindText(find.get(), 1, sale.returned);
            if (sqlite3_step(find.get()) == SQLITE_ROW) returnsRow = sqlite3_column_int64(find.get(), 0);
        }
    }
    // A new attempt of a sale that was not issued starts its row afresh: nothing of the last attempt holds,
    // but the row keeps its creation time, which with its row identity names it in the central database.
    const std::string sql =
        reuse ? "UPDATE " + Q(kTable) + " SET " + Q(kKind) + " = ?1, " + Q(kReturned) + " = ?2, " + Q(kHousehold) +
                    " = ?3, " + Q(kPayer) + " = ?4, " + Q(kItemCount) + " = ?5, " + Q(kGoods) + " = ?6, " + Q(kTotal) +
                    " = ?7, " + Q(kRequest) + " = ?8, " + Q(kState) + " = ?10, " + Q(kUpdated) + " = ?9, " +
                    Q(kResult) + " = NULL, " + Q(kInvNum) + " = NULL, " + Q(kTaxCode) + " = NULL, " + Q(kDateTime) +
                    " = NULL, " + Q(kMachineNum) + " = NULL, " + Q(kUserName) + " = NULL, " + Q(kTaxNumber) +
                    " = NULL, " + Q(kIssueDate) + " = NULL, " + Q(kAnchor) + " = ?12, " + Q(kTotalFen) + " = ?13, " +
                    Q(kReturnsRow) + " = ?14 WHERE " + Q(kRowIdColumn) + " = ?11"
              : "INSERT INTO " + Q(kTable) + " (" + Q(kKind) + ", " + Q(kReturned) + ", " + Q(kHousehold) + ", " +
                    Q(kPayer) + ", " + Q(kItemCount) + ", " + Q(kGoods) + ", " + Q(kTotal) + ", " + Q(kRequest) + ", " +
                    Q(kCreated) + ", " + Q(kState) + ", " + Q(kUpdated) + ", " + Q(kSaleId) + ", " + Q(kAnchor) + ", " +
                    Q(kTotalFen) + ", " + Q(kReturnsRow) +
                    ") VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?9, ?11, ?12, ?13, ?14)";
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
    BindText(s, 12, anchor);
    sqlite3_bind_int64(s, 13, static_cast<std::int64_t>(sale.Total()));
    if (returnsRow > 0) {
        sqlite3_bind_int64(s, 14, returnsRow);
    } else {
        sqlite3_bind_null(s, 14);
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
               " = ?8, " + Q(kTaxNumber) + " = ?9, " + Q(kIssueDate) + " = ?11";
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
        BindText(s, 11, IssueDay(r->date_time));
    }
    sqlite3_bind_int64(s, 10, row);
    if (sqlite3_step(s) != SQLITE_DONE) return Engine(sqlite3_extended_errcode(conn_.Handle()), "保存销售记录失败");
    return tx.Commit();
}

bool SalesJournal::HoldsInvoice(std::int64_t row, std::string_view taxCode) {
    using namespace journal;
    if (taxCode.empty()) return false;
    Statement st(conn_, "SELECT 1 FROM " + Q(kTable) + " WHERE " + Q(kRowIdColumn) + " <> ?1 AND " + Q(kTaxCode) +
                            " = ?2 LIMIT 1");
    if (st.PrepareResult() == SQLITE_OK) {
        sqlite3_bind_int64(st.get(), 1, row);
        BindText(st.get(), 2, taxCode);
    }
    // A journal that cannot be read could hold the invoice: the answer that keeps a sale off two invoices.
    return Exists(st);
}

ResultCode SalesJournal::RecordElsewhere(const InvPrintDataRecord& invoice) {
    using namespace journal;
    // The print data's type byte: 1 an invoice, 2 a return, 3 a voided one.
    const int kind = invoice.invoice_type == 2   ? kHostReturnInvoice
                     : invoice.invoice_type == 3 ? kVoidKind
                                                 : kHostIssueInvoice;
    std::string goods;
    std::int64_t totalFen = std::llround(invoice.total * 100.0);
    int lines = 0;
    for (const auto& slot : invoice.goods) {
        if (!slot) continue;
        ++lines;
        char numbers[64];
        std::snprintf(numbers, sizeof numbers, "\t%.2f\t%u\t%.2f", slot->quantity, unsigned{slot->tax_index},
                      slot->amount);
        // Names as the goods column holds a request's: the print data's padding dropped.
        std::string name = slot->name;
        while (!name.empty() && name.back() == ' ') name.pop_back();
        if (!goods.empty()) goods += '\n';
        goods += name + numbers;
    }
    const std::string taxCode = IssueFormTaxCode(invoice.tax_code);
    Statement st(conn_, "INSERT INTO " + Q(kTable) + " (" + Q(kKind) + ", " + Q(kReturned) + ", " + Q(kPayer) + ", " +
                            Q(kItemCount) + ", " + Q(kGoods) + ", " + Q(kTotal) + ", " + Q(kCreated) + ", " +
                            Q(kState) + ", " + Q(kResult) + ", " + Q(kInvNum) + ", " + Q(kTaxCode) + ", " +
                            Q(kDateTime) + ", " + Q(kUpdated) + ", " + Q(kTotalFen) + ", " + Q(kIssueDate) +
                            ") VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, 0, ?9, ?10, ?11, ?7, ?12, ?13)");
    if (st.PrepareResult() != SQLITE_OK) return Engine(st.PrepareResult(), "保存销售记录失败");
    sqlite3_stmt* s = st.get();
    sqlite3_bind_int(s, 1, kind);
    BindText(s, 2, kind == kHostReturnInvoice ? invoice.original_number : std::string());
    std::string payer = invoice.payer;
    while (!payer.empty() && payer.back() == ' ') payer.pop_back();
    BindText(s, 3, payer);
    sqlite3_bind_int(s, 4, lines);
    BindText(s, 5, goods);
    sqlite3_bind_double(s, 6, static_cast<double>(totalFen) / 100.0);
    BindText(s, 7, Now());
    BindText(s, 8, kElsewhere);
    BindText(s, 9, invoice.invoice_number);
    BindText(s, 10, taxCode);
    BindText(s, 11, invoice.issue_date);
    sqlite3_bind_int64(s, 12, totalFen);
    BindText(s, 13, IssueDay(invoice.issue_date));
    if (sqlite3_step(s) != SQLITE_DONE) return Engine(sqlite3_extended_errcode(conn_.Handle()), "保存销售记录失败");
    return result::kSuccess;
}

ResultCode SalesJournal::RecordVoid(std::string_view invNum, ResultCode code) {
    using namespace journal;
    Statement st(conn_, "INSERT INTO " + Q(kTable) + " (" + Q(kKind) + ", " + Q(kCreated) + ", " + Q(kState) + ", " +
                            Q(kResult) + ", " + Q(kInvNum) + ", " + Q(kUpdated) + ") VALUES (?1, ?2, ?3, ?4, ?5, ?2)");
    if (st.PrepareResult() != SQLITE_OK) return Engine(st.PrepareResult(), "保存销售记录失败");
    sqlite3_stmt* s = st.get();
    sqlite3_bind_int(s, 1, kVoidKind);
    BindText(s, 2, Now());
    // A void the processor refused, or whose answer was lost, keeps its code; only an answered one is "voided".
    BindText(s, 3, code == result::kSuccess ? kVoided : kNotIssued);
    sqlite3_bind_int(s, 4, code);
    BindText(s, 5, invNum);
    if (sqlite3_step(s) != SQLITE_DONE) return Engine(sqlite3_extended_errcode(conn_.Handle()), "保存销售记录失败");
    return result::kSuccess;
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
