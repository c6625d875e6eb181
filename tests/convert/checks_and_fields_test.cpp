// Input checks, dates, invoice numbers, fixed-width text fields and the time stamp.
#include <gtest/gtest.h>

#include <string>

#include "conversions.h"

namespace karvex {
namespace {

using namespace std::string_literals;

TEST(CheckCharClass, EveryClassAcceptsAndRejects) {
    struct Case {
        int char_class;
        const char* text;
        int code;
    };
    const Case cases[] = {
        {1, "0123456789", 0},  {1, "12.5", 105},   {1, "12 5", 105},  {1, "中", 105},   {2, "12.5", 0},
        {2, "1.2.3", 0},       {2, "12 5", 107},   {2, "1e5", 107},   {3, "12 5 ", 0},  {3, "12.5", 108},
        {3, "1B", 108},        {4, "09afAF", 0},   {4, "0x1F", 106},  {4, "1 F", 106},  {5, "1B 10 3a", 0},
        {5, "1G", 109},        {5, "1\t2", 109},   {6, " 12.50 ", 0}, {6, "12,5", 107}, {6, "a", 107},
        {0, "anything 中", 0}, {7, "anything", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CheckCharClass(c.text, c.char_class), c.code) << c.char_class << " '" << c.text << "'";
    }
    for (int char_class = 0; char_class <= 7; ++char_class) {
        EXPECT_EQ(CheckCharClass("", char_class), 144) << char_class;
    }
}

TEST(CheckDateParts, FlagsCombineByAddition) {
    struct Case {
        const char *year, *month, *day;
        int code;
    };
    const Case cases[] = {
        {"2004", "2", "29", 0},
        {"2000", "2", "29", 0},
        {"2100", "2", "29", 1024},
        {"2001", "2", "29", 1024},
        {"2004", "2", "30", 1024},
        {"1999", "13", "0", 1792},
        {"2004", "4", "31", 1024},
        {"2004", "11", "31", 1024},
        {"2004", "12", "31", 0},
        {"1999", "1", "1", 256},
        {"2501", "1", "1", 256},
        {"2500", "12", "31", 0},
        {"2004", "0", "1", 512},
        {"2004", "1", "32", 1024},
        {"20a4", "1", "1", 256},
        {"2004", "1x", "1", 512},
        {"", "", "", 1792},
        {"2004", "", "5", 512},
        {"99999999999999999999", "1", "1", 256},
        {"2004", "1", "-1", 1024},
    };
    for (const Case& c : cases) {
        std::string month = c.month, day = c.day, out = "kept";
        EXPECT_EQ(CheckDateParts(c.year, month, day, out), c.code) << c.year << "/" << c.month << "/" << c.day;
        if (c.code != 0) {
            EXPECT_EQ(month, c.month);
            EXPECT_EQ(day, c.day);
            EXPECT_EQ(out, "kept");
        }
    }
}

TEST(CheckDateParts, SuccessPadsMonthAndDayInPlace) {
    std::string month = "2", day = "3", out;
    EXPECT_EQ(CheckDateParts("2004", month, day, out), 0);
    EXPECT_EQ(month, "02");
    EXPECT_EQ(day, "03");
    EXPECT_EQ(out, "20040203");
    month = "03";
    day = "15";
    EXPECT_EQ(CheckDateParts("2005", month, day, out), 0);
    EXPECT_EQ(out, "20050315");
}

TEST(InvoiceNumbers, PadAndZeroPad) {
    std::string out = "kept";
    EXPECT_EQ(PadInvoiceNumber("123", out), 0);
    EXPECT_EQ(out, "0000000123");
    EXPECT_EQ(PadInvoiceNumber("4294967295", out), 0);
    EXPECT_EQ(out, "4294967295");
    out = "kept";
    EXPECT_EQ(PadInvoiceNumber("12345678901", out), 103);
    EXPECT_EQ(PadInvoiceNumber("12a", out), 105);
    EXPECT_EQ(PadInvoiceNumber("", out), 144);
    EXPECT_EQ(out, "kept");

    EXPECT_EQ(ZeroPadLeft("", 3, out), 0);
    EXPECT_EQ(out, "000");
    EXPECT_EQ(ZeroPadLeft("中文", 3, out), 0);  // characters, not bytes
    EXPECT_EQ(out, "0中文");
    EXPECT_EQ(ZeroPadLeft("1234", 3, out), 103);
    EXPECT_EQ(out, "0中文");
}

TEST(NormalizeText, CutsAtNulAndRejectsWhatTheProcessorCannotShow) {
    struct Case {
        std::string text;
        int code;
        std::string out;
    };
    const Case cases[] = {
        {"", 0, ""},          {"ABC 中文", 0, "ABC 中文"}, {"AB\0CD"s, 0, "AB"},
        {"中\0文"s, 0, "中"}, {"\0AB"s, 144, ""},          {"A\tB", 98, ""},
        {"中\t", 98, ""},     {"A\xE2\x82\xAC", 99, ""},  // the euro sign is the single byte 0x80 in code page 936
        {"丂", 99, ""},                                   // a GBK character outside the range the processor shows
    };
    for (const Case& c : cases) {
        std::string out = "kept";
        EXPECT_EQ(NormalizeText(c.text, out), c.code) << c.text;
        EXPECT_EQ(out, c.out) << c.text;
    }
}

struct FieldCase {
    const char* name;
    std::string text;
    int width;
    std::string pad;
    int side;
    int mode;
    int code;
    std::string out;
};

class FormatTextFieldCases : public ::testing::TestWithParam<FieldCase> {};

TEST_P(FormatTextFieldCases, BuildsField) {
    const FieldCase& c = GetParam();
    std::string out = "kept";
    EXPECT_EQ(FormatTextField(c.text, c.width, c.pad, c.side, c.mode, out), c.code);
    EXPECT_EQ(out, c.out);
}

INSTANTIATE_TEST_SUITE_P(Literal, FormatTextFieldCases,
                         ::testing::Values(FieldCase{"PadBehind", "ABC", 5, " ", 1, 0, 0, "ABC  "},
                                           FieldCase{"PadBehindSideZero", "ABC", 5, " ", 0, 0, 0, "ABC  "},
                                           FieldCase{"PadInFront", "ABC", 5, "0", 2, 0, 0, "00ABC"},
                                           FieldCase{"ExactWidth", "ABCDE", 5, " ", 1, 0, 0, "ABCDE"},
                                           FieldCase{"ChineseCountsTwo", "中文", 5, " ", 1, 0, 0, "中文 "},
                                           FieldCase{"CutInsideCharacter", "AB中文", 5, " ", 1, 3, 0, "AB中 "},
                                           FieldCase{"CutAtBoundary", "AB中文", 4, " ", 1, 3, 0, "AB中"},
                                           FieldCase{"CutToOneByte", "中", 1, " ", 1, 3, 0, " "},
                                           FieldCase{"CutToZero", "AB", 0, " ", 1, 3, 0, ""},
                                           FieldCase{"TooLongModeZero", "AB中文", 5, " ", 1, 0, 103, "AB中文"},
                                           FieldCase{"TabMakesAllPadding", "A\tB", 4, " ", 1, 0, 0, "    "},
                                           FieldCase{"HalfCharacterMakesAllPadding", "A\xE2\x82\xAC", 3, "0", 2, 0, 0,
                                                     "000"},
                                           FieldCase{"EmptyIsAllPadding", "", 3, "0", 2, 0, 0, "000"},
                                           FieldCase{"EmptyPadIsBlank", "A", 3, "", 1, 0, 0, "A  "},
                                           FieldCase{"ChinesePadIsBlank", "A", 3, "中", 1, 0, 0, "A  "},
                                           FieldCase{"NegativeWidth", "A", -4, " ", 1, 3, 0, ""}),
                         [](const ::testing::TestParamInfo<FieldCase>& info) { return std::string(info.param.name); });

TEST(FormatTextField, NeverSplitsATwoByteCharacterAndAlwaysFillsTheWidth) {
    const std::string text = "A中B文字C测试数据12发票";  // characters of one and two bytes mixed
    for (int width = 1; width <= 30; ++width) {
        for (int side : {0, 1, 2}) {
            std::string out;
            ASSERT_EQ(FormatTextField(text, width, " ", side, kCutToWidth, out), 0) << width;
            Bytes gbk;
            ASSERT_EQ(GbkTextToBytes(out, gbk), 0);
            ASSERT_EQ(gbk.size(), static_cast<std::size_t>(width)) << width << " '" << out << "'";
            std::string back;
            EXPECT_EQ(BytesToGbkText(gbk, back), 0) << width;  // no cut character anywhere
        }
    }
}

TEST(FormatTextField, ThreeHundredByteTextAtTheCallersWidths) {
    std::string text;
    for (int i = 0; i < 100; ++i) text += "中A";  // 300 GBK bytes
    for (int width : {4, 10, 12, 16, 18, 20, 22, 40, 255}) {
        std::string out;
        EXPECT_EQ(FormatTextField(text, width, ' ', 1, kCutToWidth, out), 0);
        EXPECT_EQ(GbkByteLength(out), static_cast<std::size_t>(width));
        EXPECT_EQ(FormatTextField(text, width, ' ', 1, kKeepLong, out), 103);
        EXPECT_EQ(out, text);
    }
}

TEST(TimeStamp, TwoDigitsAndStamp) {
    EXPECT_EQ(TwoDigits(0), "00");
    EXPECT_EQ(TwoDigits(7), "07");
    EXPECT_EQ(TwoDigits(10), "10");
    EXPECT_EQ(TwoDigits(59), "59");
    EXPECT_EQ(TwoDigits(123), "123");

    SetClock([] { return LocalTime{2005, 3, 15, 9, 5, 7}; });
    EXPECT_EQ(NowStamp(), "20050315 09：05：07");
    SetClock([] { return LocalTime{2012, 12, 31, 23, 59, 59}; });
    EXPECT_EQ(NowStamp(), "20121231 23：59：59");
    SetClock(nullptr);

    const std::string stamp = NowStamp();  // the real clock: 17 characters, 21 bytes in UTF-8
    EXPECT_EQ(stamp.size(), 21u);
    EXPECT_EQ(GbkByteLength(stamp), 19u);
    EXPECT_EQ(stamp[8], ' ');
    EXPECT_EQ(CheckCharClass(stamp.substr(0, 8), 1), 0);
    EXPECT_GE(SystemLocalTime().year, 2020);
}

}  // namespace
}  // namespace karvex
