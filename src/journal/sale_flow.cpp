#include "journal/sale_flow.h"

#include "store/journal_names.h"

namespace karvex {

namespace {

bool RefusedByProcessor(ResultCode code) {
    return (code >= result::kProcessorFirst && code <= result::kProcessorLast) ||
           code == result::kUnknownProcessorCode || code == result::kAnswerNextCommand;
}

void Note(const SaleLine& line, const std::string& text) {
    if (line.note) line.note(text);
}

std::string SaleName(const SaleRecord& row) {
    return row.saleId.empty() ? "第 " + std::to_string(row.row) + " 笔销售" : "销售 " + row.saleId;
}

enum class Verdict { kIssued, kNotIssued, kUnknown };

// Reads the counter, once more after a refusal or a lost answer: the first answer after an unclean exchange
// may be one the processor still owed an earlier request (the link lets the line fall quiet before the
// second try).
ResultCode ReadCounter(const SaleLine& line, std::string& number, bool& certain) {
    ResultCode r = line.counter(number, certain);
    if (r == result::kSuccess || r == result::kInvoicesUsedUp) return r;
    return line.counter(number, certain);
}

Verdict Record(SalesJournal& journal, const SaleRecord& row, const SaleLine& line, Verdict verdict, ResultCode lostCode,
               const std::string& why) {
    if (verdict == Verdict::kNotIssued) {
        journal.Settle(row.row, {journal::kNotIssued, lostCode});
        Note(line, SaleName(row) + " 未开票（" + why + "）");
    } else {
        journal.Settle(row.row, {journal::kInDoubt, result::kSaleInDoubt});
        Note(line, SaleName(row) + " 结果未明：" + why);
    }
    return verdict;
}

// A row that holds the counter read before its request went out. Nothing that changes the processor goes out
// while the row is unsettled, so the counter can only have moved through this request: moved on means the
// processor issued an invoice with the anchor's number, and that invoice is this sale's when it is the
// processor's newest, its print data says so and no other row holds it. Still at the anchor means nothing was
// issued, unless a roll numbered from the same number again took over: then the newest invoice carries the
// anchor's number, and only one no row holds and that matches can be this sale's. Another day's invoice, or
// one made before the row was written, is held by a row (the load records what the journal did not know).
Verdict ResolveByCounter(SalesJournal& journal, const SaleRecord& row, const SaleRequest& sale, const SaleLine& line,
                         ResultCode lostCode, IssueReply* reply) {
    Note(line, SaleName(row) + " 应答未确认，查询税控器当前发票号（开票前为 " + row.anchor + "）");
    std::string now;
    bool certain = false;
    const ResultCode counted = ReadCounter(line, now, certain);
    if (counted != result::kSuccess && counted != result::kInvoicesUsedUp)
        return Record(journal, row, line, Verdict::kUnknown, lostCode, "无法读取税控器当前发票号");
    const bool moved = counted != result::kSuccess || now != row.anchor;

    LastInvoice last;
    const ResultCode asked = line.lastInvoice ? line.lastInvoice(last) : result::kNoOpenPort;
    if (!last.record) {
        if (!moved && asked == result::kNoRecord)
            return Record(journal, row, line, Verdict::kNotIssued, lostCode, "税控器中没有发票");
        return Record(journal, row, line, Verdict::kUnknown, lostCode,
                      "无法读取税控器最后发票（代码 " + std::to_string(asked) + "）");
    }
    if (last.record->invoice_number != row.anchor) {
        if (!moved)
            return Record(journal, row, line, Verdict::kNotIssued, lostCode, "税控器当前发票号仍为 " + row.anchor);
        // More invoices since the anchor (a store restored to before them): the one at the anchor's number
        // was the first after the row was written, and only that one can be this sale's.
        const ResultCode at = line.invoiceAt ? line.invoiceAt(row.anchor, last) : result::kNoOpenPort;
        if (!last.record || last.record->invoice_number != row.anchor) {
            return Record(journal, row, line, Verdict::kUnknown, lostCode,
                          "无法读取发票 " + row.anchor + " 的打印数据（代码 " + std::to_string(at) + "）");
        }
    }
    InvPrintDataRecord invoice = *last.record;
    // A voided invoice was still issued for its request: the void came later.
    if (invoice.invoice_type == 3) invoice.invoice_type = sale.IsReturn() ? 2 : 1;
    const std::string taxCode = IssueFormTaxCode(invoice.tax_code);
    if (MatchPrintData(sale, invoice) != SaleMatch::kSame || journal.HoldsInvoice(row.row, taxCode)) {
        return Record(journal, row, line, Verdict::kNotIssued, lostCode, "发票 " + row.anchor + " 不是这笔销售的");
    }
    const IssueReply rebuilt = RebuiltReply(last);
    journal.Settle(row.row, {journal::kIssued, result::kSuccess, &rebuilt, invoice.invoice_number});
    if (reply != nullptr) *reply = rebuilt;
    Note(line, SaleName(row) + " 已开票，发票号 " + invoice.invoice_number);
    return Verdict::kIssued;
}

// Asks the processor what became of `row` and records the verdict. `lostCode` is the failure a "not issued"
// verdict keeps as the row's result.
Verdict Resolve(SalesJournal& journal, const SaleRecord& row, const SaleLine& line, ResultCode lostCode,
                IssueReply* reply) {
    Bytes frame;
    SaleRequest sale;
    if (HexToBytes(row.request, frame) != 0 || ReadSaleRequest(frame, sale) != 0) {
        // A row whose request cannot be read can never be compared: it stays in doubt for a person to look at.
        journal.Settle(row.row, {journal::kInDoubt, result::kSaleInDoubt});
        Note(line, SaleName(row) + " 的请求记录无法读取，结果未明");
        return Verdict::kUnknown;
    }
    if (!row.anchor.empty() && line.counter) return ResolveByCounter(journal, row, sale, line, lostCode, reply);

    // A row of an older build holds no counter: only the last invoice can be compared.
    Note(line, SaleName(row) + " 应答丢失，查询税控器最后发票");
    LastInvoice last;
    const ResultCode asked = line.lastInvoice ? line.lastInvoice(last) : result::kNoOpenPort;
    if (!last.record) {
        if (asked == result::kNoRecord)
            return Record(journal, row, line, Verdict::kNotIssued, lostCode, "税控器中没有发票");
        return Record(journal, row, line, Verdict::kUnknown, lostCode, "无法查询税控器");
    }
    const InvPrintDataRecord& invoice = *last.record;
    const std::string taxCode = IssueFormTaxCode(invoice.tax_code);
    journal.LearnNumber(taxCode, invoice.invoice_number);
    const SaleMatch match = MatchPrintData(sale, invoice);
    if (match == SaleMatch::kSame && !journal.HoldsInvoice(row.row, taxCode)) {
        const IssueReply rebuilt = RebuiltReply(last);
        journal.Settle(row.row, {journal::kIssued, result::kSuccess, &rebuilt, invoice.invoice_number});
        if (reply != nullptr) *reply = rebuilt;
        Note(line, SaleName(row) + " 已开票，发票号 " + invoice.invoice_number);
        return Verdict::kIssued;
    }
    return Record(journal, row, line, Verdict::kNotIssued, lostCode,
                  "税控器最后发票 " + invoice.invoice_number + " 不是这笔销售的");
}

// A journal that has never recorded an invoice, on a processor that has issued before (a new store on a used
// processor): the processor's newest invoice is recorded as made elsewhere before the first sale, so that the
// journal says where it starts and no sale is ever taken for that invoice.
void NoteInvoicesMadeElsewhere(SalesJournal& journal, const SaleLine& line) {
    SaleRecord any;
    if (journal.ExpectedCounter() || journal.FindLast(any) == result::kSuccess) return;
    LastInvoice last;
    line.lastInvoice(last);
    if (!last.record || journal.HoldsInvoice(0, IssueFormTaxCode(last.record->tax_code))) return;
    journal.RecordElsewhere(*last.record);
    Note(line, "税控器最后发票 " + last.record->invoice_number + "（" + last.record->issue_date +
                   "）不在销售记录中，已记为他处开具");
}

}  // namespace

bool AnswerWasLost(ResultCode code) { return code != result::kSuccess && !RefusedByProcessor(code); }

IssueReply RebuiltReply(const LastInvoice& last) {
    IssueReply reply;
    reply.machine_num = last.machineNumber;
    reply.user_name = last.taxpayerName;
    reply.tax_number = last.taxNumber;
    if (last.record) {
        reply.tax_code = IssueFormTaxCode(last.record->tax_code);
        reply.date_time = last.record->issue_date;
    }
    return reply;
}

ResultCode ResolveSales(SalesJournal& journal, const SaleLine& line) {
    SaleRecord row;
    std::int64_t previous = -1;
    for (;;) {
        const ResultCode found = journal.FindUnresolved(row);
        if (found == result::kNoSuchSale) return result::kSuccess;
        if (found != result::kSuccess) return found;
        // A row whose verdict could not be written would come back for ever.
        if (row.row == previous) return result::kSaleInDoubt;
        previous = row.row;
        // A row found here was left by a call that never learnt its outcome: it keeps the code it has.
        const ResultCode lost = row.state == journal::kInDoubt ? result::kSaleInDoubt : result::kTimeout;
        if (Resolve(journal, row, line, lost, nullptr) == Verdict::kUnknown) return result::kSaleInDoubt;
    }
}

ResultCode RunSale(SalesJournal& journal, std::string_view saleId, ByteView frame, const SaleLine& line,
                   IssueReply& reply) {
    if (const ResultCode r = ResolveSales(journal, line); r != result::kSuccess) return r;

    SaleRecord earlier;
    std::string hex;
    BytesToHex(frame, hex);
    if (journal.FindSale(saleId, earlier) == result::kSuccess) {
        if (earlier.request != hex) return result::kSaleIdReused;
        if (earlier.state == journal::kAnswered || earlier.state == journal::kIssued) {
            reply = earlier.reply;
            Note(line, "销售 " + std::string(saleId) + " 已开票，不再发送");
            return result::kSuccess;
        }
    }

    SaleRequest sale;
    if (const ResultCode r = ReadSaleRequest(frame, sale); r != result::kSuccess) return r;

    // The number this request's invoice will take. Read from the processor, or known for certain when the
    // exchange just before was the processor's own answer of it.
    std::string anchor;
    if (line.counter) {
        bool certain = false;
        const ResultCode counted = ReadCounter(line, anchor, certain);
        if (counted != result::kSuccess) return counted;  // nothing went out
        Note(line, "开票前税控器当前发票号 " + anchor + (certain ? "（上一应答）" : "（读取）"));
    }
    if (line.lastInvoice && !anchor.empty() && !line.processorChecked) NoteInvoicesMadeElsewhere(journal, line);
    std::int64_t row = 0;
    // Without its row committed nothing goes out: a crash after the send would leave a sale nobody can trace.
    if (const ResultCode r = journal.Open(saleId, frame, sale, anchor, row); r != result::kSuccess) return r;

    if (line.sending) line.sending(row);
    const SentRequest sent = line.send();
    if (line.sending) line.sending(0);
    // A refusal ("NP", "ER") names no command: it may be one the processor still owed an earlier request, and
    // whether the line looked clean cannot tell, since a late answer of the same kind as the request before
    // passes for its own. So a refused sale is settled on the counter like a lost answer: not issued only
    // when the counter is still at the anchor (the refusal's code is kept), issued when it moved on and the
    // print data at the anchor is this sale's.
    const bool unsure = sent.sent && (AnswerWasLost(sent.code) || (RefusedByProcessor(sent.code) && !anchor.empty()));
    if (!unsure) {
        if (sent.sent && sent.code == result::kSuccess) {
            // The processor issued this request at its counter: the anchor is the invoice's number.
            journal.Settle(row, {journal::kAnswered, result::kSuccess, &reply, anchor});
        } else {
            journal.Settle(row, {journal::kNotIssued, sent.code});
        }
        return sent.code;
    }
    SaleRecord self;
    self.row = row;
    self.saleId = std::string(saleId);
    self.request = hex;
    self.anchor = anchor;
    switch (Resolve(journal, self, line, sent.code, &reply)) {
    case Verdict::kIssued: return result::kSuccess;
    case Verdict::kNotIssued: return sent.code;
    case Verdict::kUnknown: break;
    }
    return result::kSaleInDoubt;
}

}  // namespace karvex
