#pragma once
// Value conversions between the processor's bytes and the library's texts.
//
// Texts are UTF-8 std::string throughout the library. The processor, the log file and the field widths of
// the frames work in GBK (code page 936): every "byte length" below is the length of a text's GBK encoding
// (a Chinese character counts 2, an ASCII character 1).
//
// Every routine returns a result code (0 = success; the numbers belong to the library's result-code
// table, see convert/result_values.h) and hands its product back through an output argument. Unless a routine
// says otherwise, a failing routine leaves its output argument untouched.
#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bytes.h"
#include "result_values.h"

namespace karvex {

// One numbering for both directions, dispatched by BytesToText (1-5, 10) and TextToBytes (6-9).
enum class ConversionKind : int {
    kHex = 1,            // BytesToHex: two upper-case hex digits per byte, no separator
    kGbkText = 2,        // BytesToGbkText: GBK bytes decoded, with validity checks
    kNumberBE = 3,       // BytesToNumberBE: unsigned, first byte most significant, decimal text
    kNumberLE = 4,       // BytesToNumberLE: unsigned, first byte least significant, decimal text
    kDigits = 5,         // BytesToDigits: BCD bytes as decimal digits
    kGbkBytes = 6,       // GbkTextToBytes: the text's GBK bytes
    kDigitsToBcd = 7,    // DigitsToBcd: digit pairs packed as BCD bytes
    kNumberToBytes = 8,  // NumberToBytes: decimal number as 4 bytes, most significant first
    kHexToBytes = 9,     // HexToBytes: hex digit pairs as bytes
    kSpacedHex = 10,     // BytesToSpacedHex: kind 1 with one blank between bytes
};

using ByteView = std::span<const std::uint8_t>;

// ---------------------------------------------------------------------------------------------------------
// Dispatch

// Converts bytes[start .. start+count-1] (the whole array when count is 0 or negative) with `kind`
// (1-5, 10). Range errors give 96/97 and leave `out` untouched; a failing kind conversion writes an empty
// text (kind 5 excepted: it still delivers the hex digits with 105). A kind outside 1-5, 10 gives "" and 0.
// Example: BytesToText({0x1B,0x10,0x3A}, 1, 2, 1, out) -> 0, out = "103A".
int BytesToText(ByteView bytes, int start, int count, int kind, std::string& out);
int BytesToText(ByteView bytes, int start, int count, ConversionKind kind, std::string& out);

// Converts a text with `kind` (6-9). A failing conversion writes an empty array; a kind outside 6-9 gives
// an empty array and 0. Example: TextToBytes("12345", 8, out) -> 0, out = {0x00,0x00,0x30,0x39}.
int TextToBytes(std::string_view text, int kind, Bytes& out);
int TextToBytes(std::string_view text, ConversionKind kind, Bytes& out);

// 96 when start is beyond the last index (or negative), 97 when start + count - 1 is; else 0.
int CheckByteRange(ByteView bytes, int start, int count);

// Copies `count` bytes from `start` into `out` after CheckByteRange (96, 97).
int ExtractBytes(ByteView bytes, int start, int count, Bytes& out);

// ---------------------------------------------------------------------------------------------------------
// Bytes to text

// Kind 1: {0x05,0xAF} -> "05AF". Always 0.
int BytesToHex(ByteView bytes, std::string& out);

// Kind 10: {0x1B,0x10,0x3A} -> "1B 10 3A". Always 0.
int BytesToSpacedHex(ByteView bytes, std::string& out);

// Kind 5: BCD digits, {0x20,0x04} -> "2004". 105 for a nibble A-F, 144 for an empty array; the hex digits
// are written to `out` in every case.
int BytesToDigits(ByteView bytes, std::string& out);

// Kind 2: 0x00 -> U+0000 (scan goes on); 0x01-0x1F -> 98; 0x20-0x7F as ASCII; 0x80-0x9F -> 99;
// a lead byte 0xA0-0xFF that is last -> 101, followed by a byte below 0xA0 -> 100; otherwise the pair is
// decoded as one GBK character ("?" when the pair is no GBK character). {0xD6,0xD0} -> "中".
int BytesToGbkText(ByteView bytes, std::string& out);

// The checks of kind 2 without the decoding: 0 when BytesToGbkText would take the bytes, else its code
// (98 control byte, 99 byte 0x80-0x9F, 100 half a Chinese character, 101 ends in half of one). Text the
// processor keeps and hands back later (payer, goods names) is held to these rules before it is sent, so
// that whatever is issued can be read back. {0xE9,0x46} -> 100; {0x80} -> 99.
int CheckGbkBytes(ByteView bytes);

// Kinds 3 and 4: unsigned number as decimal text ({0x00,0x00,0x30,0x39} BE -> "12345"; empty -> "0").
// Computed in double precision like the wire fields expect; 102 beyond the double range (over 128 bytes).
int BytesToNumberBE(ByteView bytes, std::string& out);
int BytesToNumberLE(ByteView bytes, std::string& out);

// ---------------------------------------------------------------------------------------------------------
// Text to bytes

// Kind 6: the text's GBK bytes ("A中" -> {0x41,0xD6,0xD0}); 104 for an empty text. A character that has
// no GBK form (or a broken UTF-8 sequence) becomes "?" (0x3F), as the system code page does.
int GbkTextToBytes(std::string_view text, Bytes& out);

// Kind 7: "20050315" -> {0x20,0x05,0x03,0x15}; an odd last digit goes in the low nibble ("123" ->
// {0x12,0x03}). 144 empty, 105 not all digits.
int DigitsToBcd(std::string_view text, Bytes& out);

// Kind 8: decimal number (digits, optional "." and fraction) rounded half-to-even into 4 bytes, most
// significant first ("12345" -> {0,0,0x30,0x39}, "2.5" -> {0,0,0,2}). 144 empty; 107 for a character
// other than 0-9 ".", a second ".", or no digit at all; 110 above 4294967295.
int NumberToBytes(std::string_view text, Bytes& out);

// Kind 9: "1b10" -> {0x1B,0x10}; an odd last digit is a byte of its own ("ABC" -> {0xAB,0x0C}).
// 144 empty, 106 not all hex digits.
int HexToBytes(std::string_view text, Bytes& out);

// v (0-99) -> (v / 10) * 16 + v % 10. Values outside 0-99 are taken modulo 100.
std::uint8_t ByteToBcd(int value);

// out = a followed by b. Always 0. (`out` may alias neither a nor b.)
int JoinBytes(ByteView a, ByteView b, Bytes& out);

// ---------------------------------------------------------------------------------------------------------
// Checks and fields

// Empty text -> 144; otherwise the first character outside the class gives the class's code (Chinese and
// other non-ASCII characters belong to no class). Classes: 1 "0-9" (105), 2 "0-9 ." (107),
// 3 "0-9 blank" (108), 4 "0-9 a-f A-F" (106), 5 "0-9 a-f A-F blank" (109), 6 "0-9 . blank" (107).
// A class outside 1-6 accepts every non-empty text.
int CheckCharClass(std::string_view text, int char_class);

// Checks a date given as three texts. Result = sum of 256 (year not digits or not 2000-2500),
// 512 (month not digits or not 1-12), 1024 (day not digits, not 1-31, or not in that month).
// On success a one-character month or day text gets a "0" in front (in place) and out = "YYYYMMDD";
// on failure nothing is changed. Example: ("2004", "2", "3") -> 0, "02", "03", out = "20040203".
int CheckDateParts(std::string_view year, std::string& month, std::string& day, std::string& out);

// Invoice number text to 10 digits: "123" -> "0000000123". 144 empty, 105 not digits, 103 over 10 digits.
int PadInvoiceNumber(std::string_view text, std::string& out);

// "0" in front up to `width` characters; 103 (out untouched) when the text is longer than `width`.
int ZeroPadLeft(std::string_view text, int width, std::string& out);

// Makes a text safe for a GBK field: cut at the first NUL, then checked as BytesToGbkText checks.
// "" -> "" with 0; a text with nothing before its first NUL -> "" with 144; a text the GBK check rejects
// -> "" with that check's code (98-101). Always writes `out`.
int NormalizeText(std::string_view text, std::string& out);

// Side values of FormatTextField: kPadFront puts the padding in front; any other side puts it behind.
constexpr int kPadBehind = 1;
constexpr int kPadFront = 2;
// Mode values of FormatTextField: kCutToWidth cuts a long text; any other mode reports 103.
constexpr int kKeepLong = 0;
constexpr int kCutToWidth = 3;

// Builds a field of `width` GBK bytes from the NormalizeText form of `text` (a text failing normalisation
// becomes all padding). Shorter: `pad` (its first character; a blank if empty or not one byte) repeated in
// front (side 2) or behind (other sides). Longer: mode 3 cuts at `width` bytes, never inside a Chinese
// character (then the last byte is a blank), result 0; other modes give 103 with the whole text.
// Always writes `out`. Example: ("AB中文", 5, " ", 1, 3) -> "AB中 ".
int FormatTextField(std::string_view text, int width, std::string_view pad, int side, int mode, std::string& out);
inline int FormatTextField(std::string_view text, int width, char pad, int side, int mode, std::string& out) {
    return FormatTextField(text, width, std::string_view(&pad, 1), side, mode, out);
}

// Decimal text of n with "0" in front when n is below 10 (7 -> "07", 12 -> "12").
std::string TwoDigits(int n);

// ---------------------------------------------------------------------------------------------------------
// Clock and time stamp

struct LocalTime {
    int year = 2000;
    int month = 1;  // 1-12
    int day = 1;    // 1-31
    int hour = 0;   // 0-23
    int minute = 0;
    int second = 0;
};

using ClockFunction = std::function<LocalTime()>;

// Reads the clock (local time by default, or the function set by SetClock).
LocalTime ReadClock();
// Replaces the clock, e.g. in tests; an empty function restores the local clock.
void SetClock(ClockFunction clock);
// The local system clock, whatever SetClock installed.
LocalTime SystemLocalTime();
// A point in time as the local clock reads it.
LocalTime LocalTimeAt(std::chrono::system_clock::time_point when);

// "20050315 09：05：07": year, month, day, a blank, hour "：" minute "：" second (U+FF1A full-width colon).
std::string NowStamp();
std::string FormatStamp(const LocalTime& t);

// ---------------------------------------------------------------------------------------------------------
// Plain GBK helpers (log file, frame texts)

// UTF-8 to GBK bytes. Characters with no GBK form and broken UTF-8 become "?"; the result is then 99.
// `out` is always written. 0 when every character converted.
int Utf8ToGbk(std::string_view utf8, Bytes& out);
int Utf8ToGbk(std::string_view utf8, std::string& out);

// GBK bytes to UTF-8, accepting every GBK character (lead bytes 0x81-0xFE) and control bytes.
// A byte sequence that is no GBK character becomes "?" with result 99; a text ending in half a
// character gets "?" for it with result 101. `out` is always written.
int GbkToUtf8(ByteView gbk, std::string& out);
int GbkToUtf8(std::string_view gbk, std::string& out);

// Length of the text's GBK encoding (what the field widths count); "?" counts for unconvertible characters.
std::size_t GbkByteLength(std::string_view utf8);

// The one walk over UTF-8 text. The bytes of the character that starts `text`: 2 to 4 for a whole sequence,
// 1 for ASCII and for a byte that starts no whole sequence (a stray continuation byte, a lead byte above 0xF7
// or one whose sequence is cut short), so a broken text counts a character per bad byte and a position never
// runs past the end. 0 for an empty text.
std::size_t Utf8CharacterLength(std::string_view text);
// The characters of a text, as Utf8CharacterLength cuts them, each a view into `text`.
std::vector<std::string_view> Utf8Characters(std::string_view text);
// How many characters Utf8Characters finds (what an operator counts, not bytes).
std::size_t CharacterCount(std::string_view utf8);

}  // namespace karvex
