#include "commands/decoders.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <type_traits>
#include <utility>

#include "commands/catalogue.h"
#include "convert/conversions.h"

namespace karvex {
namespace {

constexpr std::uint8_t kTextEnd = 0x00;  // a goods name ends at its first NUL byte

// Reads the fields of one checked frame. Every read checks its bounds against the bytes before the CRC;
// the first failure sticks, later reads do nothing, and `result()` reports it.
class FieldReader {
public:
    explicit FieldReader(FrameView frame) : frame_(frame) {
        limit_ =
            frame.size() > kAnswerLengthOffset ? std::min<std::size_t>(frame[kAnswerLengthOffset], frame.size()) : 0;
    }

    ResultCode result() const { return result_; }

    std::uint8_t Byte(std::size_t offset) {
        const auto bytes = Take(offset, 1);
        return bytes.empty() ? 0 : bytes[0];
    }
    std::uint32_t Number(std::size_t offset, std::size_t width) {
        std::uint32_t value = 0;
        for (std::uint8_t b : Take(offset, width)) value = (value << 8) | b;
        return value;
    }
    std::uint16_t U16(std::size_t offset) { return static_cast<std::uint16_t>(Number(offset, 2)); }
    std::uint32_t U32(std::size_t offset) { return Number(offset, 4); }
    // Hundredths on the wire, yuan in the record.
    double Amount(std::size_t offset, std::size_t width = 4) {
        return static_cast<double>(Number(offset, width)) / 100.0;
    }
    // 10-digit text of a 4-byte invoice number.
    std::string Number10(std::size_t offset) { return PadNumber(U32(offset), 10); }

    std::string Digits(std::size_t offset, std::size_t width) { return Convert(offset, width, &BytesToDigits, true); }
    // A BCD field the processor is trusted with: a nibble above 9 comes through as its hex letter.
    std::string DigitsUnchecked(std::size_t offset, std::size_t width) {
        return Convert(offset, width, &BytesToDigits, false);
    }
    std::string Hex(std::size_t offset, std::size_t width) { return Convert(offset, width, &BytesToHex, true); }
    std::string Gbk(std::size_t offset, std::size_t width) { return Convert(offset, width, &BytesToGbkText, true); }
    // GBK text that ends at its first NUL byte; what follows the NUL is padding and is not looked at.
    std::string GbkUpToNul(std::size_t offset, std::size_t width) {
        const auto bytes = Take(offset, width);
        const auto end = std::find(bytes.begin(), bytes.end(), kTextEnd);
        return Decode(bytes.first(static_cast<std::size_t>(end - bytes.begin())), &BytesToGbkText, true);
    }
    FrameView Span(std::size_t offset, std::size_t width) { return Take(offset, width); }

    static std::string PadNumber(std::uint64_t value, int width) {
        std::string text = std::to_string(value);
        std::string padded;
        if (ZeroPadLeft(text, width, padded) != 0) return text;  // wider than the field: keep every digit
        return padded;
    }

private:
    using Conversion = int (*)(ByteView, std::string&);

    FrameView Take(std::size_t offset, std::size_t width) {
        if (result_ != result::kSuccess) return {};
        if (offset > limit_ || width > limit_ - offset) {
            result_ = result::kWrongAnswerLength;
            return {};
        }
        return frame_.subspan(offset, width);
    }
    std::string Convert(std::size_t offset, std::size_t width, Conversion convert, bool checked) {
        const auto bytes = Take(offset, width);
        if (result_ != result::kSuccess) return {};
        return Decode(bytes, convert, checked);
    }
    std::string Decode(FrameView bytes, Conversion convert, bool checked) {
        if (result_ != result::kSuccess) return {};
        if (bytes.empty()) return {};
        std::string out;
        const int code = convert(bytes, out);
        if (code != 0 && checked) result_ = code;
        return out;
    }

    FrameView frame_;
    std::size_t limit_ = 0;
    ResultCode result_ = result::kSuccess;
};

// Hands the record over only when every field decoded.
template <typename Record>
ResultCode Deliver(const FieldReader& reader, Record&& decoded, std::remove_cvref_t<Record>& out) {
    if (reader.result() != result::kSuccess) return reader.result();
    out = std::forward<Record>(decoded);
    return result::kSuccess;
}

// 税控码: decimal text of the leading part followed by the trailing part padded to 10 digits.
std::string TaxControlCode(FieldReader& reader, std::size_t offset) {
    const std::uint32_t leading = reader.U32(offset);
    const std::uint32_t trailing = reader.U32(offset + 4);
    return std::to_string(leading) + FieldReader::PadNumber(trailing, 10);
}

void ReadTaxSlots(FieldReader& reader, std::size_t index_at, std::size_t normal_at, std::size_t return_at,
                  std::array<TaxSlot, kAnswerSlots>& slots) {
    for (std::size_t k = 0; k < slots.size(); ++k) {
        slots[k].tax_index = reader.Byte(index_at + k);
        slots[k].normal_total = reader.Amount(normal_at + 4 * k);
        slots[k].return_total = reader.Amount(return_at + 4 * k);
    }
}

ResultCode DecodeDateTime(FrameView frame, std::uint8_t command, std::size_t width, DateTimeRecord& out) {
    if (const ResultCode rc = CheckAnswerShape(command, frame); rc != result::kSuccess) return rc;
    FieldReader reader(frame);
    const std::string digits = reader.Digits(kAnswerPayloadOffset, width);
    if (reader.result() != result::kSuccess) return reader.result();
    if (digits.size() != 2 * width) return result::kWrongAnswerLength;
    DateTimeRecord rec;
    rec.year = digits.substr(0, 4);
    rec.month = digits.substr(4, 2);
    rec.day = digits.substr(6, 2);
    rec.hour = digits.substr(8, 2);
    rec.minute = digits.substr(10, 2);
    if (width == 7) rec.second = digits.substr(12, 2);
    out = std::move(rec);
    return result::kSuccess;
}

std::string TwoHexDigits(std::uint8_t value) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    return {kHex[value >> 4], kHex[value & 0x0F]};
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// Table

const AnswerLayout& FindAnswerLayout(std::uint8_t command) {
    if (const CommandInfo* row = FindCommand(command)) return row->layout;
    // One accept-anything layout per code, so that the reference names the code asked for.
    static const auto kUnknown = [] {
        std::array<AnswerLayout, 256> table{};
        for (std::size_t code = 0; code < table.size(); ++code) table[code].command = static_cast<std::uint8_t>(code);
        return table;
    }();
    return kUnknown[command];
}

std::uint8_t ExpectedAnswerLength(std::uint8_t command) {
    const AnswerLayout& layout = FindAnswerLayout(command);
    return layout.length_rule == LengthRule::kExact ? layout.length : 0;
}

std::string_view PacketKindLabel(std::uint8_t command) { return FindAnswerLayout(command).progress_label; }

ResultCode CheckAnswerShape(const AnswerLayout& layout, FrameView frame) {
    if (layout.length_rule == LengthRule::kNone) return result::kSuccess;
    if (frame.size() <= kAnswerLengthOffset) return result::kWrongAnswerLength;
    const std::size_t length = frame[kAnswerLengthOffset];
    // L counts the four header bytes; the frame is L bytes plus the two CRC bytes.
    if (length < kAnswerPayloadOffset || frame.size() != length + 2) return result::kWrongAnswerLength;
    switch (layout.length_rule) {
    case LengthRule::kExact:
        if (length != layout.length) return result::kWrongAnswerLength;
        break;
    case LengthRule::kAtLeast:
        if (length < layout.length) return result::kWrongAnswerLength;
        break;
    case LengthRule::kAny:
    case LengthRule::kNone: break;
    }
    if (layout.packets == PacketRule::kLastOnly && frame[kAnswerPacketsOffset] != 0) {
        return result::kWrongAnswerLength;
    }
    return result::kSuccess;
}

ResultCode CheckAnswerShape(std::uint8_t command, FrameView frame) {
    return CheckAnswerShape(FindAnswerLayout(command), frame);
}

ResultCode CheckAnswerShape(CommandCode command, FrameView frame) { return CheckAnswerShape(ToByte(command), frame); }

bool IsQuietCardFollow(const AnswerLayout& layout, FrameView frame) {
    return layout.packets == PacketRule::kFollowIsQuiet && frame.size() > kAnswerPacketsOffset &&
           frame[kAnswerPacketsOffset] != 0;
}

// ---------------------------------------------------------------------------------------------------------
// Decoders

ResultCode AcceptData_InvoiceRoll(FrameView frame, std::uint8_t command, InvoiceRollRecord& out) {
    // The roll list answer (0x32) carries one byte more in front of the roll.
    constexpr std::uint8_t kRolls = ToByte(CommandCode::AlreadyInvoice);
    const std::uint8_t code = command == kRolls ? kRolls : ToByte(CommandCode::DispenseInvoice);
    const std::size_t shift = code == kRolls ? 1 : 0;
    if (const ResultCode rc = CheckAnswerShape(code, frame); rc != result::kSuccess) return rc;
    FieldReader reader(frame);
    InvoiceRollRecord rec;
    rec.invoice_code = reader.Digits(4 + shift, 10);
    rec.first_number = reader.Number10(14 + shift);
    rec.last_number = reader.Number10(18 + shift);
    if (reader.result() != result::kSuccess) return reader.result();
    rec.key = rec.invoice_code + rec.first_number;
    rec.dispensed_time = NowStamp();
    out = std::move(rec);
    return result::kSuccess;
}

ResultCode AcceptData_CurrentInv(FrameView frame, CurrentInvoiceRecord& out) {
    if (const ResultCode rc = CheckAnswerShape(CommandCode::CurrentInvoice, frame); rc != result::kSuccess) return rc;
    FieldReader reader(frame);
    return Deliver(reader, CurrentInvoiceRecord{reader.Number10(4)}, out);
}

ResultCode AcceptData_MakeInvoice(FrameView frame, IssueReply& out) {
    if (const ResultCode rc = CheckAnswerShape(CommandCode::MakeInvoice, frame); rc != result::kSuccess) return rc;
    FieldReader reader(frame);
    IssueReply rec;
    rec.machine_num = reader.Digits(4, 8);
    rec.user_name = reader.Gbk(12, 40);
    rec.tax_number = reader.Gbk(52, 20);
    rec.tax_code = TaxControlCode(reader, 72);
    rec.date_time = reader.Digits(80, 6);
    return Deliver(reader, std::move(rec), out);
}

ResultCode AcceptData_MachineData(FrameView frame, MachineDataRecord& out) {
    if (const ResultCode rc = CheckAnswerShape(CommandCode::GetMachineData, frame); rc != result::kSuccess) return rc;
    FieldReader reader(frame);
    MachineDataRecord rec;
    rec.machine_number = reader.Digits(4, 8);
    rec.production_date = reader.Digits(12, 4);
    rec.hardware_version = reader.Gbk(16, 18);
    rec.software_version = reader.Gbk(34, 18);
    return Deliver(reader, std::move(rec), out);
}

ResultCode AcceptData_UserInformation(FrameView frame, UserInformationRecord& out) {
    if (const ResultCode rc = CheckAnswerShape(CommandCode::UserInformation, frame); rc != result::kSuccess) return rc;
    FieldReader reader(frame);
    UserInformationRecord rec;
    rec.card_number = reader.DigitsUnchecked(4, 8);
    rec.card_password = reader.DigitsUnchecked(12, 8);
    rec.start_date = reader.DigitsUnchecked(20, 4);
    rec.valid_date = reader.DigitsUnchecked(24, 4);
    rec.taxpayer_name = reader.Gbk(28, 40);
    rec.taxpayer_code = reader.DigitsUnchecked(68, 8);
    rec.tax_number = reader.Gbk(76, 20);
    rec.tax_office_code = reader.DigitsUnchecked(96, 4);
    rec.declare_method = reader.Byte(100);
    rec.invoice_end_date = reader.DigitsUnchecked(101, 4);
    rec.single_invoice_limit = reader.Amount(105);
    rec.invoice_total_limit = reader.Amount(109);
    rec.return_total_limit = reader.Amount(113);
    return Deliver(reader, std::move(rec), out);
}

ResultCode AcceptData_TaxInformation(FrameView frame, TaxItemRecord& out) {
    if (const ResultCode rc = CheckAnswerShape(CommandCode::TaxInformation, frame); rc != result::kSuccess) return rc;
    FieldReader reader(frame);
    TaxItemRecord rec;
    rec.index = reader.Byte(5);
    rec.item_code = reader.DigitsUnchecked(6, 4);
    rec.tax_rate = reader.U16(10);
    rec.name_cn = reader.Gbk(12, 20);
    rec.name_en = reader.Gbk(32, 20);
    return Deliver(reader, std::move(rec), out);
}

ResultCode AcceptData_DateTime(FrameView frame, DateTimeRecord& out) {
    return DecodeDateTime(frame, ToByte(CommandCode::GetTime), 6, out);
}

ResultCode AcceptData_DateTimeSec(FrameView frame, DateTimeRecord& out) {
    return DecodeDateTime(frame, ToByte(CommandCode::GetDateTime), 7, out);
}

ResultCode AcceptData_InvUseSum(FrameView frame, InvUseSumRecord& out) {
    if (const ResultCode rc = CheckAnswerShape(CommandCode::InvoiceSum, frame); rc != result::kSuccess) return rc;
    FieldReader reader(frame);
    InvUseSumRecord rec;
    rec.invoice_code = reader.DigitsUnchecked(4, 10);
    rec.first_number = reader.Number10(14);
    rec.last_number = reader.Number10(18);
    rec.normal_count = reader.Byte(22);
    rec.return_count = reader.Byte(23);
    rec.void_count = reader.Byte(24);
    rec.normal_total = reader.Amount(25);
    rec.return_total = reader.Amount(29);
    rec.first_date = reader.Digits(33, 4);
    rec.last_date = reader.Digits(37, 4);
    return Deliver(reader, std::move(rec), out);
}

ResultCode AcceptData_DeclareData(FrameView frame, DeclareDataRecord& out) {
    if (const ResultCode rc = CheckAnswerShape(CommandCode::DeclareData, frame); rc != result::kSuccess) return rc;
    FieldReader reader(frame);
    DeclareDataRecord rec;
    rec.card_number = reader.Digits(4, 8);
    rec.start_date = reader.Digits(12, 4);
    rec.end_date = reader.Digits(16, 4);
    rec.normal_count = reader.U32(20);
    rec.return_count = reader.U16(24);
    rec.void_count = reader.U16(26);
    ReadTaxSlots(reader, 28, 34, 58, rec.slots);
    rec.card_normal_total = reader.Amount(82);
    rec.card_return_total = reader.Amount(86);
    rec.status_text = std::to_string(reader.Byte(90));
    rec.mac1 = reader.Hex(91, 4);
    rec.signature = reader.Hex(95, 128);
    rec.xor_check_text = std::to_string(reader.Byte(223));
    return Deliver(reader, std::move(rec), out);
}

ResultCode AcceptData_InvPrintData(FrameView frame, InvPrintDataRecord& out) {
    if (const ResultCode rc = CheckAnswerShape(CommandCode::InvoiceData, frame); rc != result::kSuccess) return rc;
    FieldReader reader(frame);
    InvPrintDataRecord rec;
    rec.issue_date = reader.Digits(5, 4);
    rec.invoice_number = reader.Number10(9);
    rec.invoice_type = reader.Byte(13);
    rec.total = reader.Amount(14);
    {
        // Unlike the issue answer's, this code is kept at its full width of 20 characters.
        std::string code = TaxControlCode(reader, 18);
        std::string padded;
        rec.tax_code = ZeroPadLeft(code, 20, padded) == 0 ? padded : code;
    }
    rec.original_number = reader.Number10(26);
    rec.reserved = reader.Hex(30, 2);
    rec.payer = reader.Gbk(32, 40);
    for (std::size_t k = 0; k < rec.goods.size(); ++k) {
        const std::size_t at = 72 + 27 * k;
        GoodsLine line;
        line.name = reader.GbkUpToNul(at, 20);
        line.quantity = reader.Amount(at + 20, 2);
        line.tax_index = reader.Byte(at + 22);
        line.amount = reader.Amount(at + 23);
        if (!line.name.empty()) rec.goods[k] = std::move(line);
    }
    if (reader.result() != result::kSuccess) return reader.result();
    rec.key = rec.issue_date + rec.invoice_number;
    out = std::move(rec);
    return result::kSuccess;
}

ResultCode AcceptData_ProcessorState(FrameView frame, ProcessorStateRecord& out) {
    if (const ResultCode rc = CheckAnswerShape(CommandCode::MachineState, frame); rc != result::kSuccess) return rc;
    FieldReader reader(frame);
    const std::uint8_t state = reader.Byte(4);
    return Deliver(reader, ProcessorStateRecord{state, std::string(ProcessorStateText(state))}, out);
}

ResultCode AcceptData_DayTrade(FrameView frame, DayTradeRecord& out) {
    if (const ResultCode rc = CheckAnswerShape(CommandCode::DayTrade, frame); rc != result::kSuccess) return rc;
    FieldReader reader(frame);
    DayTradeRecord rec;
    rec.date = reader.DigitsUnchecked(5, 4);
    rec.normal_count = reader.U16(9);
    rec.return_count = reader.U16(11);
    rec.void_count = reader.U16(13);
    ReadTaxSlots(reader, 15, 21, 45, rec.slots);
    rec.signature = reader.Hex(69, 128);
    return Deliver(reader, std::move(rec), out);
}

ResultCode AcceptData_DataIdiograph(FrameView frame, SignatureRecord& out) {
    if (const ResultCode rc = CheckAnswerShape(CommandCode::Idiograph, frame); rc != result::kSuccess) return rc;
    FieldReader reader(frame);
    return Deliver(reader, SignatureRecord{reader.Hex(4, 128)}, out);
}

ResultCode AcceptData_CardAnswer(FrameView frame, CardAnswerRecord& out) {
    if (const ResultCode rc = CheckAnswerShape(CommandCode::SendStr, frame); rc != result::kSuccess) return rc;
    const std::size_t length = frame[kAnswerLengthOffset];
    FieldReader reader(frame);
    CardAnswerRecord rec;
    BytesToSpacedHex(reader.Span(4, length - 4), rec.data_hex);
    // The status word is the payload's last two bytes, last one first. A payload shorter than two bytes has
    // no full status word: only payload bytes are shown, never the frame's own header.
    if (length >= 5) rec.status_code += TwoHexDigits(reader.Byte(length - 1));
    if (length >= 6) rec.status_code += TwoHexDigits(reader.Byte(length - 2));
    return Deliver(reader, std::move(rec), out);
}

ResultCode AcceptData_CardPowerOn(FrameView frame, CardPowerOnRecord& out) {
    if (const ResultCode rc = CheckAnswerShape(CommandCode::CardPowerOn, frame); rc != result::kSuccess) return rc;
    const std::size_t length = frame[kAnswerLengthOffset];
    FieldReader reader(frame);
    CardPowerOnRecord rec;
    BytesToSpacedHex(reader.Span(4, length - 4), rec.data_hex);
    return Deliver(reader, std::move(rec), out);
}

ResultCode AcceptData_Checkself(FrameView frame, SelfTestItemRecord& out) {
    if (const ResultCode rc = CheckAnswerShape(CommandCode::CheckSelf, frame); rc != result::kSuccess) return rc;
    FieldReader reader(frame);
    SelfTestItemRecord rec{reader.Byte(4), reader.Byte(5)};
    return Deliver(reader, rec, out);
}

ResultCode AcceptData_TotalSum(FrameView frame, TotalSumRecord& out) {
    if (const ResultCode rc = CheckAnswerShape(CommandCode::GetTotalSum, frame); rc != result::kSuccess) return rc;
    FieldReader reader(frame);
    TotalSumRecord rec{reader.Amount(4), reader.Amount(8), reader.Amount(12), reader.Amount(16)};
    return Deliver(reader, rec, out);
}

ResultCode AcceptData_Ack(FrameView frame, std::uint8_t command) {
    const AnswerLayout& layout = FindAnswerLayout(command);
    if (layout.decoder != DecoderKind::kAck) {
        // Any command may be acknowledged: four header bytes, nothing following.
        constexpr AnswerLayout kAckLayout{
            0, LengthRule::kExact, 4, PacketRule::kLastOnly, FrameHandling::kSingle, DecoderKind::kAck, {}};
        AnswerLayout ack = kAckLayout;
        ack.command = command;
        return CheckAnswerShape(ack, frame);
    }
    return CheckAnswerShape(layout, frame);
}

namespace {
template <typename Record, typename Decoder>
ResultCode DecodeInto(Decoder decode, FrameView frame, AnswerRecord& out) {
    Record rec;
    const ResultCode rc = decode(frame, rec);
    if (rc == result::kSuccess) out = std::move(rec);
    return rc;
}
}  // namespace

ResultCode DecodeAnswer(std::uint8_t command, FrameView frame, AnswerRecord& out) {
    const AnswerLayout& layout = FindAnswerLayout(command);
    switch (layout.decoder) {
    case DecoderKind::kNone: out = std::monostate{}; return result::kSuccess;
    case DecoderKind::kAck: {
        const ResultCode rc = AcceptData_Ack(frame, command);
        if (rc == result::kSuccess) out = std::monostate{};
        return rc;
    }
    case DecoderKind::kInvoiceRoll:
        return DecodeInto<InvoiceRollRecord>(
            [command](FrameView f, InvoiceRollRecord& r) { return AcceptData_InvoiceRoll(f, command, r); }, frame, out);
    case DecoderKind::kCurrentInv: return DecodeInto<CurrentInvoiceRecord>(AcceptData_CurrentInv, frame, out);
    case DecoderKind::kMakeInvoice: return DecodeInto<IssueReply>(AcceptData_MakeInvoice, frame, out);
    case DecoderKind::kMachineData: return DecodeInto<MachineDataRecord>(AcceptData_MachineData, frame, out);
    case DecoderKind::kUserInformation:
        return DecodeInto<UserInformationRecord>(AcceptData_UserInformation, frame, out);
    case DecoderKind::kTaxInformation: return DecodeInto<TaxItemRecord>(AcceptData_TaxInformation, frame, out);
    case DecoderKind::kDateTime: return DecodeInto<DateTimeRecord>(AcceptData_DateTime, frame, out);
    case DecoderKind::kInvUseSum: return DecodeInto<InvUseSumRecord>(AcceptData_InvUseSum, frame, out);
    case DecoderKind::kDeclareData: return DecodeInto<DeclareDataRecord>(AcceptData_DeclareData, frame, out);
    case DecoderKind::kInvPrintData: return DecodeInto<InvPrintDataRecord>(AcceptData_InvPrintData, frame, out);
    case DecoderKind::kProcessorState: return DecodeInto<ProcessorStateRecord>(AcceptData_ProcessorState, frame, out);
    case DecoderKind::kDayTrade: return DecodeInto<DayTradeRecord>(AcceptData_DayTrade, frame, out);
    case DecoderKind::kDataIdiograph: return DecodeInto<SignatureRecord>(AcceptData_DataIdiograph, frame, out);
    case DecoderKind::kCardAnswer: return DecodeInto<CardAnswerRecord>(AcceptData_CardAnswer, frame, out);
    case DecoderKind::kCardPowerOn: return DecodeInto<CardPowerOnRecord>(AcceptData_CardPowerOn, frame, out);
    case DecoderKind::kCheckself: return DecodeInto<SelfTestItemRecord>(AcceptData_Checkself, frame, out);
    case DecoderKind::kDateTimeSec: return DecodeInto<DateTimeRecord>(AcceptData_DateTimeSec, frame, out);
    case DecoderKind::kTotalSum: return DecodeInto<TotalSumRecord>(AcceptData_TotalSum, frame, out);
    }
    return result::kSuccess;
}

// ---------------------------------------------------------------------------------------------------------
// Display texts

std::string CurrentInvoiceText(const CurrentInvoiceRecord& rec) { return "当前发票号：" + rec.number; }

std::string ProcessorTimeText(const DateTimeRecord& rec) {
    std::string text = "税控器时间：" + rec.year + "-" + rec.month + "-" + rec.day + " " + rec.hour + "：" + rec.minute;
    if (!rec.second.empty()) text += "：" + rec.second;
    return text;
}

std::string_view ProcessorStateText(std::uint8_t state) {
    switch (state) {
    case 1: return "税控器状态：自检";
    case 2: return "税控器状态：发票用完";
    case 3: return "税控器状态：锁机";
    case 4: return "税控器状态：正常工作";
    default: return "错误的状态字";
    }
}

std::string CardAnswerText(const CardAnswerRecord& rec) {
    return "响应报文数据： " + rec.data_hex + "\n" + "状态码： " + rec.status_code;
}

std::string CardPowerOnText(const CardPowerOnRecord& rec) { return "响应报文数据： " + rec.data_hex; }

std::string YuanText(double value) {
    // Fifteen significant digits drop the binary noise of a hundredths division (12.34, not 12.339999...)
    // and print no trailing zeros.
    // to_chars, not printf: the text must not follow a host locale's decimal comma.
    char buffer[40];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 15);
    if (ec != std::errc()) return "0";
    return std::string(buffer, end);
}

std::string TotalSumText(const TotalSumRecord& rec) {
    return "完税后正常发票累计金额：" + YuanText(rec.taxed_normal_total) + "\n\n" + "完税后退票累计金额：" +
           YuanText(rec.taxed_return_total) + "\n\n" + "总正常发票累计金额：" + YuanText(rec.normal_total) + "\n\n" +
           "总退票累计金额：" + YuanText(rec.return_total);
}

// ---------------------------------------------------------------------------------------------------------
// Self-test items

namespace {

enum class GroupRole : std::uint8_t { kOwnLabel, kSetsMemo, kReportsGroup, kLamps };

struct CheckselfItem {
    std::uint8_t bit;
    std::string_view passed;
    std::string_view failed;
    GroupRole role;
    std::optional<SelfTestBox> box;
};

constexpr std::array<CheckselfItem, 8> kCheckselfItems{{
    {0x01, "CPU自检成功", "CPU自检失败", GroupRole::kOwnLabel, SelfTestBox::Cpu},
    {0x02, "ROM自检成功", "ROM自检失败", GroupRole::kOwnLabel, SelfTestBox::Code},
    {0x04, "RAM地址奇偶法自检成功", "RAM地址奇偶法自检失败", GroupRole::kSetsMemo, std::nullopt},
    {0x08, "RAM步进法自检成功", "RAM步进法自检失败", GroupRole::kSetsMemo, std::nullopt},
    {0x10, "RAM走步法自检成功", "RAM走步法自检失败", GroupRole::kReportsGroup, SelfTestBox::Ram},
    {0x20, "发票存储器自检成功", "发票存储器自检失败", GroupRole::kSetsMemo, std::nullopt},
    {0x40, "税控存储器自检成功", "税控存储器自检失败", GroupRole::kReportsGroup, SelfTestBox::Memory},
    {0x80, "LED指示灯检查完成", "LED指示灯检查完成", GroupRole::kLamps, SelfTestBox::Lamps},
}};

struct ItemName {
    std::uint8_t bit;
    std::string_view name;
};
constexpr std::array<ItemName, 7> kNextItemNames{{
    {0x02, "ROM代码校验和"},
    {0x04, "RAM地址奇偶法"},
    {0x08, "RAM步进法"},
    {0x10, "RAM走步法"},
    {0x20, "发票存储器"},
    {0x40, "税控存储器"},
    {0x80, "LED指示灯"},
}};

constexpr std::string_view kPassedLabel = "自检成功";
constexpr std::string_view kFailedLabel = "自检失败";
constexpr std::string_view kLampsLabel = "检查完成";

}  // namespace

std::string_view CheckselfItemAfter(std::uint8_t mask, std::uint8_t item) {
    for (const ItemName& entry : kNextItemNames) {
        if ((mask & entry.bit) != 0 && entry.bit > item) return entry.name;
    }
    return {};
}

CheckselfReport DescribeCheckselfItem(const SelfTestItemRecord& item, std::uint8_t mask, bool more_follow, bool& memo) {
    CheckselfReport report;
    if (more_follow) report.next_line = "正在" + std::string(CheckselfItemAfter(mask, item.item)) + "检查...";
    const auto found = std::find_if(kCheckselfItems.begin(), kCheckselfItems.end(),
                                    [&](const CheckselfItem& entry) { return entry.bit == item.item; });
    if (found == kCheckselfItems.end()) {
        report.result = result::kBadSelfTestItem;
        return report;
    }
    const bool failed = item.outcome != 0;
    report.item_text = std::string(failed ? found->failed : found->passed);
    report.box = found->box;
    switch (found->role) {
    case GroupRole::kOwnLabel: report.label_text = std::string(failed ? kFailedLabel : kPassedLabel); break;
    case GroupRole::kSetsMemo:
        if (failed) memo = true;
        break;
    case GroupRole::kReportsGroup:
        report.label_text = std::string(failed || memo ? kFailedLabel : kPassedLabel);
        memo = false;
        break;
    case GroupRole::kLamps: report.label_text = std::string(kLampsLabel); break;
    }
    return report;
}

}  // namespace karvex
