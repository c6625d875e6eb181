#include "journal/sale_flow.h"

#include "journal/journal.h"

namespace karvex {

namespace {

// The processor's "ER" for a query with nothing to report: it holds no invoice at all.
constexpr ResultCode kProcessorNoRecord = 48;

bool RefusedByProcessor(ResultCode code) {
    return (code >= 1 && code <= 64) || code == result::kUnknownProcessorCode || code == result::kAnswerNextCommand;
}

void Note(const SaleLine& line, const std::string& text) {
    if (line.note) line.note(text);
}

std::string SaleName(const SaleRecord& row) {
    return row.saleId.empty() ? "第 " + std::to_string(row.row) + " 笔销售" : "销售 " + row.saleId;
}

enum class Verdict { kIssued, kNotIssued, kUnknown };

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
    Note(line, SaleName(row) + " 应答丢失，查询税控器最后发票");
    LastInvoice last;
    const ResultCode asked = line.lastInvoice ? line.lastInvoice(last) : result::kNoOpenPort;
    if (!last.record) {
        if (asked == kProcessorNoRecord) {
            journal.Settle(row.row, {journal::kNotIssued, lostCode});
            Note(line, SaleName(row) + " 未开票（税控器中没有发票）");
            return Verdict::kNotIssued;
        }
        journal.Settle(row.row, {journal::kInDoubt, result::kSaleInDoubt});
        Note(line, SaleName(row) + " 结果未明：无法查询税控器");
        return Verdict::kUnknown;
    }
    const InvPrintDataRecord& invoice = *last.record;
    const std::string taxCode = IssueFormTaxCode(invoice.tax_code);
    journal.LearnNumber(taxCode, invoice.invoice_number);
    const SaleMatch match = MatchPrintData(sale, invoice);
    if (match == SaleMatch::kSame && !journal.HoldsInvoice(row.row, invoice.invoice_number, taxCode)) {
        const IssueReply rebuilt = RebuiltReply(last);
        journal.Settle(row.row, {journal::kIssued, result::kSuccess, &rebuilt, invoice.invoice_number});
        if (reply != nullptr) *reply = rebuilt;
        Note(line, SaleName(row) + " 已开票，发票号 " + invoice.invoice_number);
        return Verdict::kIssued;
    }
    journal.Settle(row.row, {journal::kNotIssued, lostCode});
    Note(line, SaleName(row) + " 未开票（税控器最后发票 " + invoice.invoice_number + " 不是这笔销售的）");
    return Verdict::kNotIssued;
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
    std::int64_t row = 0;
    // Without its row committed nothing goes out: a crash after the send would leave a sale nobody can trace.
    if (const ResultCode r = journal.Open(saleId, frame, sale, row); r != result::kSuccess) return r;

    const SentRequest sent = line.send();
    if (!sent.sent || !AnswerWasLost(sent.code)) {
        if (sent.sent && sent.code == result::kSuccess) {
            journal.Settle(row, {journal::kAnswered, result::kSuccess, &reply});
        } else {
            journal.Settle(row, {journal::kNotIssued, sent.code});
        }
        return sent.code;
    }
    SaleRecord self;
    self.row = row;
    self.saleId = std::string(saleId);
    self.request = hex;
    switch (Resolve(journal, self, line, sent.code, &reply)) {
    case Verdict::kIssued: return result::kSuccess;
    case Verdict::kNotIssued: return sent.code;
    case Verdict::kUnknown: break;
    }
    return result::kSaleInDoubt;
}

}  // namespace karvex
