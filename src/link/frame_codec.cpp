#include "frame_codec.h"

#include <algorithm>

#include "conversions.h"

namespace karvex {
namespace {

constexpr std::uint16_t kCrcPolynomial = 0x8005;

// kCrcTables[0][v] is the CRC register after feeding byte v into a zero register; kCrcTables[k][v] is that
// register after k further zero bytes. Four tables let the loop take four bytes per step (the register is
// linear in its input), which shortens the chain of dependent table look-ups fourfold.
using CrcTables = std::array<std::array<std::uint16_t, 256>, 4>;

constexpr CrcTables MakeCrcTables() {
    CrcTables tables{};
    for (unsigned b = 0; b < 256; ++b) {
        unsigned crc = b << 8;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000u) ? ((crc << 1) ^ kCrcPolynomial) : (crc << 1);
            crc &= 0xFFFFu;
        }
        tables[0][b] = static_cast<std::uint16_t>(crc);
    }
    for (std::size_t k = 1; k < tables.size(); ++k) {
        for (unsigned b = 0; b < 256; ++b) {
            const unsigned previous = tables[k - 1][b];
            tables[k][b] = static_cast<std::uint16_t>(((previous << 8) ^ tables[0][previous >> 8]) & 0xFFFFu);
        }
    }
    return tables;
}

constexpr CrcTables kCrcTables = MakeCrcTables();

// A missing "first" field of the pair requests.
constexpr std::string_view kNullField = "Null";

constexpr std::uint8_t kBlank = 0x20;

// Starts a request: header with the length L that the finished payload must reach.
Bytes StartRequest(std::uint8_t command, std::size_t length) {
    Bytes frame;
    frame.reserve(length + kCrcSize);
    frame.push_back(kRequestLead0);
    frame.push_back(kRequestLead1);
    frame.push_back(command);
    frame.push_back(static_cast<std::uint8_t>(length >> 8));
    frame.push_back(static_cast<std::uint8_t>(length & 0xFF));
    return frame;
}

BuiltFrame Fail(ResultCode code) { return BuiltFrame{code, {}}; }

BuiltFrame Finish(Bytes frame) {
    AppendFrameCrc(frame);
    return BuiltFrame{result::kSuccess, std::move(frame)};
}

void AppendBytes(Bytes& frame, const Bytes& part) { frame.insert(frame.end(), part.begin(), part.end()); }

void AppendU16(Bytes& frame, std::uint32_t value) {
    frame.push_back(static_cast<std::uint8_t>((value >> 8) & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

void AppendU32(Bytes& frame, std::uint32_t value) {
    AppendU16(frame, value >> 16);
    AppendU16(frame, value & 0xFFFF);
}

// Packs exactly `width` BCD bytes from a digit text. The frame's length is fixed by the command, so a
// text of the wrong number of digits must not go out: `width_code` reports it.
ResultCode AppendBcdField(Bytes& frame, std::string_view digits, std::size_t width, ResultCode width_code) {
    Bytes bcd;
    if (int code = DigitsToBcd(digits, bcd); code != 0) return code;
    if (digits.size() != 2 * width) return width_code;
    AppendBytes(frame, bcd);
    return result::kSuccess;
}

// A decimal number as 4 bytes; every failure of an invoice-number field reads as 148.
ResultCode AppendInvoiceNumber(Bytes& frame, std::string_view text) {
    Bytes number;
    if (NumberToBytes(text, number) != 0 || number.size() != 4) return result::kInvoiceNumberTooLarge;
    // An invoice number has no fraction: "9.5" read as 10 would name another invoice.
    if (text.find('.') != std::string_view::npos) return result::kInvoiceNumberTooLarge;
    AppendBytes(frame, number);
    return result::kSuccess;
}

// GBK bytes of `text`, blank-padded to `width`. An over-long text would break the frame's fixed layout.
ResultCode AppendTextField(Bytes& frame, std::string_view text, std::size_t width, bool empty_is_blank) {
    Bytes gbk;
    if (!text.empty()) {
        if (int code = GbkTextToBytes(text, gbk); code != 0) return code;
    } else if (!empty_is_blank) {
        return result::kEmptyTextToBytes;
    }
    if (gbk.size() > width) return result::kTextTooLong;
    AppendBytes(frame, gbk);
    frame.insert(frame.end(), width - gbk.size(), kBlank);
    return result::kSuccess;
}

// Item amount in fen as 4 bytes: a negative amount is no number the processor knows, one above 32 bits
// would wrap into another amount.
ResultCode AppendAmount(Bytes& frame, std::int64_t fen) {
    if (fen < 0) return result::kNotDecimalNumber;
    if (fen > 0xFFFFFFFFll) return result::kNumberAbove32Bits;
    AppendU32(frame, static_cast<std::uint32_t>(fen));
    return result::kSuccess;
}

bool IsBlank(char c) { return c == ' '; }

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

int DigitValue(char c, bool hexadecimal) {
    if (c >= '0' && c <= '9') return c - '0';
    if (hexadecimal && c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (hexadecimal && c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The characters 1-2, 4-5 and 7-8 of a time text, counted in characters (a full-width colon is one).
std::string TimeDigits(std::string_view text) {
    std::string digits;
    const std::vector<std::string_view> characters = Utf8Characters(text);
    for (std::size_t position = 0; position < characters.size() && position < 8; ++position) {
        if (position != 2 && position != 5) digits.append(characters[position]);
    }
    return digits;
}

}  // namespace

std::uint16_t FrameCrc(std::span<const std::uint8_t> data) {
    const auto& t = kCrcTables;
    std::uint32_t crc = 0;
    const std::uint8_t* p = data.data();
    std::size_t left = data.size();
    while (left >= 4) {
        // The register meets the first two bytes; the last two enter a zero register.
        const std::uint32_t x = ((crc ^ ((std::uint32_t{p[0]} << 8) | p[1])) << 16) | (std::uint32_t{p[2]} << 8) | p[3];
        crc = std::uint32_t{t[3][x >> 24]} ^ t[2][(x >> 16) & 0xFF] ^ t[1][(x >> 8) & 0xFF] ^ t[0][x & 0xFF];
        p += 4;
        left -= 4;
    }
    while (left-- > 0) {
        crc = ((crc << 8) ^ t[0][((crc >> 8) ^ *p++) & 0xFF]) & 0xFFFFu;
    }
    return static_cast<std::uint16_t>(crc);
}

void AppendFrameCrc(Bytes& frame) {
    const std::uint16_t crc = FrameCrc(frame);
    frame.push_back(CrcHigh(crc));
    frame.push_back(CrcLow(crc));
}

BuiltFrame BuildRequestFrame(std::uint8_t command, std::span<const std::uint8_t> payload) {
    if (payload.size() > kMaxByteListSize) return Fail(result::kTextTooLong);
    Bytes frame = StartRequest(command, kRequestHeaderSize + payload.size());
    frame.insert(frame.end(), payload.begin(), payload.end());
    return Finish(std::move(frame));
}

BuiltFrame BuildBareCommand(std::uint8_t command) { return Finish(StartRequest(command, 5)); }

BuiltFrame BuildByteCommand(std::uint8_t command, std::uint8_t value) {
    Bytes frame = StartRequest(command, 6);
    frame.push_back(value);
    return Finish(std::move(frame));
}

BuiltFrame BuildTimeCommand(std::uint8_t command, std::string_view time_text) {
    Bytes frame = StartRequest(command, 8);
    if (ResultCode code = AppendBcdField(frame, TimeDigits(time_text), 3, result::kWrongDateLength); code != 0) {
        return Fail(code);
    }
    return Finish(std::move(frame));
}

BuiltFrame BuildBcdPairCommand(std::uint8_t command, std::string_view first, std::string_view second) {
    const bool has_first = first != kNullField;
    Bytes frame = StartRequest(command, has_first ? 13 : 9);
    if (has_first) {
        if (ResultCode code = AppendBcdField(frame, first, 4, result::kWrongDateLength); code != 0) {
            return Fail(code);
        }
    }
    if (ResultCode code = AppendBcdField(frame, second, 4, result::kWrongDateLength); code != 0) return Fail(code);
    return Finish(std::move(frame));
}

BuiltFrame BuildNumberPairCommand(std::uint8_t command, std::string_view first, std::string_view second) {
    const bool has_first = first != kNullField;
    Bytes frame = StartRequest(command, has_first ? 13 : 9);
    if (has_first) {
        if (ResultCode code = AppendInvoiceNumber(frame, first); code != 0) return Fail(code);
    }
    if (ResultCode code = AppendInvoiceNumber(frame, second); code != 0) return Fail(code);
    return Finish(std::move(frame));
}

BuiltFrame BuildInstallCommand(std::uint8_t command, std::string_view invoice_code, std::string_view first_number) {
    Bytes frame = StartRequest(command, 19);
    if (ResultCode code = AppendBcdField(frame, invoice_code, 10, result::kTextTooLong); code != 0) {
        return Fail(code);
    }
    if (ResultCode code = AppendInvoiceNumber(frame, first_number); code != 0) return Fail(code);
    return Finish(std::move(frame));
}

BuiltFrame BuildFactoryDataCommand(std::uint8_t command, const FactoryData& data) {
    Bytes frame = StartRequest(command, 53);
    if (ResultCode code = AppendBcdField(frame, data.MachineNumber, 8, result::kTextTooLong); code != 0) {
        return Fail(code);
    }
    if (ResultCode code = AppendBcdField(frame, data.ProductionDate, 4, result::kWrongDateLength); code != 0) {
        return Fail(code);
    }
    if (ResultCode code = AppendTextField(frame, data.HardwareVersion, 18, true); code != 0) return Fail(code);
    if (ResultCode code = AppendTextField(frame, data.SoftwareVersion, 18, true); code != 0) return Fail(code);
    return Finish(std::move(frame));
}

BuiltFrame BuildInvoiceCommand(std::uint8_t command, InvoiceLayout layout, const InvoiceRequest& request) {
    const std::size_t n = request.SalesNum;
    if (n < 1 || n > static_cast<std::size_t>(kMaxInvoiceItems)) return Fail(result::kBadItemCount);
    const bool is_return = layout == InvoiceLayout::Return;
    Bytes frame = StartRequest(command, 27 * n + (is_return ? 52 : 48));

    if (is_return) {
        Bytes number;
        if (int code = NumberToBytes(request.OInvNum, number); code != 0) return Fail(code);
        if (number.size() != 4) return Fail(result::kNumberAbove32Bits);
        // "9.5" read as 10 would return another invoice than the one meant.
        if (request.OInvNum.find('.') != std::string::npos) return Fail(result::kNotDigits);
        AppendBytes(frame, number);
    }
    if (request.FhNumber < 0 || request.FhNumber > 0xFFFF) return Fail(result::kDoubleOverflow);
    AppendU16(frame, static_cast<std::uint32_t>(request.FhNumber));
    if (ResultCode code = AppendTextField(frame, request.PayUnit, 40, true); code != 0) return Fail(code);
    frame.push_back(static_cast<std::uint8_t>(n));

    for (std::size_t k = 0; k < n; ++k) {
        if (ResultCode code = AppendTextField(frame, request.ItemName[k], 20, false); code != 0) return Fail(code);
        const std::int32_t quantity = request.ItemQuantity[k];
        if (quantity < 0 || quantity > 0xFFFF) return Fail(result::kDoubleOverflow);
        AppendU16(frame, static_cast<std::uint32_t>(quantity));
        frame.push_back(request.ItemTaxIndex[k]);
        if (ResultCode code = AppendAmount(frame, request.ItemSumFen[k]); code != 0) return Fail(code);
    }
    return Finish(std::move(frame));
}

BuiltFrame BuildByteListCommand(std::uint8_t command, std::string_view text, int char_class, int min_length) {
    text = TrimBlanks(text);
    if (int code = CheckCharClass(text, char_class); code != 0) return Fail(code);
    const bool hexadecimal = char_class != kByteListDecimal;
    const std::size_t max_digits = char_class == kByteListHexadecimal ? 2 : 3;
    const ResultCode bad_character = hexadecimal ? result::kNotHexDigitsOrBlanks : result::kNotDigitsOrBlanks;

    Bytes values;
    while (!text.empty()) {
        std::size_t end = 0;
        while (end < text.size() && !IsBlank(text[end])) ++end;
        const std::string_view value_text = text.substr(0, end);
        const bool followed = end < text.size();
        // Only a value followed by another is held to the digit count; the last is checked by its size.
        if (followed && value_text.size() > max_digits) return Fail(result::kValueAbove255);
        unsigned value = 0;
        for (char c : value_text) {
            const int digit = DigitValue(c, hexadecimal);
            if (digit < 0) return Fail(bad_character);
            value = value * (hexadecimal ? 16 : 10) + static_cast<unsigned>(digit);
            if (value > 255) return Fail(result::kValueAbove255);
        }
        values.push_back(static_cast<std::uint8_t>(value));
        text.remove_prefix(end);
        while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    }
    if (values.size() > kMaxByteListSize) values.resize(kMaxByteListSize);
    if (min_length >= 0 && static_cast<std::size_t>(min_length) <= kMaxByteListSize &&
        values.size() < static_cast<std::size_t>(min_length)) {
        values.resize(static_cast<std::size_t>(min_length), 0x00);
    }
    return BuildRequestFrame(command, values);
}

ResultCode SendBuiltFrame(const FrameSink& sink, const BuiltFrame& built) {
    if (!built.ok()) return built.code;
    if (!sink) return result::kNoOpenPort;
    return sink(built.frame);
}

ResultCode SendBareCommand(const FrameSink& sink, std::uint8_t command) {
    return SendBuiltFrame(sink, BuildBareCommand(command));
}

ResultCode SendByteCommand(const FrameSink& sink, std::uint8_t command, std::uint8_t value) {
    return SendBuiltFrame(sink, BuildByteCommand(command, value));
}

ResultCode SendTimeCommand(const FrameSink& sink, std::uint8_t command, std::string_view time_text) {
    return SendBuiltFrame(sink, BuildTimeCommand(command, time_text));
}

ResultCode SendBcdPairCommand(const FrameSink& sink, std::uint8_t command, std::string_view first,
                              std::string_view second) {
    return SendBuiltFrame(sink, BuildBcdPairCommand(command, first, second));
}

ResultCode SendNumberPairCommand(const FrameSink& sink, std::uint8_t command, std::string_view first,
                                 std::string_view second) {
    return SendBuiltFrame(sink, BuildNumberPairCommand(command, first, second));
}

ResultCode SendInstallCommand(const FrameSink& sink, std::uint8_t command, std::string_view invoice_code,
                              std::string_view first_number) {
    return SendBuiltFrame(sink, BuildInstallCommand(command, invoice_code, first_number));
}

ResultCode SendFactoryDataCommand(const FrameSink& sink, std::uint8_t command, const FactoryData& data) {
    return SendBuiltFrame(sink, BuildFactoryDataCommand(command, data));
}

ResultCode SendInvoiceCommand(const FrameSink& sink, std::uint8_t command, InvoiceLayout layout,
                              const InvoiceRequest& request) {
    return SendBuiltFrame(sink, BuildInvoiceCommand(command, layout, request));
}

ResultCode SendByteListCommand(const FrameSink& sink, std::uint8_t command, std::string_view text, int char_class,
                               int min_length) {
    return SendBuiltFrame(sink, BuildByteListCommand(command, text, char_class, min_length));
}

AnswerCheck CheckAnswerFrame(std::span<const std::uint8_t> frame) {
    AnswerCheck check;
    if (frame.size() < kAnswerHeaderSize + kCrcSize) return check;  // 129
    const std::size_t length = frame[3];
    // The length byte decides where the CRC sits; a frame that disagrees with it cannot be trusted at all.
    if (length < kAnswerHeaderSize || frame.size() != length + kCrcSize) return check;  // 129
    check.packets_to_follow = frame[2];

    const std::uint16_t crc = FrameCrc(frame.first(length));
    if (frame[length] != CrcHigh(crc) || frame[length + 1] != CrcLow(crc)) {
        check.code = result::kCrcError;
        return check;
    }

    const auto payload = frame.subspan(kAnswerHeaderSize, length - kAnswerHeaderSize);
    const char first = static_cast<char>(frame[0]);
    const char second = static_cast<char>(frame[1]);
    if (first == 'O' && second == 'K') {
        check.status = AnswerStatus::kOk;
        check.code = result::kSuccess;
        check.payload = payload;
    } else if (first == 'E' && second == 'R') {
        check.status = AnswerStatus::kError;
        if (payload.empty()) {
            check.code = result::kWrongAnswerLength;
        } else {
            // Only 1..64 are the processor's own codes. Any other byte (0 included, which would read as
            // success) must not land on one of the library's codes either: 128 would pass for a time-out and
            // 133 for a lost port, and a host reopens the port for that.
            check.refusal_code = payload[0];
            const bool known = payload[0] >= result::kProcessorFirst && payload[0] <= result::kProcessorLast;
            check.code = known ? static_cast<ResultCode>(payload[0]) : result::kUnknownProcessorCode;
        }
    } else if (first == 'N' && second == 'P') {
        check.status = AnswerStatus::kNextCommand;
        check.code = result::kAnswerNextCommand;
    } else if (first == 'W' && second == 'T') {
        check.status = AnswerStatus::kKeepWaiting;
        check.code = result::kAnswerKeepWaiting;
        check.reset_timeout = true;
    } else {
        check.code = result::kPacketHeaderError;
    }
    return check;
}

Bytes BuildAnswerFrame(std::string_view status, std::uint8_t packets_to_follow, std::span<const std::uint8_t> payload) {
    payload = payload.first(std::min<std::size_t>(payload.size(), 255 - kAnswerHeaderSize));
    Bytes frame;
    frame.reserve(kAnswerHeaderSize + payload.size() + kCrcSize);
    frame.push_back(status.size() > 0 ? static_cast<std::uint8_t>(status[0]) : 0);
    frame.push_back(status.size() > 1 ? static_cast<std::uint8_t>(status[1]) : 0);
    frame.push_back(packets_to_follow);
    frame.push_back(static_cast<std::uint8_t>(kAnswerHeaderSize + payload.size()));
    frame.insert(frame.end(), payload.begin(), payload.end());
    AppendFrameCrc(frame);
    return frame;
}

}  // namespace karvex
