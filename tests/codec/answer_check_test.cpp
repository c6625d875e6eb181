#include <gtest/gtest.h>

#include "frame_codec.h"
#include "support/hex.h"

namespace karvex {
namespace {

using test::Hex;
using test::ToHex;

// The current-invoice answer: "OK", last packet, L = 8, invoice number 12345, CRC.
const char* const kOkAnswer = "4F 4B 00 08 00 00 30 39 1D 5C";

TEST(CheckAnswerFrame, ErrorCodeBytesOutsideTheProcessorsRangeGetOneCodeOfTheirOwn) {
    // 128 and 133 would otherwise read as a time-out and a lost port.
    const struct {
        std::uint8_t byte;
        ResultCode code;
    } cases[] = {{1, 1}, {64, 64}, {0, 135}, {65, 135}, {128, 135}, {133, 135}, {255, 135}};
    for (const auto& c : cases) {
        const std::uint8_t payload[] = {c.byte};
        const Bytes frame = BuildAnswerFrame("ER", 0, payload);
        const auto check = CheckAnswerFrame(frame);
        EXPECT_EQ(check.code, c.code) << int(c.byte);
        EXPECT_EQ(check.refusal_code, c.byte);
    }
}

TEST(CheckAnswerFrame, StatusLetters) {
    const struct {
        const char* frame;
        ResultCode code;
        AnswerStatus status;
        bool reset_timeout;
    } cases[] = {
        {kOkAnswer, 0, AnswerStatus::kOk, false},
        {"45 52 00 05 23 69 4A", 35, AnswerStatus::kError, false},  // "ER", 0x23: 发票已用完
        {"4E 50 00 04 5C 45", 20048, AnswerStatus::kNextCommand, false},
        {"57 54 00 04 28 10", 22356, AnswerStatus::kKeepWaiting, true},
        {"45 52 00 05 00 E9 83", 135, AnswerStatus::kError, false},  // "ER" with code 0 is no success
        {"45 52 00 04 C0 6D", 129, AnswerStatus::kError, false},     // "ER" without its code byte
        {"58 59 00 04 64 F7", 33, AnswerStatus::kInvalid, false},    // unknown letters
    };
    for (const auto& c : cases) {
        const Bytes frame = Hex(c.frame);
        const auto check = CheckAnswerFrame(frame);
        EXPECT_EQ(check.code, c.code) << c.frame;
        EXPECT_EQ(check.status, c.status) << c.frame;
        EXPECT_EQ(check.reset_timeout, c.reset_timeout) << c.frame;
        if (c.status != AnswerStatus::kOk) {
            EXPECT_TRUE(check.payload.empty()) << c.frame;
        }
    }
}

TEST(CheckAnswerFrame, OkHandsOnThePayload) {
    const Bytes frame = Hex(kOkAnswer);
    const auto check = CheckAnswerFrame(frame);
    ASSERT_EQ(check.code, 0);
    EXPECT_EQ(ToHex(Bytes(check.payload.begin(), check.payload.end())), "00 00 30 39");
    EXPECT_EQ(check.packets_to_follow, 0);

    const Bytes more = Hex("4F 4B 02 06 AA 55 E0 8F");  // two more packets follow
    const auto next = CheckAnswerFrame(more);
    ASSERT_EQ(next.code, 0);
    EXPECT_EQ(next.packets_to_follow, 2);
    EXPECT_EQ(ToHex(Bytes(next.payload.begin(), next.payload.end())), "AA 55");
}

TEST(CheckAnswerFrame, AlteredCopies) {
    const Bytes good = Hex(kOkAnswer);
    struct Case {
        const char* what;
        Bytes frame;
        ResultCode code;
    };
    std::vector<Case> cases;
    cases.push_back({"short by one", Bytes(good.begin(), good.end() - 1), 129});
    {
        Bytes longer = good;
        longer.push_back(0x00);
        cases.push_back({"one byte too many", longer, 129});
    }
    {
        Bytes flipped = good;
        flipped[6] ^= 0x01;
        cases.push_back({"flipped payload bit", flipped, 130});
    }
    {
        Bytes last = good;
        last.back() ^= 0xFF;
        cases.push_back({"last byte altered, letters intact", last, 130});
    }
    {
        Bytes lying = good;
        lying[3] = 0x20;
        cases.push_back({"length byte larger than the data", lying, 129});
    }
    {
        Bytes lying = good;
        lying[3] = 0x06;
        cases.push_back({"length byte smaller than the data", lying, 129});
    }
    {
        Bytes lying = good;
        lying[3] = 0xFF;
        cases.push_back({"length byte 255", lying, 129});
    }
    cases.push_back({"length below the header", Hex("4F 4B 00 03 00 00"), 129});
    cases.push_back({"length byte 0", Hex("4F 4B 00 00 00 00"), 129});
    {
        Bytes letters = good;
        letters[0] = 'E';
        letters[1] = 'R';
        cases.push_back({"letters changed, CRC kept", letters, 130});
    }
    for (const auto& c : cases) {
        const auto check = CheckAnswerFrame(c.frame);
        EXPECT_EQ(check.code, c.code) << c.what;
        EXPECT_TRUE(check.payload.empty()) << c.what;
    }
}

TEST(CheckAnswerFrame, EveryTruncationAndSingleBitErrorIsRefused) {
    const Bytes good = Hex(kOkAnswer);
    for (std::size_t size = 0; size < good.size(); ++size) {
        const Bytes cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(size));
        EXPECT_EQ(CheckAnswerFrame(cut).code, 129) << size;
    }
    for (std::size_t i = 0; i < good.size(); ++i) {
        for (int bit = 0; bit < 8; ++bit) {
            Bytes bad = good;
            bad[i] ^= static_cast<std::uint8_t>(1 << bit);
            const ResultCode code = CheckAnswerFrame(bad).code;
            EXPECT_TRUE(code == 129 || code == 130) << "byte " << i << " bit " << bit << " gave " << code;
        }
    }
}

TEST(BuildAnswerFrame, AgreesWithTheLiteral) {
    EXPECT_EQ(ToHex(BuildAnswerFrame("OK", 0, Hex("00 00 30 39"))), kOkAnswer);
    EXPECT_EQ(ToHex(BuildAnswerFrame("ER", 0, Hex("23"))), "45 52 00 05 23 69 4A");
    const Bytes big(300, 0xAB);
    const Bytes frame = BuildAnswerFrame("OK", 0, big);
    EXPECT_EQ(frame.size(), 257u);
    EXPECT_EQ(frame[3], 255);
    EXPECT_EQ(CheckAnswerFrame(frame).payload.size(), 251u);
}

}  // namespace
}  // namespace karvex
