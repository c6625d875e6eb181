#include "commands/sale_frame.h"

#include <algorithm>

#include "commands/catalogue.h"
#include "convert/conversions.h"

namespace karvex {
namespace {

static_assert(kMaxSaleGoods == kMaxInvoiceItems, "a sale holds as many goods lines as the frame carries");

constexpr std::int32_t kMaxFhNumber = 0xFFFF;
constexpr std::int64_t kMaxQuantity = 0xFFFF;
constexpr std::int64_t kMaxAmount = 0xFFFFFFFFll;
constexpr std::size_t kMaxPayerBytes = 40;
constexpr std::size_t kMaxNameBytes = 20;
constexpr std::string_view kLargestInvoiceNumber = "4294967295";

// A text the processor keeps and hands back in the invoice's print data: it must have a GBK form, pass the
// print-data decoder and fit its field. `no_gbk` is the code for a character without a GBK form.
ResultCode CheckKeptText(std::string_view text, std::size_t width, ResultCode no_gbk) {
    Bytes gbk;
    if (Utf8ToGbk(text, gbk) != 0) return no_gbk;
    if (int code = CheckGbkBytes(gbk); code != 0) return code;
    if (gbk.size() > width) return result::kTextTooLong;
    return result::kSuccess;
}

ResultCode CheckReturnedInvoice(std::string_view number) {
    std::string padded;
    if (int code = PadInvoiceNumber(number, padded); code != 0) return code;
    if (padded > kLargestInvoiceNumber) return result::kInvoiceNumberTooLarge;  // same width: text order
    return result::kSuccess;
}

ResultCode CheckLine(const SaleGoods& line) {
    if (line.quantity < 1) return result::kQuantityZero;
    if (line.quantity > kMaxQuantity) return result::kDoubleOverflow;
    if (line.price < 1) return result::kBadUnitPrice;
    if (line.amount < 1) return result::kBadAmount;
    if (line.amount > kMaxAmount) return result::kNumberAbove32Bits;
    if (line.taxIndex == 0) return result::kTaxIndexZero;
    if (line.taxIndex < 0 || line.taxIndex > 9) return result::kTaxIndexOutOfRange;
    if (line.name.empty()) return result::kEmptyTextToBytes;
    return CheckKeptText(line.name, kMaxNameBytes, result::kInvalidCharacter);
}

}  // namespace

std::uint8_t SaleCommand(SaleKind kind) {
    return ToByte(kind == SaleKind::Return ? CommandCode::ReturnInvoice : CommandCode::MakeInvoice);
}

ResultCode CheckSale(const Sale& sale) {
    if (sale.goods.empty() || sale.goods.size() > static_cast<std::size_t>(kMaxInvoiceItems)) {
        return result::kBadItemCount;
    }
    if (sale.fhNumber < 0 || sale.fhNumber > kMaxFhNumber) return result::kDoubleOverflow;
    if (sale.kind == SaleKind::Return) {
        if (ResultCode code = CheckReturnedInvoice(sale.returnedInvoice); code != 0) return code;
    }
    // A payer character without a GBK form would be printed as "?": 98, as the fixed-width form answers it.
    if (ResultCode code = CheckKeptText(sale.payer, kMaxPayerBytes, result::kControlCharacter); code != 0) return code;
    for (const SaleGoods& line : sale.goods) {
        if (ResultCode code = CheckLine(line); code != 0) return code;
    }
    return result::kSuccess;
}

InvoiceRequest InvoiceRecordOf(const Sale& sale) {
    InvoiceRequest record;
    record.OInvNum = sale.returnedInvoice;
    record.FhNumber = sale.fhNumber;
    record.InvMode = sale.invMode;
    record.PayUnit = sale.payer;
    const std::size_t n = std::min(sale.goods.size(), static_cast<std::size_t>(kMaxInvoiceItems));
    record.SalesNum = static_cast<std::uint8_t>(n);
    for (std::size_t i = 0; i < n; ++i) {
        const SaleGoods& line = sale.goods[i];
        record.ItemName[i] = line.name;
        record.ItemQuantity[i] =
            static_cast<std::int32_t>(std::clamp<std::int64_t>(line.quantity, -1, kMaxQuantity + 1));
        record.ItemTaxIndex[i] = static_cast<std::uint8_t>(line.taxIndex);
        record.ItemSumFen[i] = line.amount;
        record.ItemPriceFen[i] = line.price;
    }
    return record;
}

Sale SaleOf(const InvoiceRequest& record, SaleKind kind) {
    Sale sale;
    sale.kind = kind;
    sale.returnedInvoice = record.OInvNum;
    sale.fhNumber = record.FhNumber;
    sale.invMode = record.InvMode;
    sale.payer = record.PayUnit;
    const std::size_t n = std::min<std::size_t>(record.SalesNum, kMaxInvoiceItems);
    for (std::size_t i = 0; i < n; ++i) {
        sale.goods.push_back(SaleGoods{record.ItemName[i], record.ItemQuantity[i], record.ItemPriceFen[i],
                                       record.ItemSumFen[i], record.ItemTaxIndex[i]});
    }
    return sale;
}

BuiltFrame BuildSaleFrame(const Sale& sale) {
    if (ResultCode code = CheckSale(sale); code != result::kSuccess) return BuiltFrame{code, {}};
    const std::uint8_t command = SaleCommand(sale.kind);
    return BuildInvoiceCommand(command, InvoiceLayoutOf(command), InvoiceRecordOf(sale));
}

}  // namespace karvex
