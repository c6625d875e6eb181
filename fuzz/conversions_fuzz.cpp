// The value conversions: BCD, numbers, GBK both ways, hexadecimal, dates, fields and byte lists.
//
// Input: byte 0 picks the conversion, the rest is its data. Besides "no crash", each conversion's round trip
// and widths are asserted: bytes -> hex -> bytes, BCD -> digits -> BCD, 4 bytes -> decimal -> 4 bytes,
// UTF-8 -> GBK -> UTF-8, fields of exactly their width, byte lists that carry exactly the values typed.
#include <algorithm>
#include <cstdint>
#include <string>

#include "convert/conversions.h"
#include "fuzz_support.h"
#include "link/frame_codec.h"

using namespace karvex;
using fuzz::Hex;

namespace {

std::string AsText(std::span<const std::uint8_t> b) { return {reinterpret_cast<const char*>(b.data()), b.size()}; }

void CheckFrame(const BuiltFrame& built) {
    if (!built.ok()) {
        FUZZ_CHECK(built.frame.empty());
        return;
    }
    const Bytes& f = built.frame;
    FUZZ_CHECK(f.size() >= 7 && f.size() <= kMaxRequestFrameSize && f[0] == kRequestLead0 && f[1] == kRequestLead1);
    const std::size_t length = static_cast<std::size_t>(f[3]) << 8 | f[4];
    FUZZ_CHECK(length + 2 == f.size(), "L %zu, frame %zu", length, f.size());
    const auto crc = FrameCrc(std::span<const std::uint8_t>(f).first(length));
    FUZZ_CHECK(f[length] == CrcHigh(crc) && f[length + 1] == CrcLow(crc));
}

void Hexadecimal(fuzz::Input& in) {
    const int start = in.Byte(), count = static_cast<std::int8_t>(in.Byte());
    const auto b = in.Rest();
    std::string hex, spaced;
    FUZZ_CHECK(BytesToHex(b, hex) == 0 && hex.size() == 2 * b.size());
    FUZZ_CHECK(std::all_of(hex.begin(), hex.end(), [](char c) { return std::isdigit(c) || (c >= 'A' && c <= 'F'); }));
    FUZZ_CHECK(BytesToSpacedHex(b, spaced) == 0 && spaced.size() == (b.empty() ? 0 : 3 * b.size() - 1));
    Bytes back;
    if (!b.empty()) {
        FUZZ_CHECK(HexToBytes(hex, back) == 0 && std::equal(back.begin(), back.end(), b.begin(), b.end()));
        std::string lower = hex;
        std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) { return std::tolower(c); });
        FUZZ_CHECK(HexToBytes(lower, back) == 0 && std::equal(back.begin(), back.end(), b.begin(), b.end()));
    }
    // A range of the dispatcher is the same conversion of the slice, and out of range changes nothing.
    std::string out = "untouched";
    // A count of 0 or less means the whole array, whatever the start.
    const int range = count > 0 ? CheckByteRange(b, start, count) : 0;
    const int code = BytesToText(b, start, count, ConversionKind::kHex, out);
    if (range != 0) {
        FUZZ_CHECK(code == range && out == "untouched");
    } else {
        std::string slice;
        BytesToHex(count > 0 ? b.subspan(start, count) : b, slice);
        FUZZ_CHECK(code == 0 && out == slice, "start %d count %d", start, count);
    }
    // Any text through HexToBytes: either refused with nothing, or one byte per digit pair.
    const std::string text = AsText(b);
    back = {1};
    const int c2 = HexToBytes(text, back);
    if (c2 == 0)
        FUZZ_CHECK(back.size() == (text.size() + 1) / 2);
    else
        FUZZ_CHECK(back == Bytes{1} && (c2 == result::kNotHexDigits || c2 == result::kEmptyInput));
}

void Bcd(fuzz::Input& in) {
    const auto b = in.Rest();
    std::string digits;
    const int code = BytesToDigits(b, digits);
    FUZZ_CHECK(digits.size() == 2 * b.size());
    const bool valid =
        !b.empty() && std::all_of(b.begin(), b.end(), [](std::uint8_t x) { return (x >> 4) < 10 && (x & 15) < 10; });
    FUZZ_CHECK((code == 0) == valid, "code %d for %s", code, Hex(b).c_str());
    if (valid) {
        Bytes back;
        FUZZ_CHECK(DigitsToBcd(digits, back) == 0 && std::equal(back.begin(), back.end(), b.begin(), b.end()));
    }
    // Digits to BCD and back: an odd last digit comes back after a "0".
    std::string text;
    for (auto x : b) text += static_cast<char>('0' + x % 10);
    Bytes packed;
    const int c2 = DigitsToBcd(text, packed);
    if (text.empty()) {
        FUZZ_CHECK(c2 == result::kEmptyInput);
        return;
    }
    FUZZ_CHECK(c2 == 0 && packed.size() == (text.size() + 1) / 2);
    std::string round;
    FUZZ_CHECK(BytesToDigits(packed, round) == 0);
    std::string expected = text;
    if (text.size() % 2) expected.insert(text.size() - 1, 1, '0');
    FUZZ_CHECK(round == expected, "%s -> %s", text.c_str(), round.c_str());
}

void Numbers(fuzz::Input& in) {
    const auto b = in.Rest();
    std::string be, le;
    const int cb = BytesToNumberBE(b, be);
    Bytes reversed(b.rbegin(), b.rend());
    const int cl = BytesToNumberLE(reversed, le);
    FUZZ_CHECK(cb == cl && be == le, "BE %s, LE %s", be.c_str(), le.c_str());
    if (b.size() > 128) {
        FUZZ_CHECK(cb == result::kDoubleOverflow);
        return;
    }
    // 128 bytes near the top are already beyond the double range.
    if (cb == result::kDoubleOverflow && b.size() == 128) return;
    FUZZ_CHECK(cb == 0 && !be.empty() && std::all_of(be.begin(), be.end(), [](char c) { return std::isdigit(c); }));
    if (b.size() <= 4) {
        // Up to 32 bits the text is the exact value and converts back to the same four bytes.
        std::uint64_t value = 0;
        for (auto x : b) value = value << 8 | x;
        FUZZ_CHECK(be == std::to_string(value), "%s for %llu", be.c_str(), static_cast<unsigned long long>(value));
        Bytes four;
        FUZZ_CHECK(NumberToBytes(be, four) == 0 && four.size() == 4);
        std::uint64_t again = 0;
        for (auto x : four) again = again << 8 | x;
        FUZZ_CHECK(again == value);
    }
    // Any text through NumberToBytes: four bytes or a refusal with nothing.
    const std::string text = AsText(b);
    Bytes out{1};
    const int c = NumberToBytes(text, out);
    FUZZ_CHECK(c == 0 ? out.size() == 4 : out == Bytes{1}, "code %d size %zu", c, out.size());
}

void GbkFromText(fuzz::Input& in) {
    const std::string text = in.RestText();
    Bytes gbk;
    const int code = Utf8ToGbk(text, gbk);
    FUZZ_CHECK(GbkByteLength(text) == gbk.size(), "length %zu, bytes %zu", GbkByteLength(text), gbk.size());
    if (!text.empty()) {
        Bytes kind6;
        FUZZ_CHECK(GbkTextToBytes(text, kind6) == 0 && kind6 == gbk);
    }
    if (code == 0) {
        std::string back;
        FUZZ_CHECK(GbkToUtf8(gbk, back) == 0 && back == text, "%s", Hex(gbk).c_str());
    }
    std::string normal;
    NormalizeText(text, normal);
    FUZZ_CHECK(fuzz::IsUtf8(normal));
}

void GbkFromBytes(fuzz::Input& in) {
    const auto b = in.Rest();
    std::string text = "untouched";
    const int code = BytesToGbkText(b, text);
    if (code != 0) {
        FUZZ_CHECK(code >= result::kControlCharacter && code <= result::kEndsInHalfCharacter);
    } else {
        FUZZ_CHECK(fuzz::IsUtf8(text));
        // Undefined pairs come back as "?": where there is none, the text encodes back to the same bytes.
        const auto marks = [](auto begin, auto end) { return std::count(begin, end, '?'); };
        if (marks(text.begin(), text.end()) == marks(b.begin(), b.end())) {
            Bytes back;
            Utf8ToGbk(text, back);
            FUZZ_CHECK(std::equal(back.begin(), back.end(), b.begin(), b.end()), "%s -> %s", Hex(b).c_str(),
                       Hex(back).c_str());
        }
    }
    std::string lenient;
    GbkToUtf8(b, lenient);
    FUZZ_CHECK(fuzz::IsUtf8(lenient));
}

void Fields(fuzz::Input& in) {
    const int width = in.Byte() % 64;
    const std::string pad(1, static_cast<char>(in.Byte()));
    const int side = in.Byte() % 3;
    const std::string text = in.RestText();
    std::string out;
    FUZZ_CHECK(FormatTextField(text, width, pad, side, kCutToWidth, out) == 0);
    FUZZ_CHECK(GbkByteLength(out) == static_cast<std::size_t>(width) && fuzz::IsUtf8(out), "width %d, got %zu", width,
               GbkByteLength(out));
    const int kept = FormatTextField(text, width, pad, side, kKeepLong, out);
    FUZZ_CHECK(kept == 0 ? GbkByteLength(out) == static_cast<std::size_t>(width)
                         : kept == result::kTextTooLong && GbkByteLength(out) > static_cast<std::size_t>(width));
    std::string padded = "untouched";
    const int z = ZeroPadLeft(text, width, padded);
    if (z == 0)
        FUZZ_CHECK(padded.size() >= static_cast<std::size_t>(width) && padded.ends_with(text));
    else
        FUZZ_CHECK(padded == "untouched");
    std::string number = "untouched";
    if (PadInvoiceNumber(text, number) == 0) {
        FUZZ_CHECK(number.size() == 10 &&
                   std::all_of(number.begin(), number.end(), [](char c) { return std::isdigit(c); }));
    } else {
        FUZZ_CHECK(number == "untouched");
    }
}

bool ValidDate(long y, long m, long d) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (y < 2000 || y > 2500 || m < 1 || m > 12 || d < 1) return false;
    const bool leap = y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
    return d <= days[m - 1] + (m == 2 && leap ? 1 : 0);
}

void Dates(fuzz::Input& in) {
    const std::string year = in.Text();
    std::string month = in.Text(), day = in.Text();
    const std::string month0 = month, day0 = day;
    std::string out = "untouched";
    const int code = CheckDateParts(year, month, day, out);
    if (code != 0) {
        FUZZ_CHECK(month == month0 && day == day0 && out == "untouched");
        FUZZ_CHECK(code % 256 == 0 && code >= 256 && code <= 1792, "code %d", code);
        return;
    }
    const auto digits = [](const std::string& s) {
        return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return std::isdigit(c); });
    };
    FUZZ_CHECK(digits(year) && digits(month) && digits(day) && month.size() >= 2 && day.size() >= 2);
    FUZZ_CHECK(ValidDate(std::stol(year.substr(std::max<std::size_t>(year.size(), 6) - 6)),
                         std::stol(month.substr(std::max<std::size_t>(month.size(), 6) - 6)),
                         std::stol(day.substr(std::max<std::size_t>(day.size(), 6) - 6))));
    FUZZ_CHECK(out == year + month + day);
    LocalTime t{in.Byte() + 1990, in.Byte() % 14, in.Byte() % 33, in.Byte() % 25, in.Byte() % 61, in.Byte() % 61};
    FUZZ_CHECK(fuzz::IsUtf8(FormatStamp(t)));
}

void ByteLists(fuzz::Input& in) {
    const std::uint8_t command = in.Byte();
    const int min_length = in.Byte();
    const bool hex = in.Byte() & 1;
    const auto b = in.Take(kMaxByteListSize);
    // The values written out as an operator types them must come back exactly, padded to the minimum.
    std::string typed;
    for (auto x : b) {
        if (!typed.empty()) typed += ' ';
        char cell[4];
        std::snprintf(cell, sizeof cell, hex ? "%x" : "%u", x);
        typed += cell;
    }
    const BuiltFrame built =
        BuildByteListCommand(command, typed, hex ? kByteListHexadecimal : kByteListDecimal, min_length);
    CheckFrame(built);
    if (b.empty()) {
        FUZZ_CHECK(!built.ok());
    } else {
        FUZZ_CHECK(built.ok(), "code %d for \"%s\"", built.code, typed.c_str());
        const std::size_t expected = std::max(b.size(), min_length <= 248 ? static_cast<std::size_t>(min_length) : 0);
        FUZZ_CHECK(built.frame.size() == expected + 7 && built.frame[2] == command);
        FUZZ_CHECK(std::equal(b.begin(), b.end(), built.frame.begin() + 5));
        FUZZ_CHECK(
            std::all_of(built.frame.begin() + 5 + b.size(), built.frame.end() - 2, [](auto x) { return x == 0; }));
    }
    // Whatever else the operator types.
    const std::string text = in.RestText();
    CheckFrame(BuildByteListCommand(command, text, kByteListDecimal, min_length));
    CheckFrame(BuildByteListCommand(command, text, kByteListHexadecimal, min_length));
}

void Builders(fuzz::Input& in) {
    const std::uint8_t command = in.Byte();
    const std::string a = in.Text(), b = in.Text();
    CheckFrame(BuildTimeCommand(command, a));
    CheckFrame(BuildBcdPairCommand(command, a, b));
    CheckFrame(BuildNumberPairCommand(command, a, b));
    CheckFrame(BuildInstallCommand(command, a, b));
    FactoryData factory{a, b, in.Text(), in.Text()};
    CheckFrame(BuildFactoryDataCommand(command, factory));
    CheckFrame(BuildRequestFrame(command, in.Rest()));
}

void Dispatch(fuzz::Input& in) {
    const int start = static_cast<std::int8_t>(in.Byte()), count = static_cast<std::int8_t>(in.Byte());
    const int kind = in.Byte() % 12;
    const auto b = in.Rest();
    std::string out = "untouched";
    const int code = BytesToText(b, start, count, kind, out);
    if (count > 0 && CheckByteRange(b, start, count) != 0)
        FUZZ_CHECK(out == "untouched" && code != 0);
    else
        FUZZ_CHECK(fuzz::IsUtf8(out));
    Bytes bytes{1};
    const int c2 = TextToBytes(AsText(b), kind, bytes);
    if (c2 != 0) FUZZ_CHECK(bytes.empty());
    std::string checked(AsText(b));
    CheckCharClass(checked, kind);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    switch (in.Byte() % 10) {
    case 0: Hexadecimal(in); break;
    case 1: Bcd(in); break;
    case 2: Numbers(in); break;
    case 3: GbkFromText(in); break;
    case 4: GbkFromBytes(in); break;
    case 5: Fields(in); break;
    case 6: Dates(in); break;
    case 7: ByteLists(in); break;
    case 8: Builders(in); break;
    default: Dispatch(in); break;
    }
    return 0;
}
