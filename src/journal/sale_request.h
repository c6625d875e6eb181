#pragma once
// What a sale asked the processor for, read back from the request frame exactly as it went on the wire, and
// the comparison of that request with the print data the processor keeps of an invoice. Pure functions:
// no store, no line.
//
//     SaleRequest sale;
//     ReadSaleRequest(frame, sale);                       // 0, or 129 for a frame that is no invoice request
//     if (MatchPrintData(sale, lastInvoice) == SaleMatch::kSame) ...   // the invoice is this request's
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "commands/answer_records.h"
#include "convert/conversions.h"
#include "link/result_codes.h"

namespace karvex {

// One goods line as sent.
struct SaleItem {
    std::string name;            // UTF-8, trailing blanks dropped
    std::uint32_t quantity = 0;  // hundredths
    std::uint8_t taxIndex = 0;
    std::uint64_t amount = 0;  // fen
};

struct SaleRequest {
    std::uint8_t command = 0;     // the command byte: MakeInvoice or ReturnInvoice
    std::string returned;         // 10 digits of the invoice being returned; empty for an issue
    std::uint16_t household = 0;  // 分户 number
    std::string payer;            // UTF-8, trailing blanks dropped
    std::vector<SaleItem> lines;

    bool IsReturn() const;
    std::uint64_t Total() const;  // fen
};

// Reads an issue or return request frame (head, command, length, payload, CRC). 129 when the frame is not one:
// another command, a length that disagrees with its item count, or text that is not GBK.
ResultCode ReadSaleRequest(ByteView frame, SaleRequest& out);

// The goods column's text: per line name, quantity, tax index and amount joined by tabs, lines by "\n";
// quantity and amount as yuan with two decimals ("2.50").
std::string SaleGoodsText(const SaleRequest& sale);

// Why print data is, or is not, the invoice of a request; the first difference found, in this order.
enum class SaleMatch {
    kSame,
    kOtherKind,            // an issue against a return (or a void), or the other way round
    kOtherReturnedNumber,  // a return of another invoice
    kOtherPayer,
    kOtherGoods,  // another count of lines, or a line with another name, quantity, tax index or amount
    kOtherTotal,
};

// Compares a request with the print data of one invoice. Names and payers are compared without trailing
// blanks; quantities and amounts in hundredths, rounded to the nearest as the decoder's yuan values are
// exact hundredths. The household number is not in the print data and is not compared.
SaleMatch MatchPrintData(const SaleRequest& sale, const InvPrintDataRecord& record);

// The tax control code of print data (20 characters, zeros in front) in the form the issue answer gives it
// (the leading part without zeros in front, then the trailing part's 10 digits), so that the two can be
// compared and a rebuilt reply looks like an answered one.
std::string IssueFormTaxCode(std::string_view printCode);

}  // namespace karvex
