// Conversions between the processor's bytes and the library's texts, the input checks, fixed-width text
// fields and the time stamp.
#include "conversions.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <utility>

#include "gbk_iconv.h"

namespace karvex {
namespace {

using namespace result;

constexpr char kHexDigits[] = "0123456789ABCDEF";

bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }

bool IsHexDigit(unsigned char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

int HexValue(unsigned char c) {
    if (IsDigit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
}

bool IsAscii(std::string_view text) {
    for (unsigned char c : text) {
        if (c >= 0x80) return false;
    }
    return true;
}

// The validity rules of GBK text coming from the processor: printable ASCII, NUL, and two-byte characters
// whose both bytes are 0xA0 or above. Sets `has_double` when a two-byte character was met.
int ScanGbk(ByteView bytes, bool& has_double) {
    has_double = false;
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        const std::uint8_t b = bytes[i];
        if (b == 0x00 || (b >= 0x20 && b <= 0x7F)) {
            ++i;
        } else if (b < 0x20) {
            return kControlCharacter;
        } else if (b < 0xA0) {
            return kInvalidCharacter;
        } else if (i + 1 == n) {
            return kEndsInHalfCharacter;
        } else if (bytes[i + 1] < 0xA0) {
            return kHalfChineseCharacter;
        } else {
            has_double = true;
            i += 2;
        }
    }
    return kSuccess;
}

// NormalizeText that also hands back the GBK bytes of its product, so FormatTextField need not encode the
// text a second time.
int Normalize(std::string_view text, std::string& out, Bytes& gbk) {
    gbk.clear();
    if (text.empty()) {
        out.clear();
        return kSuccess;
    }
    if (IsAscii(text)) {
        std::string_view cut = text.substr(0, text.find('\0'));
        if (cut.empty()) {
            out.clear();
            return kEmptyInput;
        }
        for (unsigned char c : cut) {
            if (c < 0x20) {
                out.clear();
                return kControlCharacter;
            }
        }
        out.assign(cut);
        gbk.assign(cut.begin(), cut.end());
        return kSuccess;
    }
    gbk_detail::EncodeAppend(text, gbk);
    for (std::size_t i = 0; i < gbk.size(); ++i) {
        if (gbk[i] == 0x00) {
            gbk.resize(i);
            break;
        }
    }
    if (gbk.empty()) {
        out.clear();
        return kEmptyInput;
    }
    std::string decoded;
    int code = BytesToGbkText(gbk, decoded);
    if (code != kSuccess) {
        out.clear();
        gbk.clear();
        return code;
    }
    out = std::move(decoded);
    return kSuccess;
}

// Reads the leading decimal digits of a text as a number, skipping leading blanks; saturates well above
// any value the date checks accept.
long LeadingNumber(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    long value = 0;
    for (; i < text.size() && IsDigit(static_cast<unsigned char>(text[i])); ++i) {
        if (value < 100000000) value = value * 10 + (text[i] - '0');
    }
    return value;
}

int ToDecimal(double value, std::string& out) {
    if (!std::isfinite(value)) return kDoubleOverflow;
    char buf[400];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 0);
    if (ec != std::errc()) return kDoubleOverflow;
    out.assign(buf, end);
    return kSuccess;
}

void ToDecimal(std::uint64_t value, std::string& out) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    out.assign(buf, res.ptr);
}

// Beyond 128 bytes the highest power of 256 alone leaves the double range.
constexpr std::size_t kMaxNumberBytes = 128;
// Up to six bytes the value is exact in a 64-bit integer and in a double alike.
constexpr std::size_t kExactNumberBytes = 6;

std::mutex g_clock_mutex;
ClockFunction g_clock;

}  // namespace

std::size_t Utf8CharacterLength(std::string_view text) {
    if (text.empty()) return 0;
    const auto lead = static_cast<unsigned char>(text[0]);
    const std::size_t length = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF8 ? 4 : 1;
    if (length > text.size()) return 1;
    for (std::size_t i = 1; i < length; ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) return 1;
    }
    return length;
}

std::vector<std::string_view> Utf8Characters(std::string_view text) {
    std::vector<std::string_view> out;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = Utf8CharacterLength(text.substr(i));
        out.push_back(text.substr(i, length));
        i += length;
    }
    return out;
}

std::size_t CharacterCount(std::string_view utf8) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < utf8.size(); i += Utf8CharacterLength(utf8.substr(i))) ++count;
    return count;
}

// ---------------------------------------------------------------------------------------------------------
// Dispatch

int CheckByteRange(ByteView bytes, int start, int count) {
    const long long last = static_cast<long long>(bytes.size()) - 1;
    if (start < 0 || start > last) return kRangeStartBeyondEnd;
    if (static_cast<long long>(start) + count - 1 > last) return kRangeEndBeyondEnd;
    return kSuccess;
}

int ExtractBytes(ByteView bytes, int start, int count, Bytes& out) {
    int code = CheckByteRange(bytes, start, count);
    if (code != kSuccess) return code;
    if (count <= 0) {
        out.clear();
        return kSuccess;
    }
    auto first = bytes.begin() + start;
    out.assign(first, first + count);
    return kSuccess;
}

int BytesToText(ByteView bytes, int start, int count, int kind, std::string& out) {
    ByteView part = bytes;
    if (count > 0) {
        int code = CheckByteRange(bytes, start, count);
        if (code != kSuccess) return code;
        part = bytes.subspan(static_cast<std::size_t>(start), static_cast<std::size_t>(count));
    }
    std::string text;
    int code = kSuccess;
    switch (static_cast<ConversionKind>(kind)) {
    case ConversionKind::kHex: code = BytesToHex(part, text); break;
    case ConversionKind::kGbkText: code = BytesToGbkText(part, text); break;
    case ConversionKind::kNumberBE: code = BytesToNumberBE(part, text); break;
    case ConversionKind::kNumberLE: code = BytesToNumberLE(part, text); break;
    case ConversionKind::kDigits: code = BytesToDigits(part, text); break;
    case ConversionKind::kSpacedHex: code = BytesToSpacedHex(part, text); break;
    default: break;  // not a bytes-to-text kind: empty text, success
    }
    if (code != kSuccess && kind != static_cast<int>(ConversionKind::kDigits)) text.clear();
    out = std::move(text);
    return code;
}

int BytesToText(ByteView bytes, int start, int count, ConversionKind kind, std::string& out) {
    return BytesToText(bytes, start, count, static_cast<int>(kind), out);
}

int TextToBytes(std::string_view text, int kind, Bytes& out) {
    Bytes bytes;
    int code = kSuccess;
    switch (static_cast<ConversionKind>(kind)) {
    case ConversionKind::kGbkBytes: code = GbkTextToBytes(text, bytes); break;
    case ConversionKind::kDigitsToBcd: code = DigitsToBcd(text, bytes); break;
    case ConversionKind::kNumberToBytes: code = NumberToBytes(text, bytes); break;
    case ConversionKind::kHexToBytes: code = HexToBytes(text, bytes); break;
    default: break;  // not a text-to-bytes kind: empty array, success
    }
    if (code != kSuccess) bytes.clear();
    out = std::move(bytes);
    return code;
}

int TextToBytes(std::string_view text, ConversionKind kind, Bytes& out) {
    return TextToBytes(text, static_cast<int>(kind), out);
}

// ---------------------------------------------------------------------------------------------------------
// Bytes to text

int BytesToHex(ByteView bytes, std::string& out) {
    std::string text(bytes.size() * 2, '0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        text[2 * i] = kHexDigits[bytes[i] >> 4];
        text[2 * i + 1] = kHexDigits[bytes[i] & 0x0F];
    }
    out = std::move(text);
    return kSuccess;
}

int BytesToSpacedHex(ByteView bytes, std::string& out) {
    std::string text;
    if (!bytes.empty()) text.assign(bytes.size() * 3 - 1, ' ');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        text[3 * i] = kHexDigits[bytes[i] >> 4];
        text[3 * i + 1] = kHexDigits[bytes[i] & 0x0F];
    }
    out = std::move(text);
    return kSuccess;
}

int BytesToDigits(ByteView bytes, std::string& out) {
    BytesToHex(bytes, out);
    return CheckCharClass(out, 1);
}

int BytesToGbkText(ByteView bytes, std::string& out) {
    bool has_double = false;
    int code = ScanGbk(bytes, has_double);
    if (code != kSuccess) return code;
    if (!has_double) {
        out.assign(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return kSuccess;
    }
    std::string text;
    text.reserve(bytes.size() + bytes.size() / 2);
    // The scan has paired every byte above 0x7F; a pair that code page 936 leaves undefined becomes "?".
    gbk_detail::DecodeAppend(bytes.data(), bytes.size(), true, text);
    out = std::move(text);
    return kSuccess;
}

int CheckGbkBytes(ByteView bytes) {
    bool has_double = false;
    return ScanGbk(bytes, has_double);
}

int BytesToNumberBE(ByteView bytes, std::string& out) {
    const std::size_t n = bytes.size();
    if (n > kMaxNumberBytes) return kDoubleOverflow;
    if (n <= kExactNumberBytes) {
        std::uint64_t value = 0;
        for (std::uint8_t b : bytes) value = (value << 8) | b;
        ToDecimal(value, out);
        return kSuccess;
    }
    double value = 0.0;
    for (std::uint8_t b : bytes) value = value * 256.0 + b;
    return ToDecimal(value, out);
}

int BytesToNumberLE(ByteView bytes, std::string& out) {
    const std::size_t n = bytes.size();
    if (n > kMaxNumberBytes) return kDoubleOverflow;
    if (n <= kExactNumberBytes) {
        std::uint64_t value = 0;
        for (std::size_t k = n; k-- > 0;) value = (value << 8) | bytes[k];
        ToDecimal(value, out);
        return kSuccess;
    }
    double value = 0.0;
    for (std::size_t k = n; k-- > 0;) value = value * 256.0 + bytes[k];
    return ToDecimal(value, out);
}

// ---------------------------------------------------------------------------------------------------------
// Text to bytes

int GbkTextToBytes(std::string_view text, Bytes& out) {
    if (text.empty()) return kEmptyTextToBytes;
    Bytes bytes;
    if (IsAscii(text)) {
        bytes.assign(text.begin(), text.end());
    } else {
        gbk_detail::EncodeAppend(text, bytes);
    }
    out = std::move(bytes);
    return kSuccess;
}

int DigitsToBcd(std::string_view text, Bytes& out) {
    int code = CheckCharClass(text, 1);
    if (code != kSuccess) return code;
    Bytes bytes;
    bytes.reserve((text.size() + 1) / 2);
    std::size_t i = 0;
    for (; i + 1 < text.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(((text[i] - '0') << 4) | (text[i + 1] - '0')));
    }
    if (i < text.size()) bytes.push_back(static_cast<std::uint8_t>(text[i] - '0'));
    out = std::move(bytes);
    return kSuccess;
}

int NumberToBytes(std::string_view text, Bytes& out) {
    int code = CheckCharClass(text, 2);
    if (code != kSuccess) return code;
    const std::size_t dot = text.find('.');
    std::string_view whole = text.substr(0, dot);
    std::string_view fraction = dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
    // "1.2.3" is no number: taking it as 1.2 would send an amount the operator never typed.
    if (fraction.find('.') != std::string_view::npos) return kNotDecimalNumber;
    if (whole.empty() && fraction.empty()) return kNotDecimalNumber;

    while (!whole.empty() && whole.front() == '0') whole.remove_prefix(1);
    if (whole.size() > 10) return kNumberAbove32Bits;
    std::uint64_t value = 0;
    for (char c : whole) value = value * 10 + static_cast<std::uint64_t>(c - '0');
    const int first_fraction = fraction.empty() ? 0 : fraction.front() - '0';
    bool rest_nonzero = false;
    for (std::size_t i = 1; i < fraction.size(); ++i) rest_nonzero |= fraction[i] != '0';
    const bool has_fraction = first_fraction != 0 || rest_nonzero;

    constexpr std::uint64_t kMax = 0xFFFFFFFFull;
    if (value > kMax || (value == kMax && has_fraction)) return kNumberAbove32Bits;
    // Round to the nearest integer, a tie going to the even neighbour.
    if (first_fraction > 5 || (first_fraction == 5 && (rest_nonzero || (value & 1) != 0))) ++value;

    out = {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
           static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
    return kSuccess;
}

int HexToBytes(std::string_view text, Bytes& out) {
    int code = CheckCharClass(text, 4);
    if (code != kSuccess) return code;
    Bytes bytes;
    bytes.reserve((text.size() + 1) / 2);
    std::size_t i = 0;
    for (; i + 1 < text.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>((HexValue(text[i]) << 4) | HexValue(text[i + 1])));
    }
    if (i < text.size()) bytes.push_back(static_cast<std::uint8_t>(HexValue(text[i])));
    out = std::move(bytes);
    return kSuccess;
}

std::uint8_t ByteToBcd(int value) {
    int v = value % 100;
    if (v < 0) v += 100;
    return static_cast<std::uint8_t>((v / 10) * 16 + v % 10);
}

int JoinBytes(ByteView a, ByteView b, Bytes& out) {
    Bytes joined;
    joined.reserve(a.size() + b.size());
    joined.insert(joined.end(), a.begin(), a.end());
    joined.insert(joined.end(), b.begin(), b.end());
    out = std::move(joined);
    return kSuccess;
}

// ---------------------------------------------------------------------------------------------------------
// Checks and fields

int CheckCharClass(std::string_view text, int char_class) {
    if (text.empty()) return kEmptyInput;
    for (unsigned char c : text) {
        switch (char_class) {
        case 1:
            if (!IsDigit(c)) return kNotDigits;
            break;
        case 2:
            if (!IsDigit(c) && c != '.') return kNotDecimalNumber;
            break;
        case 3:
            if (!IsDigit(c) && c != ' ') return kNotDigitsOrBlanks;
            break;
        case 4:
            if (!IsHexDigit(c)) return kNotHexDigits;
            break;
        case 5:
            if (!IsHexDigit(c) && c != ' ') return kNotHexDigitsOrBlanks;
            break;
        case 6:
            if (!IsDigit(c) && c != '.' && c != ' ') return kNotDecimalNumber;
            break;
        default: return kSuccess;
        }
    }
    return kSuccess;
}

int CheckDateParts(std::string_view year, std::string& month, std::string& day, std::string& out) {
    bool bad_year = CheckCharClass(year, 1) != kSuccess;
    bool bad_month = CheckCharClass(month, 1) != kSuccess;
    bool bad_day = CheckCharClass(day, 1) != kSuccess;
    const long y = LeadingNumber(year);
    const long m = LeadingNumber(month);
    const long d = LeadingNumber(day);
    if (y < 2000 || y > 2500) bad_year = true;
    if (m < 1 || m > 12) bad_month = true;
    if (d < 1 || d > 31) bad_day = true;
    if (d == 31 && (m == 4 || m == 6 || m == 9 || m == 11)) bad_day = true;
    const bool leap = y % 4 == 0 && !(y % 100 == 0 && y % 400 != 0);
    if (m == 2 && (d == 30 || d == 31 || (d == 29 && !leap))) bad_day = true;
    const int result = (bad_year ? kBadYear : 0) + (bad_month ? kBadMonth : 0) + (bad_day ? kBadDay : 0);
    if (result != 0) return result;
    if (month.size() == 1) month.insert(0, 1, '0');
    if (day.size() == 1) day.insert(0, 1, '0');
    std::string date;
    date.reserve(year.size() + month.size() + day.size());
    date.append(year).append(month).append(day);
    out = std::move(date);
    return kSuccess;
}

int PadInvoiceNumber(std::string_view text, std::string& out) {
    int code = CheckCharClass(text, 1);
    if (code != kSuccess) return code;
    return ZeroPadLeft(text, 10, out);
}

int ZeroPadLeft(std::string_view text, int width, std::string& out) {
    const long long length = static_cast<long long>(CharacterCount(text));
    if (length > width) return kTextTooLong;
    std::string padded(static_cast<std::size_t>(width - length), '0');
    padded.append(text);
    out = std::move(padded);
    return kSuccess;
}

int NormalizeText(std::string_view text, std::string& out) {
    Bytes gbk;
    return Normalize(text, out, gbk);
}

int FormatTextField(std::string_view text, int width, std::string_view pad, int side, int mode, std::string& out) {
    const std::size_t field = width > 0 ? static_cast<std::size_t>(width) : 0;
    std::string t;
    Bytes gbk;
    Normalize(text, t, gbk);  // a text that fails becomes empty: the field is all padding
    const std::size_t n = gbk.size();

    if (n < field) {
        // The pad must be one byte wide or the field would not come out at its width.
        const char pad_char =
            (!pad.empty() && static_cast<unsigned char>(pad[0]) >= 0x20 && static_cast<unsigned char>(pad[0]) < 0x80)
                ? pad[0]
                : ' ';
        std::string padding(field - n, pad_char);
        out = side == kPadFront ? padding + t : t + padding;
        return kSuccess;
    }
    if (n == field) {
        out = std::move(t);
        return kSuccess;
    }
    if (mode != kCutToWidth) {
        out = std::move(t);
        return kTextTooLong;
    }
    std::string cut;
    int code = BytesToGbkText(ByteView(gbk.data(), field), cut);
    if (code == kEndsInHalfCharacter) {
        // The cut fell inside a two-byte character: drop its lead byte and keep the width with a blank.
        code = BytesToGbkText(ByteView(gbk.data(), field - 1), cut);
        cut.push_back(' ');
    }
    if (code != kSuccess) cut.assign(field, ' ');  // cannot happen for a normalised text; keep the width anyway
    out = std::move(cut);
    return kSuccess;
}

std::string TwoDigits(int n) {
    std::string text = std::to_string(n);
    if (n < 10) text.insert(0, 1, '0');
    return text;
}

// ---------------------------------------------------------------------------------------------------------
// Clock and time stamp

LocalTime SystemLocalTime() { return LocalTimeAt(std::chrono::system_clock::now()); }

LocalTime LocalTimeAt(std::chrono::system_clock::time_point when) {
    std::time_t now = std::chrono::system_clock::to_time_t(when);
    std::tm tm{};
    localtime_r(&now, &tm);
    LocalTime t;
    t.year = tm.tm_year + 1900;
    t.month = tm.tm_mon + 1;
    t.day = tm.tm_mday;
    t.hour = tm.tm_hour;
    t.minute = tm.tm_min;
    t.second = tm.tm_sec;
    return t;
}

void SetClock(ClockFunction clock) {
    std::lock_guard<std::mutex> lock(g_clock_mutex);
    g_clock = std::move(clock);
}

LocalTime ReadClock() {
    ClockFunction clock;
    {
        std::lock_guard<std::mutex> lock(g_clock_mutex);
        clock = g_clock;
    }
    return clock ? clock() : SystemLocalTime();
}

std::string FormatStamp(const LocalTime& t) {
    static constexpr std::string_view kColon = "\xEF\xBC\x9A";  // "：" U+FF1A
    std::string stamp = std::to_string(t.year);
    stamp += TwoDigits(t.month);
    stamp += TwoDigits(t.day);
    stamp += ' ';
    stamp += TwoDigits(t.hour);
    stamp += kColon;
    stamp += TwoDigits(t.minute);
    stamp += kColon;
    stamp += TwoDigits(t.second);
    return stamp;
}

std::string NowStamp() { return FormatStamp(ReadClock()); }

}  // namespace karvex
