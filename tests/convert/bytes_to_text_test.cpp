// Bytes to text: range checks of the dispatch, hexadecimal, BCD digits, numbers and GBK text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "conversions.h"

namespace karvex {
namespace {

using namespace std::string_literals;

struct BytesCase {
    const char* name;
    Bytes bytes;
    int kind;
    int code;
    std::string text;
};

class BytesToTextKinds : public ::testing::TestWithParam<BytesCase> {};

TEST_P(BytesToTextKinds, ConvertsWholeArray) {
    const BytesCase& c = GetParam();
    std::string out = "untouched";
    EXPECT_EQ(BytesToText(c.bytes, 0, 0, c.kind, out), c.code);
    EXPECT_EQ(out, c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Literal, BytesToTextKinds,
    ::testing::Values(
        BytesCase{"HexLeadingZero", BytesOf({0x05, 0xAF}), 1, 0, "05AF"},
        BytesCase{"HexExtremes", BytesOf({0x0A, 0xFF, 0x00}), 1, 0, "0AFF00"}, BytesCase{"HexEmpty", {}, 1, 0, ""},
        BytesCase{"SpacedHex", BytesOf({0x05, 0xAF}), 10, 0, "05 AF"},
        BytesCase{"SpacedHexFrameHead", BytesOf({0x1B, 0x10, 0x3A}), 10, 0, "1B 10 3A"},
        BytesCase{"SpacedHexEmpty", {}, 10, 0, ""}, BytesCase{"DigitsYear", BytesOf({0x20, 0x04}), 5, 0, "2004"},
        BytesCase{"DigitsNibbleAboveNineKeepsHex", BytesOf({0x2A}), 5, 105, "2A"},
        BytesCase{"DigitsEmpty", {}, 5, 144, ""},
        BytesCase{"NumberBE", BytesOf({0x00, 0x00, 0x30, 0x39}), 3, 0, "12345"},
        BytesCase{"NumberBEMax", BytesOf({0xFF, 0xFF, 0xFF, 0xFF}), 3, 0, "4294967295"},
        BytesCase{"NumberBEZeroBytes", BytesOf({0x00, 0x00}), 3, 0, "0"}, BytesCase{"NumberBEEmpty", {}, 3, 0, "0"},
        BytesCase{"NumberLE", BytesOf({0x39, 0x30}), 4, 0, "12345"}, BytesCase{"NumberLEEmpty", {}, 4, 0, "0"},
        BytesCase{"GbkNulKeptInside", BytesOf({0x41, 0x00, 0x42}), 2, 0, "A\0B"s},
        BytesCase{"GbkControlByte", BytesOf({0x41, 0x0D}), 2, 98, ""},
        BytesCase{"GbkInvalidByte", BytesOf({0x41, 0x80}), 2, 99, ""},
        BytesCase{"GbkHalfCharacter", BytesOf({0xD6, 0x41}), 2, 100, ""},
        BytesCase{"GbkEndsInLeadByte", BytesOf({0x41, 0xD6}), 2, 101, ""},
        BytesCase{"GbkChinese", BytesOf({0xD6, 0xD0}), 2, 0, "中"},
        BytesCase{"GbkMixed", BytesOf({0x41, 0xD6, 0xD0, 0xCE, 0xC4, 0x7E}), 2, 0, "A中文~"},
        BytesCase{"GbkUndefinedPairIsOneCharacter", BytesOf({0xA1, 0xFF, 0x41}), 2, 0, "?A"},
        BytesCase{"GbkEmpty", {}, 2, 0, ""}, BytesCase{"KindOutsideRange", BytesOf({0x41}), 6, 0, ""},
        BytesCase{"KindZero", BytesOf({0x41}), 0, 0, ""}),
    [](const ::testing::TestParamInfo<BytesCase>& info) { return std::string(info.param.name); });

TEST(BytesToTextRange, CountZeroOrMinusOneTakesWholeArrayWhateverTheStart) {
    const Bytes b = BytesOf({0x1B, 0x10, 0x3A});
    std::string out;
    EXPECT_EQ(BytesToText(b, 7, 0, 1, out), 0);
    EXPECT_EQ(out, "1B103A");
    EXPECT_EQ(BytesToText(b, 7, -1, 1, out), 0);
    EXPECT_EQ(out, "1B103A");
}

TEST(BytesToTextRange, BoundsOfStartAndEnd) {
    const Bytes b = BytesOf({0x1B, 0x10, 0x3A});
    std::string out;
    EXPECT_EQ(BytesToText(b, 2, 1, 1, out), 0);  // last index, one byte
    EXPECT_EQ(out, "3A");
    EXPECT_EQ(BytesToText(b, 1, 2, 10, out), 0);
    EXPECT_EQ(out, "10 3A");

    out = "kept";
    EXPECT_EQ(BytesToText(b, 3, 1, 1, out), 96);   // start = last index + 1
    EXPECT_EQ(BytesToText(b, -1, 1, 1, out), 96);  // negative start
    EXPECT_EQ(BytesToText(b, 2, 2, 1, out), 97);   // start + count = last index + 2
    EXPECT_EQ(BytesToText({}, 0, 1, 1, out), 96);
    EXPECT_EQ(out, "kept");
}

TEST(BytesToTextRange, SliceIsConvertedNotTheWholeArray) {
    // An answer payload: invoice number 12345 framed by other bytes.
    const Bytes frame = BytesOf({0x4F, 0x4B, 0x00, 0x00, 0x30, 0x39, 0xAA});
    std::string out;
    EXPECT_EQ(BytesToText(frame, 2, 4, ConversionKind::kNumberBE, out), 0);
    EXPECT_EQ(out, "12345");
    EXPECT_EQ(BytesToText(frame, 0, 2, ConversionKind::kGbkText, out), 0);
    EXPECT_EQ(out, "OK");
    EXPECT_EQ(BytesToText(frame, 5, 2, ConversionKind::kGbkText, out), 101);  // ends in a lead byte
    EXPECT_EQ(out, "");
}

TEST(ExtractAndJoin, CopiesExactRanges) {
    const Bytes b = BytesOf({1, 2, 3, 4});
    Bytes out = BytesOf({9});
    EXPECT_EQ(ExtractBytes(b, 1, 2, out), 0);
    EXPECT_EQ(out, BytesOf({2, 3}));
    EXPECT_EQ(ExtractBytes(b, 3, 2, out), 97);
    EXPECT_EQ(out, BytesOf({2, 3}));
    EXPECT_EQ(CheckByteRange(b, 4, 1), 96);
    EXPECT_EQ(JoinBytes(b, BytesOf({5}), out), 0);
    EXPECT_EQ(out, BytesOf({1, 2, 3, 4, 5}));
    EXPECT_EQ(JoinBytes({}, {}, out), 0);
    EXPECT_TRUE(out.empty());
}

TEST(BytesToNumber, RoundTripsThroughNumberToBytesOverTheRange) {
    // Powers of two, their neighbours and the 32-bit boundaries.
    std::vector<std::uint64_t> values = {0, 1, 255, 256, 65535, 65536, 4294967294ull, 4294967295ull};
    for (int bit = 0; bit < 32; ++bit) {
        values.push_back((1ull << bit) - 1);
        values.push_back(1ull << bit);
        values.push_back((1ull << bit) + 1);
    }
    for (std::uint64_t v : values) {
        if (v > 0xFFFFFFFFull) continue;
        Bytes bytes;
        ASSERT_EQ(NumberToBytes(std::to_string(v), bytes), 0) << v;
        std::string be;
        ASSERT_EQ(BytesToNumberBE(bytes, be), 0);
        EXPECT_EQ(be, std::to_string(v));
        std::string le;
        ASSERT_EQ(BytesToNumberLE(Bytes(bytes.rbegin(), bytes.rend()), le), 0);
        EXPECT_EQ(le, std::to_string(v));
    }
}

TEST(BytesToNumber, LongArrays) {
    std::string out = "kept";
    EXPECT_EQ(BytesToNumberBE(Bytes(8, 0xFF), out), 0);  // double precision: 2^64 - 1 rounds to 2^64
    EXPECT_EQ(out, "18446744073709551616");
    EXPECT_EQ(BytesToNumberBE(BytesOf({0, 0x1F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), out), 0);
    EXPECT_EQ(out, "9007199254740991");  // 2^53 - 1, still exact
    EXPECT_EQ(BytesToNumberLE(Bytes(128, 0x00), out), 0);
    EXPECT_EQ(out, "0");
    out = "kept";
    EXPECT_EQ(BytesToNumberBE(Bytes(128, 0xFF), out), 102);
    EXPECT_EQ(BytesToNumberLE(Bytes(129, 0x00), out), 102);
    EXPECT_EQ(out, "kept");
    EXPECT_EQ(BytesToText(Bytes(200, 0x01), 0, 0, 3, out), 102);
    EXPECT_EQ(out, "");
}

TEST(BytesToDigits, EveryBcdByteRoundTrips) {
    for (int v = 0; v <= 99; ++v) {
        std::string text;
        ASSERT_EQ(BytesToDigits(BytesOf({ByteToBcd(v)}), text), 0) << v;
        EXPECT_EQ(text, TwoDigits(v));
        Bytes back;
        ASSERT_EQ(DigitsToBcd(text, back), 0);
        EXPECT_EQ(back, BytesOf({ByteToBcd(v)}));
    }
    EXPECT_EQ(ByteToBcd(59), 0x59);
}

TEST(BytesToGbkText, EveryByteValueGivesItsCodeWithoutCrashing) {
    for (int lead = 0; lead <= 0xFF; ++lead) {
        for (int trail : {0x00, 0x0A, 0x41, 0x80, 0x9F, 0xA0, 0xA1, 0xD0, 0xFE, 0xFF}) {
            std::string out;
            int code = BytesToGbkText(BytesOf({lead, trail}), out);
            int expected = lead >= 0xA0                      ? (trail < 0xA0 ? 100 : 0)
                           : (lead >= 0x80)                  ? 99
                           : (lead >= 0x01 && lead < 0x20)   ? 98
                           : (trail >= 0xA0)                 ? 101
                           : (trail >= 0x80)                 ? 99
                           : (trail >= 0x01 && trail < 0x20) ? 98
                                                             : 0;
            EXPECT_EQ(code, expected) << std::hex << lead << " " << trail;
            // The check that texts meet before they are sent is this same one.
            EXPECT_EQ(CheckGbkBytes(BytesOf({lead, trail})), expected) << std::hex << lead << " " << trail;
        }
    }
}

TEST(BytesToGbkText, EveryAcceptedPairIsOneCharacterAndTheNextStaysInStep) {
    // Pairs that code page 936 leaves undefined (lead 0xFF, trail 0xFF, ...) must still take both bytes,
    // or the trail byte is read as the lead of the following character and the rest of the text is garbled.
    for (int lead = 0xA0; lead <= 0xFF; ++lead) {
        for (int trail = 0xA0; trail <= 0xFF; ++trail) {
            std::string out;
            ASSERT_EQ(BytesToGbkText(BytesOf({lead, trail, 0xB0, 0xA1, 0x41}), out), 0) << std::hex << lead << trail;
            std::size_t characters = 0;
            for (unsigned char c : out) characters += (c & 0xC0) != 0x80;
            EXPECT_EQ(characters, 3u) << std::hex << lead << " " << trail << " '" << out << "'";
            EXPECT_TRUE(out.ends_with("啊A")) << std::hex << lead << " " << trail << " '" << out << "'";
        }
    }
    std::string out;
    EXPECT_EQ(BytesToGbkText(BytesOf({0xFF, 0xA1, 0xB0, 0xA1}), out), 0);
    EXPECT_EQ(out, "?啊");
}

TEST(BytesToGbkText, RealisticFrameTextRoundTrips) {
    const std::string text = "北京市海淀区中关村大街1号 Karvex 销售有限公司 发票代码123456";
    Bytes gbk;
    ASSERT_EQ(GbkTextToBytes(text, gbk), 0);
    std::string back;
    ASSERT_EQ(BytesToGbkText(gbk, back), 0);
    EXPECT_EQ(back, text);
    // Cutting the bytes anywhere gives a result code, never a crash or a garbled character.
    for (std::size_t cut = 1; cut < gbk.size(); ++cut) {
        std::string part;
        int code = BytesToGbkText(ByteView(gbk.data(), cut), part);
        EXPECT_TRUE(code == 0 || code == 101) << cut;
        if (code == 0) {
            EXPECT_EQ(GbkByteLength(part), cut);
        }
    }
}

}  // namespace
}  // namespace karvex
