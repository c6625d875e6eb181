#include "frame_codec.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support/hex.h"

namespace karvex {
namespace {

using test::Hex;
using test::ToHex;

// The textbook bit-by-bit form, to hold the table-driven one against.
std::uint16_t BitwiseCrc(const Bytes& data) {
    unsigned crc = 0;
    for (std::uint8_t b : data) {
        crc ^= static_cast<unsigned>(b) << 8;
        for (int i = 0; i < 8; ++i) crc = ((crc & 0x8000u) ? ((crc << 1) ^ 0x8005u) : (crc << 1)) & 0xFFFFu;
    }
    return static_cast<std::uint16_t>(crc);
}

// Collects what would have gone out on the serial line.
struct RecordingSink {
    std::vector<Bytes> frames;
    int answer = 0;
    FrameSink sink() {
        return [this](const Bytes& frame) {
            frames.push_back(frame);
            return answer;
        };
    }
};

std::string Frame(const BuiltFrame& built) {
    EXPECT_EQ(built.code, 0);
    return ToHex(built.frame);
}

TEST(FrameCrc, KnownValues) {
    const std::string digits = "123456789";
    EXPECT_EQ(FrameCrc(Bytes(digits.begin(), digits.end())), 0xFEE8);
    EXPECT_EQ(FrameCrc(Bytes{}), 0x0000);
    EXPECT_EQ(FrameCrc(Hex("1B 10 00 00 05")), 0x44D0);
    EXPECT_EQ(FrameCrc(Hex("1B 10 33 00 05")), 0x472C);
}

TEST(FrameCrc, TableAgreesWithBitwiseForm) {
    for (int b = 0; b < 256; ++b) {
        const Bytes one{static_cast<std::uint8_t>(b)};
        ASSERT_EQ(FrameCrc(one), BitwiseCrc(one)) << b;
    }
    std::mt19937 random(7);
    for (int size : {2, 3, 4, 5, 6, 7, 8, 9, 11, 64, 236, 255, 1000}) {
        Bytes data(static_cast<std::size_t>(size));
        for (auto& byte : data) byte = static_cast<std::uint8_t>(random());
        EXPECT_EQ(FrameCrc(data), BitwiseCrc(data)) << size;
    }
}

TEST(RequestBuilders, FixedFrames) {
    EXPECT_EQ(Frame(BuildBareCommand(0x00)), "1B 10 00 00 05 44 D0");
    EXPECT_EQ(Frame(BuildBareCommand(0x33)), "1B 10 33 00 05 47 2C");
    EXPECT_EQ(Frame(BuildByteCommand(0xB0, 0x04)), "1B 10 B0 00 06 04 1B B6");
    EXPECT_EQ(Frame(BuildNumberPairCommand(0x36, "Null", "12")), "1B 10 36 00 09 00 00 00 0C E9 35");
    EXPECT_EQ(Frame(BuildNumberPairCommand(0x42, "0000000123", "0000000123")),
              "1B 10 42 00 0D 00 00 00 7B 00 00 00 7B 41 CF");
    EXPECT_EQ(Frame(BuildBcdPairCommand(0x44, "20050101", "20051231")), "1B 10 44 00 0D 20 05 01 01 20 05 12 31 BB 97");
    EXPECT_EQ(Frame(BuildInstallCommand(0xB4, "12345678901234567890", "1000")),
              "1B 10 B4 00 13 12 34 56 78 90 12 34 56 78 90 00 00 03 E8 41 3A");
}

TEST(RequestBuilders, TimeAcceptsAnySeparator) {
    for (const char* text : {"23:59:59", "23：59：59", "23.59.59"}) {
        EXPECT_EQ(Frame(BuildTimeCommand(0x3B, text)), "1B 10 3B 00 08 23 59 59 9C 09") << text;
    }
}

TEST(RequestBuilders, BcdPairWithoutFirst) {
    const auto built = BuildBcdPairCommand(0x3E, "Null", "20050315");
    ASSERT_EQ(built.code, 0);
    EXPECT_EQ(ToHex(Bytes(built.frame.begin(), built.frame.end() - 2)), "1B 10 3E 00 09 20 05 03 15");
}

TEST(RequestBuilders, FactoryData) {
    const FactoryData data{"1234567890123456", "20050315", "HW1.0", "SW2.0"};
    const auto built = BuildFactoryDataCommand(0x86, data);
    ASSERT_EQ(built.code, 0);
    EXPECT_EQ(ToHex(built.frame),
              "1B 10 86 00 35 12 34 56 78 90 12 34 56 "
              "20 05 03 15 "
              "48 57 31 2E 30 20 20 20 20 20 20 20 20 20 20 20 20 20 "
              "53 57 32 2E 30 20 20 20 20 20 20 20 20 20 20 20 20 20 "
              "CE 32");
}

// Payload of the two-item invoice shared by the issue and return frames below.
const char* const kInvoiceBody =
    "00 01 "                                                        // 分户 number 1
    "41 42 43 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 "  // payer "ABC" ...
    "20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 "  // ... 40 bytes
    "02 "                                                           // two items
    "50 65 6E 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 "  // "Pen", 20 bytes
    "00 64 01 00 00 04 E2 "                                         // 1.00, tax 1, 12.50
    "D6 D0 CE C4 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 "  // "中文", 20 bytes
    "00 FA 02 00 00 01 2C ";                                        // 2.50, tax 2, 3.00

InvoiceRequest TwoItemInvoice() {
    InvoiceRequest r;
    r.OInvNum = "123";
    r.FhNumber = 1;
    r.PayUnit = "ABC";
    r.SalesNum = 2;
    r.ItemName[0] = "Pen";
    r.ItemQuantity[0] = 100;
    r.ItemTaxIndex[0] = 1;
    r.ItemSumFen[0] = 1250;
    r.ItemPriceFen[0] = 1250;
    r.ItemName[1] = "中文";
    r.ItemQuantity[1] = 250;
    r.ItemTaxIndex[1] = 2;
    r.ItemSumFen[1] = 300;
    r.ItemPriceFen[1] = 120;
    // Items beyond the count are left over from an earlier call and must not go out.
    r.ItemName[2] = "Old";
    r.ItemQuantity[2] = 999;
    return r;
}

TEST(InvoiceBuilder, IssueFrameByHand) {
    const auto built = BuildInvoiceCommand(0x34, InvoiceLayout::Issue, TwoItemInvoice());
    ASSERT_EQ(built.code, 0);
    EXPECT_EQ(built.frame.size(), 48u + 27 * 2 + 2);
    EXPECT_EQ(built.frame, Hex(std::string("1B 10 34 00 66 ") + kInvoiceBody + "78 41"));
}

TEST(InvoiceBuilder, ReturnFrameCarriesTheReturnedNumber) {
    const auto built = BuildInvoiceCommand(0x35, InvoiceLayout::Return, TwoItemInvoice());
    ASSERT_EQ(built.code, 0);
    EXPECT_EQ(built.frame, Hex(std::string("1B 10 35 00 6A 00 00 00 7B ") + kInvoiceBody + "42 EC"));
}

TEST(InvoiceBuilder, EmptyPayerIsFortyBlanks) {
    auto r = TwoItemInvoice();
    r.PayUnit.clear();
    const auto built = BuildInvoiceCommand(0x34, InvoiceLayout::Issue, r);
    ASSERT_EQ(built.code, 0);
    EXPECT_EQ(Bytes(built.frame.begin() + 7, built.frame.begin() + 47), Bytes(40, 0x20));
}

TEST(InvoiceBuilder, PayerOfExactlyFortyBytes) {
    auto r = TwoItemInvoice();
    r.PayUnit = std::string(36, 'x') + "中文";
    const auto built = BuildInvoiceCommand(0x34, InvoiceLayout::Issue, r);
    ASSERT_EQ(built.code, 0);
    EXPECT_EQ(built.frame[46], 0xC4);
    EXPECT_EQ(built.frame[47], 0x02);  // item count follows at once
}

TEST(InvoiceBuilder, AmountGoesOutAsItsFenInFourBytes) {
    auto r = TwoItemInvoice();
    r.SalesNum = 1;
    const struct {
        std::int64_t fen;
        const char* bytes;
    } cases[] = {{1250, "00 00 04 E2"}, {4294967295, "FF FF FF FF"}, {0, "00 00 00 00"}};
    for (const auto& c : cases) {
        r.ItemSumFen[0] = c.fen;
        const auto built = BuildInvoiceCommand(0x34, InvoiceLayout::Issue, r);
        ASSERT_EQ(built.code, 0) << c.fen;
        EXPECT_EQ(ToHex(Bytes(built.frame.end() - 6, built.frame.end() - 2)), c.bytes) << c.fen;
    }
}

TEST(InvoiceBuilder, Refusals) {
    struct Case {
        const char* what;
        void (*change)(InvoiceRequest&);
        std::uint8_t command;
        ResultCode code;
    };
    const Case cases[] = {
        {"no items", [](InvoiceRequest& r) { r.SalesNum = 0; }, 0x34, 168},
        {"seven items", [](InvoiceRequest& r) { r.SalesNum = 7; }, 0x34, 168},
        {"amount above 32 bits", [](InvoiceRequest& r) { r.ItemSumFen[1] = 4294967296; }, 0x34, 110},
        {"huge amount", [](InvoiceRequest& r) { r.ItemSumFen[1] = INT64_MAX; }, 0x34, 110},
        {"negative amount", [](InvoiceRequest& r) { r.ItemSumFen[0] = -100; }, 0x34, 107},
        {"payer over 40 bytes", [](InvoiceRequest& r) { r.PayUnit = std::string(41, 'x'); }, 0x34, 103},
        {"name over 20 bytes", [](InvoiceRequest& r) { r.ItemName[1] = std::string(19, 'x') + "中"; }, 0x34, 103},
        {"empty name", [](InvoiceRequest& r) { r.ItemName[0].clear(); }, 0x34, 104},
        {"分户 over 16 bits", [](InvoiceRequest& r) { r.FhNumber = 65536; }, 0x34, 102},
        {"negative 分户", [](InvoiceRequest& r) { r.FhNumber = -1; }, 0x34, 102},
        {"quantity over 16 bits", [](InvoiceRequest& r) { r.ItemQuantity[1] = 65536; }, 0x34, 102},
        {"returned number too big", [](InvoiceRequest& r) { r.OInvNum = "4294967296"; }, 0x35, 110},
        {"returned number empty", [](InvoiceRequest& r) { r.OInvNum.clear(); }, 0x35, 144},
        {"returned number not digits", [](InvoiceRequest& r) { r.OInvNum = "12a"; }, 0x35, 107},
        {"returned number with a point", [](InvoiceRequest& r) { r.OInvNum = "9.5"; }, 0x35, 105},
    };
    for (const auto& c : cases) {
        auto r = TwoItemInvoice();
        c.change(r);
        const auto built =
            BuildInvoiceCommand(c.command, c.command == 0x34 ? InvoiceLayout::Issue : InvoiceLayout::Return, r);
        EXPECT_EQ(built.code, c.code) << c.what;
        EXPECT_TRUE(built.frame.empty()) << c.what;
    }
    // An issue does not look at the returned number at all.
    auto r = TwoItemInvoice();
    r.OInvNum = "junk";
    EXPECT_EQ(BuildInvoiceCommand(0x34, InvoiceLayout::Issue, r).code, 0);
}

TEST(ByteListBuilder, ExampleFrame) {
    EXPECT_EQ(Frame(BuildByteListCommand(0xA5, "1 a2 ff", 5, 6)), "1B 10 A5 00 0B 01 A2 FF 00 00 00 EF 13");
}

TEST(ByteListBuilder, Payloads) {
    const struct {
        const char* text;
        int char_class;
        int min_length;
        const char* payload;
    } cases[] = {
        {"1  a2   ff", 5, 6, "01 A2 FF 00 00 00"},
        {"  1b 10  ff  ", 5, 0, "1B 10 FF"},
        {"1 2 255", 3, 0, "01 02 FF"},
        {"007 0", 3, 0, "07 00"},
        {"0001", 3, 0, "01"},  // only a value followed by another is held to three digits
        {"00ff", 5, 0, "FF"},
        {"5", 3, 249, "05"},  // a minimum beyond 248 pads nothing
    };
    for (const auto& c : cases) {
        const auto built = BuildByteListCommand(0xA5, c.text, c.char_class, c.min_length);
        ASSERT_EQ(built.code, 0) << c.text;
        const Bytes payload(built.frame.begin() + 5, built.frame.end() - 2);
        EXPECT_EQ(ToHex(payload), c.payload) << c.text;
        EXPECT_EQ(built.frame[4], payload.size() + 5) << c.text;
    }
}

TEST(ByteListBuilder, Refusals) {
    const struct {
        const char* text;
        int char_class;
        ResultCode code;
    } cases[] = {
        {"100", 5, 146},
        {"256", 3, 146},
        {"1 2 x", 3, 108},
        {"1 g", 5, 109},
        {"0001 2", 3, 146},
        {"001 2", 5, 146},
        {"99999999999999999999999", 3, 146},
        {"", 3, 144},
        {"    ", 5, 144},
    };
    for (const auto& c : cases) {
        const auto built = BuildByteListCommand(0xA5, c.text, c.char_class, 0);
        EXPECT_EQ(built.code, c.code) << c.text;
        EXPECT_TRUE(built.frame.empty()) << c.text;
    }
}

std::string Values(int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += std::to_string(i % 256) + " ";
    return text;
}

TEST(ByteListBuilder, SignatureLengths) {
    const struct {
        int values;
        std::size_t length;
    } cases[] = {{5, 133}, {200, 205}, {300, 253}};
    for (const auto& c : cases) {
        const auto built = BuildByteListCommand(0x46, Values(c.values), 3, 128);
        ASSERT_EQ(built.code, 0) << c.values;
        EXPECT_EQ(built.frame[3], 0);
        EXPECT_EQ(built.frame[4], c.length) << c.values;
        EXPECT_EQ(built.frame.size(), c.length + 2) << c.values;
        EXPECT_EQ(FrameCrc(std::span(built.frame).first(c.length)),
                  built.frame[c.length] * 256 + built.frame[c.length + 1]);
    }
    // Five typed values, then zero padding up to 128.
    const auto built = BuildByteListCommand(0x46, Values(5), 3, 128);
    EXPECT_EQ(built.frame[9], 4);
    EXPECT_EQ(built.frame[10], 0);
    EXPECT_EQ(built.frame[132], 0);
}

TEST(FixedLengthBuilders, RefuseFieldsOfTheWrongWidth) {
    const struct {
        const char* what;
        BuiltFrame built;
        ResultCode code;
    } cases[] = {
        {"time too short", BuildTimeCommand(0x3B, "23:59"), 257},
        {"time not digits", BuildTimeCommand(0x3B, "ab:cd:ef"), 105},
        {"time empty", BuildTimeCommand(0x3B, ""), 144},
        {"date too short", BuildBcdPairCommand(0x44, "2005011", "20051231"), 257},
        {"date too long", BuildBcdPairCommand(0x44, "20050101", "200512310"), 257},
        {"date not digits", BuildBcdPairCommand(0x44, "2005010a", "20051231"), 105},
        {"date empty", BuildBcdPairCommand(0x3D, "Null", ""), 144},
        {"number too big", BuildNumberPairCommand(0x36, "Null", "4294967296"), 148},
        {"number not digits", BuildNumberPairCommand(0x42, "12x", "13"), 148},
        {"number empty", BuildNumberPairCommand(0x36, "Null", ""), 148},
        {"number with a point", BuildNumberPairCommand(0x36, "Null", "9.5"), 148},
        {"invoice code short", BuildInstallCommand(0xB4, "1234567890123456789", "1"), 103},
        {"invoice code letter", BuildInstallCommand(0xB4, "1234567890123456789A", "1"), 105},
        {"install number", BuildInstallCommand(0xB4, "12345678901234567890", "99999999999"), 148},
        {"machine number 15 digits", BuildFactoryDataCommand(0x86, {"123456789012345", "20050315", "", ""}), 103},
        {"machine number padded", BuildFactoryDataCommand(0x86, {"123456789012345 ", "20050315", "", ""}), 105},
        {"production date", BuildFactoryDataCommand(0x86, {"1234567890123456", "2005031", "", ""}), 257},
        {"hardware version", BuildFactoryDataCommand(0x86, {"1234567890123456", "20050315", std::string(19, 'h'), ""}),
         103},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.built.code, c.code) << c.what;
        EXPECT_TRUE(c.built.frame.empty()) << c.what;
    }
}

TEST(SendBuilders, HandTheFrameToTheSink) {
    RecordingSink out;
    EXPECT_EQ(SendBareCommand(out.sink(), 0x33), 0);
    EXPECT_EQ(SendNumberPairCommand(out.sink(), 0x36, "Null", "12"), 0);
    EXPECT_EQ(SendByteListCommand(out.sink(), 0xA5, "1 a2 ff", 5, 6), 0);
    EXPECT_EQ(SendInvoiceCommand(out.sink(), 0x34, InvoiceLayout::Issue, TwoItemInvoice()), 0);
    EXPECT_EQ(SendTimeCommand(out.sink(), 0x3B, "23:59:59"), 0);
    EXPECT_EQ(SendByteCommand(out.sink(), 0xB0, 4), 0);
    EXPECT_EQ(SendBcdPairCommand(out.sink(), 0x44, "20050101", "20051231"), 0);
    EXPECT_EQ(SendInstallCommand(out.sink(), 0xB4, "12345678901234567890", "1000"), 0);
    EXPECT_EQ(SendFactoryDataCommand(out.sink(), 0x86, {"1234567890123456", "20050315", "HW1.0", "SW2.0"}), 0);
    ASSERT_EQ(out.frames.size(), 9u);
    EXPECT_EQ(ToHex(out.frames[0]), "1B 10 33 00 05 47 2C");
    EXPECT_EQ(ToHex(out.frames[1]), "1B 10 36 00 09 00 00 00 0C E9 35");
    EXPECT_EQ(ToHex(out.frames[2]), "1B 10 A5 00 0B 01 A2 FF 00 00 00 EF 13");
    EXPECT_EQ(out.frames[3], BuildInvoiceCommand(0x34, InvoiceLayout::Issue, TwoItemInvoice()).frame);
    EXPECT_EQ(ToHex(out.frames[4]), "1B 10 3B 00 08 23 59 59 9C 09");
    EXPECT_EQ(out.frames[8].size(), 55u);
}

TEST(SendBuilders, PortClosedAndFailedBuilds) {
    RecordingSink closed;
    closed.answer = 132;
    EXPECT_EQ(SendBareCommand(closed.sink(), 0x00), 132);
    EXPECT_EQ(closed.frames.size(), 1u);

    RecordingSink out;
    EXPECT_EQ(SendNumberPairCommand(out.sink(), 0x36, "Null", "4294967296"), 148);
    EXPECT_EQ(SendByteListCommand(out.sink(), 0xA5, "100", 5, 0), 146);
    auto r = TwoItemInvoice();
    r.SalesNum = 7;
    EXPECT_EQ(SendInvoiceCommand(out.sink(), 0x34, InvoiceLayout::Issue, r), 168);
    EXPECT_TRUE(out.frames.empty());

    EXPECT_EQ(SendBareCommand(FrameSink{}, 0x00), 132);
}

}  // namespace
}  // namespace karvex
