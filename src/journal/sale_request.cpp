#include "journal/sale_request.h"

#include <cmath>
#include <cstdio>

#include "commands/catalogue.h"

namespace karvex {

namespace {

constexpr std::size_t kPayerWidth = 40;
constexpr std::size_t kNameWidth = 20;
constexpr std::size_t kLineWidth = 27;

std::uint32_t ReadNumber(ByteView bytes, std::size_t at, std::size_t width) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < width; ++i) value = (value << 8) | bytes[at + i];
    return value;
}

std::string WithoutTrailingBlanks(std::string text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
    return text;
}

bool ReadText(ByteView bytes, std::string& out) {
    std::string text;
    if (GbkToUtf8(bytes, text) != 0) return false;
    out = WithoutTrailingBlanks(std::move(text));
    return true;
}

std::string TenDigits(std::uint64_t value) {
    std::string text = std::to_string(value);
    return text.size() < 10 ? std::string(10 - text.size(), '0') + text : text;
}

std::string Hundredths(std::uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "%llu.%02llu", static_cast<unsigned long long>(value / 100),
                  static_cast<unsigned long long>(value % 100));
    return text;
}

std::int64_t InHundredths(double yuan) { return std::llround(yuan * 100.0); }

}  // namespace

bool SaleRequest::IsReturn() const { return command == ToByte(CommandCode::ReturnInvoice); }

std::uint64_t SaleRequest::Total() const {
    std::uint64_t total = 0;
    for (const SaleItem& line : lines) total += line.amount;
    return total;
}

ResultCode ReadSaleRequest(ByteView frame, SaleRequest& out) {
    if (frame.size() < kRequestHeaderSize + kCrcSize) return result::kWrongAnswerLength;
    const std::uint8_t command = frame[2];
    const bool isReturn = command == ToByte(CommandCode::ReturnInvoice);
    if (command != ToByte(CommandCode::MakeInvoice) && !isReturn) return result::kWrongAnswerLength;
    const ByteView payload = frame.subspan(kRequestHeaderSize, frame.size() - kRequestHeaderSize - kCrcSize);
    const std::size_t front = isReturn ? 4 : 0;
    const std::size_t head = front + 2 + kPayerWidth + 1;
    if (payload.size() < head) return result::kWrongAnswerLength;
    const std::size_t count = payload[head - 1];
    if (count < 1 || count > 6 || payload.size() != head + kLineWidth * count) return result::kWrongAnswerLength;

    SaleRequest sale;
    sale.command = command;
    if (isReturn) sale.returned = TenDigits(ReadNumber(payload, 0, 4));
    sale.household = static_cast<std::uint16_t>(ReadNumber(payload, front, 2));
    if (!ReadText(payload.subspan(front + 2, kPayerWidth), sale.payer)) return result::kWrongAnswerLength;
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t at = head + kLineWidth * k;
        SaleItem line;
        if (!ReadText(payload.subspan(at, kNameWidth), line.name)) return result::kWrongAnswerLength;
        line.quantity = ReadNumber(payload, at + kNameWidth, 2);
        line.taxIndex = payload[at + kNameWidth + 2];
        line.amount = ReadNumber(payload, at + kNameWidth + 3, 4);
        sale.lines.push_back(std::move(line));
    }
    out = std::move(sale);
    return result::kSuccess;
}

std::string SaleGoodsText(const SaleRequest& sale) {
    std::string text;
    for (const SaleItem& line : sale.lines) {
        if (!text.empty()) text += '\n';
        text += line.name + '\t' + Hundredths(line.quantity) + '\t' + std::to_string(line.taxIndex) + '\t' +
                Hundredths(line.amount);
    }
    return text;
}

SaleMatch MatchPrintData(const SaleRequest& sale, const InvPrintDataRecord& record) {
    // The print data's type byte: 1 an issued invoice, 2 a return; a voided one is neither request.
    const std::uint8_t kind = sale.IsReturn() ? 2 : 1;
    if (record.invoice_type != kind) return SaleMatch::kOtherKind;
    if (sale.IsReturn() && record.original_number != sale.returned) return SaleMatch::kOtherReturnedNumber;
    if (WithoutTrailingBlanks(record.payer) != sale.payer) return SaleMatch::kOtherPayer;
    std::size_t used = 0;
    for (const auto& slot : record.goods) used += slot.has_value() ? 1 : 0;
    if (used != sale.lines.size()) return SaleMatch::kOtherGoods;
    for (std::size_t k = 0; k < sale.lines.size(); ++k) {
        const auto& slot = record.goods[k];
        const SaleItem& line = sale.lines[k];
        if (!slot || WithoutTrailingBlanks(slot->name) != line.name ||
            InHundredths(slot->quantity) != static_cast<std::int64_t>(line.quantity) ||
            slot->tax_index != line.taxIndex || InHundredths(slot->amount) != static_cast<std::int64_t>(line.amount)) {
            return SaleMatch::kOtherGoods;
        }
    }
    if (InHundredths(record.total) != static_cast<std::int64_t>(sale.Total())) return SaleMatch::kOtherTotal;
    return SaleMatch::kSame;
}

std::string IssueFormTaxCode(std::string_view printCode) {
    // The trailing part is always the last 10 digits; zeros in front of the leading part are padding.
    if (printCode.size() <= 10) return std::string(printCode);
    std::string_view leading = printCode.substr(0, printCode.size() - 10);
    while (leading.size() > 1 && leading.front() == '0') leading.remove_prefix(1);
    return std::string(leading) + std::string(printCode.substr(printCode.size() - 10));
}

}  // namespace karvex
