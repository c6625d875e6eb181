#include "link/frame_receiver.h"

#include <gtest/gtest.h>

#include <vector>

using karvex::Bytes;
using karvex::BytesOf;
using karvex::FrameReceiver;
using karvex::ReceivedFrame;
using karvex::RxState;

namespace {

struct Collector {
    std::vector<ReceivedFrame> frames;
    bool keepReading = false;
    FrameReceiver receiver{[this](const ReceivedFrame& f) {
        frames.push_back(f);
        return keepReading;
    }};
};

// Current invoice number 1234: "OK", 0 to follow, L = 8, 00 00 04 D2, CRC (not checked here).
const Bytes kAnswer = BytesOf({0x4F, 0x4B, 0x00, 0x08, 0x00, 0x00, 0x04, 0xD2, 0xAA, 0xBB});

TEST(FrameReceiver, AssemblesAFrameFedAllAtOnceOrByteByByte) {
    Collector all;
    all.receiver.Feed(kAnswer);
    ASSERT_EQ(all.frames.size(), 1u);
    EXPECT_EQ(all.frames[0].bytes, kAnswer);
    EXPECT_EQ(all.frames[0].length, 8);
    EXPECT_EQ(all.receiver.State(), RxState::Idle);

    Collector single;
    for (auto b : kAnswer) single.receiver.Feed(&b, 1);
    ASSERT_EQ(single.frames.size(), 1u);
    EXPECT_EQ(single.frames[0].bytes, kAnswer);
}

TEST(FrameReceiver, SkipsNoiseBeforeAFrame) {
    // Two garbage bytes: the first opens a frame and fails, Resync skips the second.
    Collector c;
    Bytes in = BytesOf({0x00, 0x13});
    in.insert(in.end(), kAnswer.begin(), kAnswer.end());
    c.receiver.Feed(in);
    ASSERT_EQ(c.frames.size(), 1u);
    EXPECT_EQ(c.frames[0].bytes, kAnswer);
    EXPECT_EQ(c.receiver.SkippedBytes(), 2u);
}

TEST(FrameReceiver, ABadLetterPairDropsBothBytes) {
    // "OO" is no pair: both bytes go, and the "K" that follows is skipped as noise, so the frame that
    // seemed to start at the second "O" is lost as well - the line has to deliver a clean frame.
    Collector c;
    Bytes in = BytesOf({'O'});
    in.insert(in.end(), kAnswer.begin(), kAnswer.end());
    c.receiver.Feed(in);
    EXPECT_TRUE(c.frames.empty());

    Collector d;
    Bytes in2 = BytesOf({'E', 'X'});
    in2.insert(in2.end(), kAnswer.begin(), kAnswer.end());
    d.receiver.Feed(in2);
    ASSERT_EQ(d.frames.size(), 1u);
}

TEST(FrameReceiver, LengthBelowTwoIsNoise) {
    Collector c;
    Bytes in = BytesOf({'O', 'K', 0x00, 0x01});
    in.insert(in.end(), kAnswer.begin(), kAnswer.end());
    c.receiver.Feed(in);
    ASSERT_EQ(c.frames.size(), 1u);
    EXPECT_EQ(c.frames[0].bytes, kAnswer);
}

TEST(FrameReceiver, StopsAfterAFinalFrameAndDropsTheRest) {
    Collector c;
    Bytes in = kAnswer;
    in.insert(in.end(), kAnswer.begin(), kAnswer.end());
    c.receiver.Feed(in);
    EXPECT_EQ(c.frames.size(), 1u);
    EXPECT_EQ(c.receiver.State(), RxState::Idle);
}

TEST(FrameReceiver, KeepsReadingPacketsWhileTheHandlerAsks) {
    Collector c;
    c.keepReading = true;
    Bytes p2 = BytesOf({'O', 'K', 0x02, 0x05, 0x11, 0xC1, 0xC2});
    Bytes p1 = BytesOf({'O', 'K', 0x01, 0x05, 0x22, 0xC1, 0xC2});
    Bytes p0 = BytesOf({'O', 'K', 0x00, 0x05, 0x33, 0xC1, 0xC2});
    Bytes in = p2;
    in.insert(in.end(), {0x00});  // noise between packets is skipped in Resync
    in.insert(in.end(), p1.begin(), p1.end());
    in.insert(in.end(), p0.begin(), p0.end());
    c.receiver.Feed(in);
    ASSERT_EQ(c.frames.size(), 3u);
    EXPECT_EQ(c.frames[0].packetsToFollow, 2);
    EXPECT_EQ(c.frames[2].bytes, p0);
    EXPECT_EQ(c.receiver.State(), RxState::Resync);
}

TEST(FrameReceiver, WaitFramesAreReportedAndReadingGoesOn) {
    Collector c;
    Bytes wt = BytesOf({'W', 'T', 0x00, 0x04, 0x12, 0x34});
    Bytes in = wt;
    in.insert(in.end(), kAnswer.begin(), kAnswer.end());
    c.receiver.Feed(in);
    ASSERT_EQ(c.frames.size(), 2u);
    EXPECT_TRUE(c.frames[0].IsWait());
    EXPECT_EQ(c.frames[1].bytes, kAnswer);
}

TEST(FrameReceiver, ShortestLengthsCompleteWithoutWaitingForAnotherByte) {
    Collector c;
    c.receiver.Feed(BytesOf({'N', 'P', 0x00, 0x02}));
    ASSERT_EQ(c.frames.size(), 1u);
    EXPECT_EQ(c.frames[0].bytes.size(), 4u);
}

TEST(FrameReceiver, ResetDropsAPartialFrame) {
    Collector c;
    c.receiver.Feed(BytesOf({'O', 'K', 0x00, 0x08, 0x00}));
    EXPECT_EQ(c.receiver.State(), RxState::WaitBody);
    c.receiver.Reset();
    c.receiver.Feed(kAnswer);
    ASSERT_EQ(c.frames.size(), 1u);
    EXPECT_EQ(c.frames[0].bytes, kAnswer);
}

TEST(FrameReceiver, LongestFrameIsAssembled) {
    Collector c;
    Bytes f = BytesOf({'O', 'K', 0x00, 0xFF});
    for (int i = 0; i < 0xFF - 4 + 2; ++i) f.push_back(static_cast<std::uint8_t>(i));
    c.receiver.Feed(f);
    ASSERT_EQ(c.frames.size(), 1u);
    EXPECT_EQ(c.frames[0].bytes.size(), 257u);
}

}  // namespace
