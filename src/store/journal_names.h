#pragma once
// The names of the sales journal, the store table "SalesJournal" that holds one row per issue or return a
// host asked for. They live with the store, which creates and maintains the table, so the store needs nothing
// of journal/; whatever reads the table (a local service, a sync to another database) includes this header
// and nothing else of the journal. The names and state keywords below do not change.
//
// A row is written and committed before its request goes out, and brought up to date when the request
// ends, so a process killed at any moment leaves a row that says what is known:
//
//   state        what it means                                              filled in
//   "sent"       committed before the frame went out; no outcome yet       the request's columns
//   "answered"   the processor answered this request and issued it         + the reply columns, Result 0
//   "issued"     the answer was lost; the processor's print data showed    + InvNum, TaxCode, DateTime
//                that it issued this request                                  (date only), reply columns, Result 0
//   "not-issued" the processor refused it, it was never sent, or its       Result: the call's failure code
//                answer was lost and the processor's last invoice is
//                another one
//   "in-doubt"   the answer was lost and the processor could not be        Result 143
//                asked yet; nothing that changes the processor goes out
//                until it is resolved
//   "elsewhere"  an invoice the processor holds that no request of this    InvNum, TaxCode, DateTime,
//                journal made (a restored, replaced or new store on a       Kind, payer, goods, totals
//                used processor); never taken for a sale
//   "voided"     a void the host asked for, answered by the processor      InvNum (the voided number)
//
// Every request row also holds the processor's counter before it went out (AnchorNum): the number its
// invoice takes. A sale whose outcome was lost is settled on it: the counter still there means nothing
// was issued; the counter moved on and that number's print data matching the sale means it was.
//
// "answered" and "issued" both mean an invoice exists for the row; they differ in where the reply values
// came from (the answer itself, or the print data read back afterwards).
#include <array>
#include <string_view>

#include "commands/catalogue.h"

namespace karvex::journal {

inline constexpr std::string_view kTable = "SalesJournal";

// Columns. Besides these every store table has the row identity "karvex_row" (INTEGER, increasing in the
// order the requests were made).
inline constexpr std::string_view kSaleId = "SaleId";          // TEXT, the host's sale number; NULL without
                                                               // one; unique when given
inline constexpr std::string_view kKind = "Kind";              // INTEGER, 52 issue, 53 return, 54 void
inline constexpr std::string_view kReturned = "OInvNum";       // TEXT, 10 digits: the invoice being returned
                                                               // (returns only, else empty)
inline constexpr std::string_view kHousehold = "FhNumber";     // INTEGER, 分户 number
inline constexpr std::string_view kPayer = "PayUnit";          // TEXT, payer as sent, trailing blanks dropped
inline constexpr std::string_view kItemCount = "SalesNum";     // INTEGER, goods lines, 1 to 6
inline constexpr std::string_view kGoods = "Goods";            // TEXT, one line per item, "\n" between:
                                                               // name TAB quantity TAB tax index TAB amount,
                                                               // quantity and amount as decimal yuan texts
inline constexpr std::string_view kTotal = "Total";            // REAL, sum of the amounts in yuan
inline constexpr std::string_view kRequest = "Request";        // TEXT, the request frame as sent, hexadecimal
inline constexpr std::string_view kCreated = "CreatedAt";      // TEXT, yyyy-MM-dd HH:mm:ss (local) of the row
inline constexpr std::string_view kState = "State";            // TEXT, one of the state keywords below
inline constexpr std::string_view kResult = "Result";          // INTEGER, the call's result code once known;
                                                               // 128 for a sale whose program ended before
                                                               // its answer and that was not issued
inline constexpr std::string_view kInvNum = "InvNum";          // TEXT, 10 digits, once the processor named it
inline constexpr std::string_view kTaxCode = "TaxCode";        // TEXT, tax control code as the issue answer
                                                               // gives it
inline constexpr std::string_view kDateTime = "DateTime";      // TEXT, yyyymmddhhmm from the answer;
                                                               // yyyymmdd when read back from print data
inline constexpr std::string_view kMachineNum = "MachineNum";  // TEXT, reply values of the issue
inline constexpr std::string_view kUserName = "UserName";
inline constexpr std::string_view kTaxNumber = "TaxNumber";
inline constexpr std::string_view kUpdated = "UpdatedAt";      // TEXT, yyyy-MM-dd HH:mm:ss of the last change
inline constexpr std::string_view kAnchor = "AnchorNum";       // TEXT, 10 digits: the processor's current
                                                               // invoice number before the request went out
inline constexpr std::string_view kTotalFen = "TotalFen";      // INTEGER, Total in fen, exact (a return's
                                                               // too is positive: Kind tells it)
inline constexpr std::string_view kReturnsRow = "ReturnsRow";  // INTEGER, karvex_row of the sale a return
                                                               // returns, when that sale is in the journal
inline constexpr std::string_view kIssueDate = "IssueDate";    // TEXT, yyyy-MM-dd of the invoice, whichever
                                                               // way it became known

// Every column in table order, with its SQL type.
struct Column {
    std::string_view name;
    std::string_view type;  // "TEXT", "INTEGER" or "REAL"
};
inline constexpr std::array<Column, 23> kColumns{{
    {kSaleId, "TEXT"},      {kKind, "INTEGER"},       {kReturned, "TEXT"},  {kHousehold, "INTEGER"},
    {kPayer, "TEXT"},       {kItemCount, "INTEGER"},  {kGoods, "TEXT"},     {kTotal, "REAL"},
    {kRequest, "TEXT"},     {kCreated, "TEXT"},       {kState, "TEXT"},     {kResult, "INTEGER"},
    {kInvNum, "TEXT"},      {kTaxCode, "TEXT"},       {kDateTime, "TEXT"},  {kMachineNum, "TEXT"},
    {kUserName, "TEXT"},    {kTaxNumber, "TEXT"},     {kUpdated, "TEXT"},   {kAnchor, "TEXT"},
    {kTotalFen, "INTEGER"}, {kReturnsRow, "INTEGER"}, {kIssueDate, "TEXT"},
}};

// Kind of a void row (the void command's own code).
inline constexpr int kVoidKind = kHostVoidInvoice;

// State keywords.
inline constexpr std::string_view kSent = "sent";
inline constexpr std::string_view kAnswered = "answered";
inline constexpr std::string_view kInDoubt = "in-doubt";
inline constexpr std::string_view kIssued = "issued";
inline constexpr std::string_view kNotIssued = "not-issued";
inline constexpr std::string_view kElsewhere = "elsewhere";
inline constexpr std::string_view kVoided = "voided";

}  // namespace karvex::journal
