#include "conversions.h"

namespace karvex {

int BytesToText(ByteView, int, int, int, std::string& out) { out.clear(); return 0; }
int BytesToText(ByteView b, int s, int c, ConversionKind k, std::string& out) {
    return BytesToText(b, s, c, static_cast<int>(k), out);
}
int TextToBytes(std::string_view, int, Bytes& out) { out.clear(); return 0; }
int TextToBytes(std::string_view t, ConversionKind k, Bytes& out) { return TextToBytes(t, static_cast<int>(k), out); }
int CheckByteRange(ByteView, int, int) { return 0; }
int ExtractBytes(ByteView, int, int, Bytes&) { return 0; }
int BytesToHex(ByteView, std::string&) { return 0; }
int BytesToSpacedHex(ByteView, std::string&) { return 0; }
int BytesToDigits(ByteView, std::string&) { return 0; }
int BytesToGbkText(ByteView, std::string&) { return 0; }
int BytesToNumberBE(ByteView, std::string&) { return 0; }
int BytesToNumberLE(ByteView, std::string&) { return 0; }
int GbkTextToBytes(std::string_view, Bytes&) { return 0; }
int DigitsToBcd(std::string_view, Bytes&) { return 0; }
int NumberToBytes(std::string_view, Bytes&) { return 0; }
int HexToBytes(std::string_view, Bytes&) { return 0; }
std::uint8_t ByteToBcd(int) { return 0; }
int JoinBytes(ByteView, ByteView, Bytes&) { return 0; }
int CheckCharClass(std::string_view, int) { return 0; }
int CheckDateParts(std::string_view, std::string&, std::string&, std::string&) { return 0; }
int PadInvoiceNumber(std::string_view, std::string&) { return 0; }
int ZeroPadLeft(std::string_view, int, std::string&) { return 0; }
int NormalizeText(std::string_view, std::string& out) { out.clear(); return 0; }
int FormatTextField(std::string_view, int, std::string_view, int, int, std::string& out) { out.clear(); return 0; }
std::string TwoDigits(int) { return {}; }
LocalTime ReadClock() { return {}; }
void SetClock(ClockFunction) {}
LocalTime SystemLocalTime() { return {}; }
std::string NowStamp() { return {}; }
std::string FormatStamp(const LocalTime&) { return {}; }

}  // namespace karvex
