#include "control/host_calls.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <string>
#include <vector>

#include "convert/conversions.h"

namespace karvex {
namespace {

constexpr int kClassDecimalOrBlank = 6;
constexpr int kClassDigits = 1;
constexpr std::int64_t kMaxQuantityHundredths = 0xFFFF;
constexpr std::uint64_t kMaxInvoiceNumber = 0xFFFFFFFFull;
constexpr std::string_view kNullField = kNoFirstValue;

[[noreturn]] void Overflow(const char* what) { throw ArgumentOverflow(what); }

// One goods number as typed: blanks anywhere are ignored, digits with at most one decimal point.
struct SliceNumber {
    bool malformed = false;  // a second decimal point
    std::string whole;       // digits before the point
    std::string fraction;    // digits after it
};

// The slice texts have passed their character class, so only digits, "." and blanks are left. A second
// point used to end the number silently ("1.000.00" read as 1); on an invoice that turns a thousand into
// one, so it is refused instead.
SliceNumber ReadSlice(std::string_view slice) {
    SliceNumber number;
    bool seen_point = false;
    for (char c : slice) {
        if (c == ' ') continue;
        if (c == '.') {
            if (seen_point) {
                number.malformed = true;
                return number;
            }
            seen_point = true;
            continue;
        }
        (seen_point ? number.fraction : number.whole).push_back(c);
    }
    return number;
}

// value x 100 rounded half to even, computed on the digits so that "2.675" gives 268 and not the 267 the
// binary product 267.49999... would. Slices are 11 characters, so the result stays far inside 64 bits.
std::int64_t SliceHundredths(const SliceNumber& number) {
    std::string fraction = number.fraction;
    while (fraction.size() < 2) fraction.push_back('0');
    std::int64_t hundredths = 0;
    for (char c : number.whole + fraction.substr(0, 2)) hundredths = hundredths * 10 + (c - '0');
    const std::string_view rest = std::string_view(fraction).substr(2);
    if (!rest.empty()) {
        const bool above_half_digit = rest[0] > '5';
        const bool tail_nonzero = rest.substr(1).find_first_not_of('0') != std::string_view::npos;
        if (above_half_digit || (rest[0] == '5' && (tail_nonzero || hundredths % 2 != 0))) ++hundredths;
    }
    return hundredths;
}

std::string_view Slice(std::string_view text, std::size_t index, std::size_t width) {
    const std::size_t start = index * width;
    if (start >= text.size()) return {};
    return text.substr(start, width);
}

// Positions in a GBK byte string where a character starts (and its end); a byte of 0x81 or above leads a
// two-byte character.
std::vector<bool> CharacterStarts(const Bytes& gbk) {
    std::vector<bool> starts(gbk.size() + 1, false);
    std::size_t i = 0;
    while (i < gbk.size()) {
        starts[i] = true;
        i += gbk[i] >= 0x81 ? 2 : 1;
    }
    starts[std::min(i, gbk.size())] = true;
    return starts;
}

InvoiceCheck Stored(ResultCode code) { return InvoiceCheck{code, true, 0}; }

// The invoice-number check shared by the void, print-data and roll-summary calls: PadInvoiceNumber's codes
// (then `padded` is left alone), then 148 for a 10-digit number beyond the 4-byte field (`padded` already
// holds the 10 digits). 148 is what the number-pair builder would refuse the number with; it is found here
// so that nothing half-built reaches the line, and the calls treat it as the send failure it stands for.
ResultCode CheckInvoiceNumber(std::string_view text, std::string& padded) {
    std::string out;
    if (int code = PadInvoiceNumber(text, out); code != 0) return code;
    padded = std::move(out);
    std::uint64_t value = 0;
    const auto parsed = std::from_chars(padded.data(), padded.data() + padded.size(), value);
    if (parsed.ec != std::errc() || value > kMaxInvoiceNumber) return result::kInvoiceNumberTooLarge;
    return result::kSuccess;
}

// A send failure leaves the shared word as it was; every other refusal of the number is stored.
bool StoredRefusal(ResultCode code) { return code != result::kInvoiceNumberTooLarge; }

HostRequest Refused(ResultCode code, bool store) {
    HostRequest request;
    request.code = code;
    request.store = store;
    return request;
}

std::string Fitted(std::string_view text, std::size_t width) {
    std::string out;
    FormatTextField(text, static_cast<int>(width), ' ', kPadBehind, kCutToWidth, out);
    return out;
}

}  // namespace

InvoiceCheck PrepareFiscalMakeInv(const MakeInvArgs& args, InvoiceRequest& request) {
    // Arguments too wide for their wire fields fail the call before anything changes.
    if (args.CommandNum < 0 || args.CommandNum > 0xFF) Overflow("CommandNum does not fit a byte");
    if (args.SalesNum < 0 || args.SalesNum > 0xFF) Overflow("SalesNum does not fit a byte");
    if (args.FhNumber < 0 || args.FhNumber > 0xFFFF) Overflow("FhNumber does not fit 16 bits");

    // Any other command byte would put an invoice payload in front of a command that means something else.
    if (args.CommandNum != kHostIssueInvoice && args.CommandNum != kHostReturnInvoice) {
        return Stored(result::kCommandTypeError);
    }

    // Work on a copy: a quantity overflow found half way must leave the record as it was, while a validation
    // failure keeps what was stored up to it.
    InvoiceRequest work = request;
    const auto finish = [&](ResultCode code) {
        request = std::move(work);
        return Stored(code);
    };

    work.FhNumber = args.FhNumber;
    work.InvMode = args.InvMode;
    work.OInvNum = args.OInvNum;

    // The number reader of the frame would take "9.5" as 10 and return another invoice than the one meant:
    // the returned invoice's number is held to the digits the void and print-data calls accept.
    if (args.CommandNum == kHostReturnInvoice) {
        std::string padded;
        if (ResultCode code = CheckInvoiceNumber(args.OInvNum, padded); code != 0) return finish(code);
    }

    // A payer character without a GBK form would go out as "?", one the print-data decoder refuses (a
    // control character, say) would make the invoice's print data unreadable.
    {
        Bytes payer;
        if (Utf8ToGbk(args.PayUnit, payer) != 0) return finish(result::kControlCharacter);
        std::string normalized;
        if (int code = NormalizeText(args.PayUnit, normalized); code != 0) return finish(code);
    }
    FormatTextField(args.PayUnit, static_cast<int>(kPayerWidth), ' ', kPadBehind, kCutToWidth, work.PayUnit);

    work.SalesNum = static_cast<std::uint8_t>(args.SalesNum);
    if (work.SalesNum < 1 || work.SalesNum > kMaxInvoiceItems) return finish(result::kBadItemCount);

    for (std::string_view text :
         {std::string_view(args.SalesAmount), std::string_view(args.SalesPrice), std::string_view(args.SalesSum)}) {
        if (int code = CheckCharClass(text, kClassDecimalOrBlank); code != 0) return finish(code);
    }
    if (int code = CheckCharClass(args.TaxIndex, kClassDigits); code != 0) return finish(code);

    // A name character without a GBK form would be printed as "?" on the invoice.
    Bytes names;
    if (int code = Utf8ToGbk(args.SalesName, names); code != 0) return finish(code);
    const std::vector<bool> starts = CharacterStarts(names);

    for (std::size_t i = 0; i < work.SalesNum; ++i) {
        const SliceNumber quantity = ReadSlice(Slice(args.SalesAmount, i, kGoodsNumberWidth));
        if (quantity.malformed) return finish(result::kNotDecimalNumber);
        const std::int64_t hundredths = SliceHundredths(quantity);
        if (hundredths > kMaxQuantityHundredths) {
            Overflow("goods quantity above 655.35 does not fit 16 bits");
        }
        work.ItemQuantity[i] = static_cast<std::int32_t>(hundredths);
        if (hundredths < 1) return finish(result::kQuantityZero);

        // Price and amount are judged in fen, as the amount goes on the wire: 0.005 would go out as 0.
        const SliceNumber price = ReadSlice(Slice(args.SalesPrice, i, kGoodsNumberWidth));
        if (price.malformed) return finish(result::kNotDecimalNumber);
        work.ItemPriceFen[i] = SliceHundredths(price);
        if (work.ItemPriceFen[i] < 1) return finish(result::kBadUnitPrice);

        const SliceNumber amount = ReadSlice(Slice(args.SalesSum, i, kGoodsNumberWidth));
        if (amount.malformed) return finish(result::kNotDecimalNumber);
        work.ItemSumFen[i] = SliceHundredths(amount);
        if (work.ItemSumFen[i] < 1) return finish(result::kBadAmount);

        const std::string_view tax = Slice(args.TaxIndex, i, 1);
        work.ItemTaxIndex[i] = static_cast<std::uint8_t>(tax.empty() ? 0 : tax[0] - '0');
        if (work.ItemTaxIndex[i] == 0) return finish(result::kTaxIndexZero);

        // A slice boundary inside a two-byte character would split it between two goods names and put
        // garbage on both; the host's slices are out of step, so refuse rather than print it.
        const std::size_t begin = std::min(i * kGoodsNameWidth, names.size());
        const std::size_t end = std::min(begin + kGoodsNameWidth, names.size());
        if (!starts[begin] || !starts[end]) return finish(result::kHalfChineseCharacter);
        // The processor hands the name back in the invoice's print data; a name its decoder refuses (a
        // control byte, "€", a GBK character whose second byte is below 0xA0) would leave that invoice
        // unreadable for good.
        const ByteView name(names.data() + begin, end - begin);
        if (int code = CheckGbkBytes(name); code != 0) return finish(code);
        GbkToUtf8(name, work.ItemName[i]);
    }

    request = std::move(work);
    return InvoiceCheck{result::kSuccess, false, static_cast<std::uint8_t>(args.CommandNum)};
}

ResultCode SendHostRequest(const FrameSink& sink, const HostRequest& request) {
    const std::optional<CommandCode> code = ToCommandCode(request.command);
    if (request.kind == RequestKind::kNone || !code) {
        return request.code != result::kSuccess ? request.code : result::kCommandTypeError;
    }
    const RequestArgs args = request.kind == RequestKind::kBare ? RequestArgs{NoPayload{}}
                                                                : RequestArgs{TwoValues{request.first, request.second}};
    return SendBuiltFrame(sink, BuildRequest(*code, args, Sender::Host));
}

HostRequest PrepareFiscalInvalidateInv(std::string& InvNum) {
    if (InvNum.empty()) return Refused(result::kEmptyInput, true);
    std::string padded;
    const ResultCode code = CheckInvoiceNumber(InvNum, padded);
    InvNum = padded;  // the host sees what was checked: the 10 digits, or nothing when they are not digits
    if (code != result::kSuccess) return Refused(code, StoredRefusal(code));

    HostRequest request;
    request.kind = RequestKind::kNumberPair;
    request.command = kCommandInvalidateInvoice;
    request.first = std::string(kNullField);
    request.second = std::move(padded);
    request.caller_mode = kCallerHostCall;
    return request;
}

HostRequest PrepareGetPrintInv(std::int32_t CommandNum, std::string_view InvNum, HostReply& reply) {
    HostRequest request;
    request.caller_mode = kCallerPrintDataChain;
    request.through_chain = true;
    if (CommandNum == kHostLastInvoiceData) {
        request.kind = RequestKind::kBare;
        request.command = kCommandLastInvData;
    } else if (CommandNum == kHostPrintDataByNumber) {
        if (InvNum.empty()) return Refused(result::kEmptyInput, true);
        std::string padded;
        if (ResultCode code = CheckInvoiceNumber(InvNum, padded); code != result::kSuccess) {
            return Refused(code, false);
        }
        request.kind = RequestKind::kNumberPair;
        request.command = kCommandPrintDataByNumber;
        request.first = padded;
        request.second = std::move(padded);
    } else {
        return Refused(result::kCommandTypeError, false);
    }
    ClearGoodsSlots(reply);
    reply.print_data.reset();
    return request;
}

HostRequest PrepareGetInvUseSum(std::string_view InvNum) {
    if (InvNum.empty()) return Refused(result::kEmptyInput, true);
    std::string padded;
    if (ResultCode code = CheckInvoiceNumber(InvNum, padded); code != result::kSuccess) {
        return Refused(code, StoredRefusal(code));
    }
    HostRequest request;
    request.kind = RequestKind::kNumberPair;
    request.command = kCommandInvoiceSum;
    request.first = std::string(kNullField);
    request.second = std::string(InvNum);
    request.caller_mode = kCallerRollSummaryChain;
    request.through_chain = true;
    return request;
}

ResultCode CopyFiscalGetInvNum(ResultCode final_code, const std::string& current_inv_number, std::string& InvNum) {
    if (final_code == result::kSuccess) InvNum = current_inv_number;
    return final_code;
}

ResultCode CopyFiscalReturnInvInfo(const IssueReply& reply, ReturnInvInfoOutputs& out) {
    out.MachineNum = reply.machine_num;
    out.UserName = reply.user_name;
    out.TaxNumber = reply.tax_number;
    out.TaxCode = reply.tax_code;
    out.DateTime = reply.date_time;
    return result::kSuccess;
}

ResultCode CopyGetPrintInvReply(ResultCode final_code, const HostReply& reply, PrintInvOutputs& out) {
    if (final_code != result::kSuccess) return final_code;
    out.InvNum = reply.inv_num;
    out.OInvNum = reply.o_inv_num;
    out.MachineNumber = reply.machine_number;
    out.SaleUnit = reply.sale_unit;
    out.PayUnit = reply.pay_unit;
    out.TaxNumber = reply.tax_number;
    out.PrintDate = reply.print_date;
    out.TaxCode = reply.tax_code;
    out.InvType = reply.inv_type;
    for (const GoodsReply& goods : reply.goods) {
        out.SalesName += Fitted(goods.name, kGoodsNameWidth);
        out.SalesAmount += Fitted(goods.quantity, kGoodsNumberWidth);
        out.SalesPrice += Fitted(goods.price, kGoodsNumberWidth);
        out.SalesSum += Fitted(goods.amount, kGoodsNumberWidth);
    }
    return final_code;
}

ResultCode CopyGetInvUseSumReply(ResultCode final_code, const HostReply& reply, InvUseSumOutputs& out) {
    if (final_code != result::kSuccess) return final_code;
    out.BeginDate = reply.begin_date;
    out.EndDate = reply.end_date;
    out.BeginInvNum = reply.begin_inv_num;
    out.EndInvNum = reply.end_inv_num;
    out.InvalidateInv = reply.invalidate_inv;
    out.NormalInv = reply.normal_inv;
    out.NormalSum = reply.normal_sum;
    out.ReturnInv = reply.return_inv;
    out.ReturnSum = reply.return_sum;
    out.InvCode = reply.inv_code;
    out.TaxNumber = reply.tax_number;
    out.UserName = reply.user_name;
    out.MachineNumber = reply.machine_number;
    return final_code;
}

void ClearGoodsSlots(HostReply& reply) { reply.goods.fill(GoodsReply{}); }

}  // namespace karvex
