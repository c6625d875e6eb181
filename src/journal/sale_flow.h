#pragma once
// What an issue or return goes through with the journal, and the verdict on a sale whose answer was lost.
// The control lends the flow its command path (the exchanges are sent, logged and checked as any other);
// the flow decides, from the journal and from what the processor reports, and never from silence.
//
//     SaleLine line{send, lastInvoice, note};
//     ResultCode r = RunSale(journal, saleId, frame, line, module.Issue);
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "commands/answer_records.h"
#include "journal/sales_journal.h"

namespace karvex {

// How a request ended: whether it went out at all, and its final code.
struct SentRequest {
    bool sent = false;
    ResultCode code = result::kSuccess;
};

// The processor's last invoice as the print-data query reports it, with the values its chain adds.
struct LastInvoice {
    std::optional<InvPrintDataRecord> record;
    std::string machineNumber;  // MachineNum of a rebuilt reply
    std::string taxpayerName;   // UserName
    std::string taxNumber;      // TaxNumber
};

// The control's side of the flow.
struct SaleLine {
    // Sends the prepared invoice request and waits for its end.
    std::function<SentRequest()> send;
    // Asks for the last invoice's print data; the query's final code.
    std::function<ResultCode(LastInvoice&)> lastInvoice;
    // A line for the command log.
    std::function<void(const std::string&)> note;
    // The processor's counter: its current invoice number, 10 digits, the number the next invoice takes.
    // `certain` says it comes from the exchange just before (nothing was sent since), not from a new read.
    std::function<ResultCode(std::string& number, bool& certain)> counter;
    // Asks for the print data of the invoice with this number (10 digits); the query's final code.
    std::function<ResultCode(const std::string& number, LastInvoice&)> invoiceAt;
    // Told the journal row whose own request goes out next (0 once it ended): only that row's request may
    // change the processor while the row is unsettled.
    std::function<void(std::int64_t row)> sending;
    // The processor's invoices were already compared with the journal on this line (at load).
    bool processorChecked = false;
};

// True for a final code that says the answer never came whole: the processor may have acted on the request.
bool AnswerWasLost(ResultCode code);

// One issue or return of the host, `frame` being its request as it will go out. First every sale whose outcome
// is not known is resolved (143 while one cannot be); then a sale id already in the journal is answered from
// its row (0 and `reply` for an issued sale, 138 for other content), or the processor's counter is read and
// the request gets its row with it, committed, before it is sent (the counter's failure code when it cannot
// be read: nothing went out). A lost answer, or a refusal after an unclean exchange, is resolved at once: 0
// with `reply` rebuilt when the processor issued it, the request's own code when it did not, 143 when the
// processor could not be asked.
ResultCode RunSale(SalesJournal& journal, std::string_view saleId, ByteView frame, const SaleLine& line,
                   IssueReply& reply);

// Resolves every row whose outcome is not known, oldest first; 0, or 143 when one stays in doubt (the rows
// after it are left for later), or a store code.
ResultCode ResolveSales(SalesJournal& journal, const SaleLine& line);

// The reply values print data and its chain can give again. MachineNum, UserName, TaxNumber and TaxCode as an
// answer gives them; DateTime only as yyyymmdd: print data holds the day, not the time of day.
IssueReply RebuiltReply(const LastInvoice& last);

}  // namespace karvex
