// Byte-level pieces of the virtual processor: its CRC, field writers, request framing and fault syntax.
#include <gtest/gtest.h>

#include <set>
#include <tuple>

#include "faults.h"
#include "simulator.h"
#include "wire.h"

namespace karvex::sim {
namespace {

TEST(SimWire, CrcAndRequestFramesMatchHandWrittenBytes) {
  const std::string digits = "123456789";
  EXPECT_EQ(crc16(reinterpret_cast<const std::uint8_t*>(digits.data()), digits.size()), 0xFEE8);
  EXPECT_EQ(request_frame(0x00, {}), (Bytes{0x1B, 0x10, 0x00, 0x00, 0x05, 0x44, 0xD0}));
  EXPECT_EQ(request_frame(0x33, {}), (Bytes{0x1B, 0x10, 0x33, 0x00, 0x05, 0x47, 0x2C}));
  EXPECT_EQ(ok_frame({0x00, 0x00, 0x04, 0xD2}), (Bytes{0x4F, 0x4B, 0x00, 0x08, 0x00, 0x00, 0x04, 0xD2, 0x27, 0x25}));
  EXPECT_EQ(er_frame(35), (Bytes{0x45, 0x52, 0x00, 0x05, 0x23, 0x69, 0x4A}));
}

TEST(SimWire, FieldWriters) {
  Bytes b;
  put_bcd_number(b, 20050315, 8);
  put_u32(b, 12345678);
  put_bcd(b, "123");
  EXPECT_EQ(b, (Bytes{0x20, 0x05, 0x03, 0x15, 0x00, 0xBC, 0x61, 0x4E, 0x01, 0x23}));
  EXPECT_EQ(get_bcd(Bytes{0x20, 0x24}, 0, 2), "2024");
  EXPECT_FALSE(get_bcd(Bytes{0x2A}, 0, 1).has_value());
  EXPECT_FALSE(get_bcd(Bytes{0x20}, 0, 2).has_value());

  // "税控" is CB B0 BF D8 in GBK; a field one byte too narrow for the second character gets a blank instead.
  EXPECT_EQ(gbk_field("税控", 5), (Bytes{0xCB, 0xB0, 0xBF, 0xD8, 0x20}));
  EXPECT_EQ(gbk_field("税控", 3), (Bytes{0xCB, 0xB0, 0x20}));
  EXPECT_EQ(from_gbk(Bytes{0xCB, 0xB0, 0xBF, 0xD8}), "税控");
}

TEST(SimWire, CalendarHelpers) {
  EXPECT_TRUE(valid_ymd(20000229));
  EXPECT_FALSE(valid_ymd(21000229));
  EXPECT_FALSE(valid_ymd(20240431));
  EXPECT_EQ(days_to_ymd(ymd_to_days(20231231) + 1), 20240101u);
  const DateTime t{2024, 2, 29, 23, 59, 59};
  EXPECT_EQ(from_seconds(to_seconds(t)), t);
  EXPECT_FALSE(parse_ymd("2024013").has_value());
  EXPECT_FALSE(parse_ymd("2024x101").has_value());
}

using Kind = RequestReader::EventKind;

std::vector<RequestReader::Event> feed_all(RequestReader& reader, const std::vector<Bytes>& chunks) {
  std::vector<RequestReader::Event> events;
  for (const auto& c : chunks) reader.feed(c.data(), c.size(), events);
  return events;
}

TEST(SimRequestReader, SplitsFramesSkipsGarbageAndRejectsImpossibleLengths) {
  struct Case {
    const char* name;
    std::vector<Bytes> chunks;
    std::vector<std::pair<Kind, Bytes>> expected;
    bool partial_after;
  };
  const Bytes online{0x1B, 0x10, 0x00, 0x00, 0x05, 0x44, 0xD0};
  const std::vector<Case> cases = {
      {"whole frame", {online}, {{Kind::Frame, online}}, false},
      {"byte by byte", {{0x1B}, {0x10}, {0x00}, {0x00}, {0x05}, {0x44}, {0xD0}}, {{Kind::Frame, online}}, false},
      {"garbage first",
       {{0xAA, 0x10, 0x1B, 0x00, 0x1B, 0x10, 0x00, 0x00, 0x05, 0x44, 0xD0}},
       {{Kind::Garbage, {0xAA, 0x10, 0x1B, 0x00}}, {Kind::Frame, online}},
       false},
      {"two frames in one read",
       {{0x1B, 0x10, 0x00, 0x00, 0x05, 0x44, 0xD0, 0x1B, 0x10, 0x00, 0x00, 0x05, 0x44, 0xD0}},
       {{Kind::Frame, online}, {Kind::Frame, online}},
       false},
      {"length above the largest frame",
       {{0x1B, 0x10, 0x33, 0x01, 0x00}},
       {{Kind::BadHeader, {0x1B, 0x10, 0x33, 0x01, 0x00}}, {Kind::Garbage, {0x33, 0x01, 0x00}}},
       false},
      {"length below the head",
       {{0x1B, 0x10, 0x33, 0x00, 0x04}},
       {{Kind::BadHeader, {0x1B, 0x10, 0x33, 0x00, 0x04}}, {Kind::Garbage, {0x33, 0x00, 0x04}}},
       false},
      {"unfinished", {{0x1B, 0x10, 0x36, 0x00, 0x09, 0x00}}, {}, true},
  };
  for (const auto& c : cases) {
    RequestReader reader;
    const auto events = feed_all(reader, c.chunks);
    ASSERT_EQ(events.size(), c.expected.size()) << c.name;
    for (std::size_t i = 0; i < events.size(); ++i) {
      EXPECT_EQ(events[i].kind, c.expected[i].first) << c.name << " event " << i;
      EXPECT_EQ(events[i].bytes, c.expected[i].second) << c.name << " event " << i;
    }
    EXPECT_EQ(reader.partial(), c.partial_after) << c.name;
  }
}

TEST(SimFaults, ParsesTheOptionSyntax) {
  std::string why;
  auto f = parse_fault("CurrentInvoice:er:35", why);
  ASSERT_TRUE(f) << why;
  EXPECT_EQ(f->command, 0x33);
  EXPECT_EQ(f->kind, FaultKind::Error);
  EXPECT_EQ(f->arg, 35);
  EXPECT_FALSE(f->persistent);

  f = parse_fault("0x31:wt:3:20:always", why);
  ASSERT_TRUE(f) << why;
  EXPECT_EQ(f->command, 0x31);
  EXPECT_EQ(f->kind, FaultKind::Wait);
  EXPECT_EQ(f->arg, 3);
  EXPECT_EQ(f->delay_ms, 20);
  EXPECT_TRUE(f->persistent);

  f = parse_fault("*:noise", why);
  ASSERT_TRUE(f) << why;
  EXPECT_EQ(f->command, -1);

  // Both ways an answer is lost, and the older name of the second.
  for (const auto& [text, kind, persistent] :
       {std::tuple{"0x35:drop:always", FaultKind::Drop, true}, std::tuple{"0x34:lost", FaultKind::Lost, false},
        std::tuple{"MakeInvoice:silent", FaultKind::Lost, false}}) {
    f = parse_fault(text, why);
    ASSERT_TRUE(f) << text << ": " << why;
    EXPECT_EQ(f->kind, kind) << text;
    EXPECT_EQ(f->persistent, persistent) << text;
    EXPECT_NE(describe_fault(*f).find(fault_kind_name(kind)), std::string::npos) << text;
  }

  for (const char* bad :
       {"", "0x33", "Nonsense:er:1", "0x33:boom", "0x33:er", "0x33:er:0", "0x33:crc:x", "0x133:np", "51:wt:1:2:3:4"}) {
    EXPECT_FALSE(parse_fault(bad, why)) << bad;
    EXPECT_FALSE(why.empty()) << bad;
  }
}

TEST(SimFaults, OneShotFaultsAreUsedUpAndPersistentOnesStay) {
  FaultPlan plan;
  plan.add({.command = 0x33, .kind = FaultKind::Error, .arg = 35});
  plan.add({.command = 0x00, .kind = FaultKind::NotReady, .persistent = true});
  EXPECT_TRUE(plan.take(0x41).empty());
  EXPECT_EQ(plan.take(0x33).size(), 1u);
  EXPECT_TRUE(plan.take(0x33).empty());
  EXPECT_EQ(plan.take(0x00).size(), 1u);
  EXPECT_EQ(plan.take(0x00).size(), 1u);
  plan.clear();
  EXPECT_EQ(plan.pending(), 0u);
}

TEST(SimFaults, RandomFaultsFollowTheSeed) {
  auto draw = [](std::uint64_t seed) {
    FaultPlan plan;
    plan.set_random(0.5, seed);
    std::vector<int> kinds;
    for (int i = 0; i < 40; ++i) {
      auto f = plan.take(0x33);
      kinds.push_back(f.empty() ? -1 : static_cast<int>(f[0].kind));
    }
    return kinds;
  };
  const auto a = draw(7);
  EXPECT_EQ(a, draw(7));
  EXPECT_GT(std::count(a.begin(), a.end(), -1), 5);
  EXPECT_LT(std::count(a.begin(), a.end(), -1), 35);
  // Over enough draws both ways of losing an answer come up; late answers only when asked for, and no later.
  for (int late_max : {0, 500}) {
    FaultPlan plan;
    plan.set_random(1.0, 3, late_max);
    std::set<FaultKind> seen;
    for (int i = 0; i < 400; ++i) {
      const Fault f = plan.take(0x34).at(0);
      seen.insert(f.kind);
      if (f.kind == FaultKind::Late) {
        EXPECT_LE(f.arg, late_max);
      }
    }
    EXPECT_TRUE(seen.count(FaultKind::Drop) && seen.count(FaultKind::Lost)) << late_max;
    EXPECT_EQ(seen.count(FaultKind::Late), late_max > 0 ? 1u : 0u);
  }
}

}  // namespace
}  // namespace karvex::sim
