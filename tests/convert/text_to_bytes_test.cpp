// Text to bytes: GBK, BCD digits, 4-byte numbers and hexadecimal, with the dispatch's output rules.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "conversions.h"

namespace karvex {
namespace {

struct TextCase {
    const char* name;
    std::string text;
    int kind;
    int code;
    Bytes bytes;
};

class TextToBytesKinds : public ::testing::TestWithParam<TextCase> {};

TEST_P(TextToBytesKinds, Converts) {
    const TextCase& c = GetParam();
    Bytes out = BytesOf({0xEE});
    EXPECT_EQ(TextToBytes(c.text, c.kind, out), c.code);
    EXPECT_EQ(out, c.bytes);  // a failure leaves an empty array
}

INSTANTIATE_TEST_SUITE_P(
    Literal, TextToBytesKinds,
    ::testing::Values(TextCase{"GbkMixed", "A中", 6, 0, BytesOf({0x41, 0xD6, 0xD0})},
                      TextCase{"GbkEmpty", "", 6, 104, {}},
                      TextCase{"GbkNoGbkFormBecomesQuestionMark", "A\xF0\x9F\x98\x80", 6, 0, BytesOf({0x41, 0x3F})},
                      TextCase{"GbkBrokenUtf8", "A\xE4\xB8", 6, 0, BytesOf({0x41, 0x3F})},
                      TextCase{"BcdDate", "20050315", 7, 0, BytesOf({0x20, 0x05, 0x03, 0x15})},
                      TextCase{"BcdOddDigitCount", "123", 7, 0, BytesOf({0x12, 0x03})},
                      TextCase{"BcdOneDigit", "7", 7, 0, BytesOf({0x07})}, TextCase{"BcdNotDigit", "12a4", 7, 105, {}},
                      TextCase{"BcdEmpty", "", 7, 144, {}},
                      TextCase{"Number", "12345", 8, 0, BytesOf({0x00, 0x00, 0x30, 0x39})},
                      TextCase{"NumberZero", "0", 8, 0, BytesOf({0, 0, 0, 0})},
                      TextCase{"NumberMax", "4294967295", 8, 0, BytesOf({0xFF, 0xFF, 0xFF, 0xFF})},
                      TextCase{"NumberMaxLeadingZeros", "0004294967295.0", 8, 0, BytesOf({0xFF, 0xFF, 0xFF, 0xFF})},
                      TextCase{"NumberAboveMax", "4294967296", 8, 110, {}},
                      TextCase{"NumberJustAboveMax", "4294967295.01", 8, 110, {}},
                      TextCase{"NumberHuge", std::string(300, '9'), 8, 110, {}},
                      TextCase{"NumberTieToEvenDown", "2.5", 8, 0, BytesOf({0, 0, 0, 2})},
                      TextCase{"NumberTieToEvenUp", "3.5", 8, 0, BytesOf({0, 0, 0, 4})},
                      TextCase{"NumberAboveTie", "2.50001", 8, 0, BytesOf({0, 0, 0, 3})},
                      TextCase{"NumberBelowTie", "2.49999", 8, 0, BytesOf({0, 0, 0, 2})},
                      TextCase{"NumberFractionOnly", ".7", 8, 0, BytesOf({0, 0, 0, 1})},
                      TextCase{"NumberTrailingDot", "12.", 8, 0, BytesOf({0, 0, 0, 12})},
                      TextCase{"NumberTwoDots", "1.2.3", 8, 107, {}}, TextCase{"NumberOnlyDot", ".", 8, 107, {}},
                      TextCase{"NumberLetter", "1a", 8, 107, {}}, TextCase{"NumberBlank", "1 2", 8, 107, {}},
                      TextCase{"NumberMinus", "-1", 8, 107, {}}, TextCase{"NumberEmpty", "", 8, 144, {}},
                      TextCase{"Hex", "1b10", 9, 0, BytesOf({0x1B, 0x10})},
                      TextCase{"HexOddCount", "ABC", 9, 0, BytesOf({0xAB, 0x0C})},
                      TextCase{"HexBothCases", "fFaA09", 9, 0, BytesOf({0xFF, 0xAA, 0x09})},
                      TextCase{"HexBadDigit", "1G", 9, 106, {}}, TextCase{"HexEmpty", "", 9, 144, {}},
                      TextCase{"KindOutsideRange", "12", 5, 0, {}}, TextCase{"KindEleven", "12", 11, 0, {}}),
    [](const ::testing::TestParamInfo<TextCase>& info) { return std::string(info.param.name); });

TEST(TextToBytesRoutines, FailureLeavesOutputUntouched) {
    Bytes out = BytesOf({0xEE});
    EXPECT_EQ(NumberToBytes("4294967296", out), 110);
    EXPECT_EQ(DigitsToBcd("", out), 144);
    EXPECT_EQ(HexToBytes("xy", out), 106);
    EXPECT_EQ(GbkTextToBytes("", out), 104);
    EXPECT_EQ(out, BytesOf({0xEE}));
}

TEST(TextToBytesRoutines, HexRoundTripsEveryByte) {
    Bytes all;
    for (int v = 0; v <= 0xFF; ++v) all.push_back(static_cast<std::uint8_t>(v));
    std::string hex;
    ASSERT_EQ(BytesToHex(all, hex), 0);
    Bytes back;
    ASSERT_EQ(HexToBytes(hex, back), 0);
    EXPECT_EQ(back, all);
}

TEST(TextToBytesRoutines, BcdRoundTripsLongDigitTexts) {
    // Invoice codes are 20 digits in 10 BCD bytes.
    const std::string code = "13701234567890123456";
    Bytes bcd;
    ASSERT_EQ(DigitsToBcd(code, bcd), 0);
    ASSERT_EQ(bcd.size(), 10u);
    EXPECT_EQ(bcd.front(), 0x13);
    EXPECT_EQ(bcd.back(), 0x56);
    std::string back;
    ASSERT_EQ(BytesToDigits(bcd, back), 0);
    EXPECT_EQ(back, code);
}

TEST(GbkHelpers, ConvertBothWaysAndReportUnconvertible) {
    Bytes gbk;
    EXPECT_EQ(Utf8ToGbk("税控器 OK", gbk), 0);
    EXPECT_EQ(gbk, BytesOf({0xCB, 0xB0, 0xBF, 0xD8, 0xC6, 0xF7, 0x20, 0x4F, 0x4B}));
    std::string text;
    EXPECT_EQ(GbkToUtf8(gbk, text), 0);
    EXPECT_EQ(text, "税控器 OK");

    // The helpers take every GBK character, also those the frame check rejects (lead byte below 0xA0).
    EXPECT_EQ(GbkToUtf8(BytesOf({0x81, 0x40, 0x09}), text), 0);
    EXPECT_EQ(text, "丂\t");
    EXPECT_EQ(GbkToUtf8(BytesOf({0x41, 0xD6}), text), 101);
    EXPECT_EQ(text, "A?");
    EXPECT_EQ(GbkToUtf8(BytesOf({0xFF, 0x41, 0x42}), text), 99);
    EXPECT_EQ(text, "?AB");
    EXPECT_EQ(Utf8ToGbk("\xF0\x9F\x98\x80x", gbk), 99);
    EXPECT_EQ(gbk, BytesOf({0x3F, 0x78}));
    EXPECT_EQ(GbkByteLength("AB中文"), 6u);
    EXPECT_EQ(GbkByteLength(""), 0u);
}

TEST(GbkHelpers, DescriptorsSurviveMixedAndRepeatedUse) {
    // A failed conversion must not leave shift state behind for the next one.
    for (int round = 0; round < 3; ++round) {
        std::string text;
        EXPECT_EQ(GbkToUtf8(BytesOf({0xD6}), text), 101);
        EXPECT_EQ(GbkToUtf8(BytesOf({0xD6, 0xD0}), text), 0);
        EXPECT_EQ(text, "中");
        Bytes gbk;
        EXPECT_EQ(Utf8ToGbk("\xE4", gbk), 99);
        EXPECT_EQ(Utf8ToGbk("中", gbk), 0);
        EXPECT_EQ(gbk, BytesOf({0xD6, 0xD0}));
    }
}

// The one walk over UTF-8 (field positions, counts, the converter's skips): whole sequences are one character,
// and a broken one is a character per byte, never a position past the text.
TEST(Utf8Walk, CutsWholeSequencesAndEachBadByteAlone) {
    const struct {
        const char* text;
        std::vector<std::string> characters;
    } cases[] = {
        {"", {}},
        {"A中b", {"A", "中", "b"}},
        {"\xF0\x9F\x98\x80!", {"\xF0\x9F\x98\x80", "!"}},
        {"\xE4\xB8", {"\xE4", "\xB8"}},  // cut short at the end
        {"\xE4"
         "A\xB8",
         {"\xE4", "A", "\xB8"}},  // cut short inside
        {"\x80"
         "A",
         {"\x80", "A"}},                                         // a stray continuation byte
        {"\xF8\x80\x80\x80", {"\xF8", "\x80", "\x80", "\x80"}},  // no lead byte above 0xF7
    };
    for (const auto& c : cases) {
        std::vector<std::string> got;
        for (std::string_view character : Utf8Characters(c.text)) got.emplace_back(character);
        EXPECT_EQ(got, c.characters) << c.text;
        EXPECT_EQ(CharacterCount(c.text), c.characters.size()) << c.text;
    }
}

}  // namespace
}  // namespace karvex
