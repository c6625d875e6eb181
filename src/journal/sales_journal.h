#pragma once
// The sales journal's rows in the store (table and names in store/journal_names.h). Every change is committed
// before the call returns, so the row of a request is on disk before the request goes out.
//
//     SalesJournal journal(connection);
//     std::int64_t row = 0;
//     journal.Open(saleId, frame, sale, row);       // state "sent", committed
//     ... send, wait ...
//     journal.Settle(row, outcome);                  // "answered", "not-issued", ...
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "commands/answer_records.h"
#include "convert/conversions.h"
#include "journal/sale_request.h"
#include "link/result_codes.h"

namespace karvex {

class StoreConnection;

// One row as the journal reads it.
struct SaleRecord {
    std::int64_t row = 0;
    std::string saleId;   // empty when the row has none
    std::string request;  // the request frame as sent, hexadecimal
    std::string state;    // a state keyword of store/journal_names.h
    std::int32_t result = 0;
    std::string invNum, taxCode, dateTime;
    std::string anchor;  // the processor's counter before the request went out; empty on rows of older builds
    IssueReply reply;    // the reply values recorded with the outcome (tax code and date-time included)
};

// What a request came to.
struct SaleOutcome {
    SaleOutcome(std::string_view s, std::int32_t r, const IssueReply* values = nullptr, std::string number = {})
        : state(s), result(r), reply(values), invNum(std::move(number)) {}
    std::string_view state;
    std::int32_t result = 0;
    const IssueReply* reply = nullptr;  // the reply columns, when the invoice exists
    std::string invNum;                 // when the processor named the number
};

class SalesJournal {
public:
    explicit SalesJournal(StoreConnection& conn) : conn_(conn) {}

    // The row of a sale id; result::kNoSuchSale when there is none.
    ResultCode FindSale(std::string_view saleId, SaleRecord& out);
    // The most recent row; result::kNoSuchSale for an empty journal.
    ResultCode FindLast(SaleRecord& out);
    // The oldest row whose outcome is not known ("sent" or "in-doubt"); result::kNoSuchSale when none is.
    ResultCode FindUnresolved(SaleRecord& out);

    // The processor's counter as the journal's newest row with a known invoice or anchor leaves it: the number
    // after the last invoice, or the anchor of a request that was not issued. Nothing for a journal without
    // one. A new roll may start elsewhere, so a different counter only asks for a closer look.
    std::optional<std::string> ExpectedCounter();

    // True when a row other than `except` is "sent" or "in-doubt" (or the journal cannot be read: then
    // nothing may change the processor either).
    bool HasUnresolved(std::int64_t except = 0);

    // Writes the request's row in state "sent" with the processor's counter `anchor` and commits it. A sale
    // id whose earlier request was not issued gets its row back for the new attempt; `row` names the row
    // either way.
    ResultCode Open(std::string_view saleId, ByteView frame, const SaleRequest& sale, std::string_view anchor,
                    std::int64_t& row);
    // Records what the request came to, in one transaction.
    ResultCode Settle(std::int64_t row, const SaleOutcome& outcome);

    // True when a row other than `row` holds the invoice with this tax control code (issue form). The number
    // alone names no invoice: a new roll may number from 1 again.
    bool HoldsInvoice(std::int64_t row, std::string_view taxCode);

    // Records an invoice the processor holds that no request of this journal made (state "elsewhere").
    ResultCode RecordElsewhere(const InvPrintDataRecord& invoice);
    // Records a void the processor answered: its own row, the voided number in InvNum.
    ResultCode RecordVoid(std::string_view invNum, ResultCode code);
    // An answered row knows its invoice's tax control code but not its number (the issue answer does not
    // name it): once print data shows the number beside that code, the row gets it.
    void LearnNumber(std::string_view taxCode, std::string_view invNum);

    const std::string& LastErrorText() const { return error_; }

private:
    ResultCode FindWhere(const std::string& where, std::string_view value, SaleRecord& out);
    ResultCode Engine(int rc, const char* what);

    StoreConnection& conn_;
    std::string error_;
};

}  // namespace karvex
