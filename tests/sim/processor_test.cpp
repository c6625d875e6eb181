// The processor's answers and bookkeeping, called directly with request frames.
#include <gtest/gtest.h>

#include "cases.h"
#include "processor.h"

namespace karvex::sim {
namespace {

using testing::issue_payload;
using testing::one_number;
using testing::return_payload;

constexpr DateTime kNow{2024, 3, 15, 10, 30, 0};

MachineState seeded(int invoices = 20) {
  MachineState s = make_default_state();
  SeedOptions o;
  o.invoices = invoices;
  o.from = 20240301;
  o.to = 20240314;
  o.seed = 42;
  seed_state(s, o, kNow.ymd());
  return s;
}

std::vector<Bytes> ask(Processor& p, std::uint8_t code, const Bytes& payload = {}) {
  return p.handle(request_frame(code, payload));
}

// The processor code of a single "ER" answer, or -1 for anything else.
int error_code(const std::vector<Bytes>& frames) {
  if (frames.size() != 1 || frames[0].size() != 7 || frames[0][0] != 'E' || frames[0][1] != 'R') return -1;
  return frames[0][4];
}

void expect_well_formed(const std::vector<Bytes>& frames, const std::string& what) {
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const Bytes& f = frames[i];
    ASSERT_GE(f.size(), 6u) << what;
    ASSERT_EQ(f.size(), f[3] + 2u) << what << " frame " << i;
    EXPECT_EQ(get_u16(f, f[3]), crc16(f.data(), f[3])) << what << " frame " << i;
    EXPECT_EQ(f[2], frames.size() - 1 - i) << what << " packets to follow, frame " << i;
  }
}

TEST(SimProcessor, EveryCatalogueCommandGetsAnAnswerOfTheDecodersLength) {
  Processor p(seeded(), Clock::fixed(kNow));
  const Roll& spare = p.state().rolls.back();
  ASSERT_EQ(spare.state, RollState::Dispensed);
  for (const auto& c : testing::catalogue_cases(spare.code, spare.first)) {
    const auto frames = ask(p, c.code, c.payload);
    const std::string what = "command " + std::to_string(c.code);
    ASSERT_GE(frames.size(), c.frames) << what;
    expect_well_formed(frames, what);
    for (const auto& f : frames) {
      EXPECT_EQ(f[0], 'O') << what << ": " << hex_spaced(f);
      EXPECT_EQ(f[3], c.length) << what;
    }
  }
}

TEST(SimProcessor, RequestChecksGiveCrcCommandAndLengthCodes) {
  Processor p(seeded(0), Clock::fixed(kNow));
  struct Case {
    const char* name;
    Bytes request;
    int code;
  };
  const std::vector<Case> cases = {
      {"crc", {0x1B, 0x10, 0x33, 0x00, 0x05, 0x47, 0x2D}, 31},
      {"unknown command", {0x1B, 0x10, 0x99, 0x00, 0x05, 0x4F, 0x24}, 32},
      {"payload on a bare command", {0x1B, 0x10, 0x33, 0x00, 0x06, 0x00, 0x27, 0x92}, 34},
      {"void without its number", request_frame(0x36, {0x00, 0x00, 0x05}), 34},
      {"signing fewer than 128 bytes", request_frame(0x46, Bytes(127, 1)), 34},
      {"card string empty", request_frame(0xA5, {}), 34},
      {"invoice count 0", request_frame(0x34, Bytes(43, 0x20)), 34},
      {"invoice count says 2, one line sent",
       [] {
         Bytes b = issue_payload();
         b[42] = 2;
         return request_frame(0x34, b);
       }(),
       34},
      {"length field disagrees with the bytes", {0x1B, 0x10, 0x33, 0x00, 0x07, 0x47, 0x2C}, 34},
  };
  for (const auto& c : cases) EXPECT_EQ(error_code(p.handle(c.request)), c.code) << c.name;
}

TEST(SimProcessor, HandWrittenAnswers) {
  Processor p(make_default_state(), Clock::fixed(kNow));
  p.state().rolls.push_back(Roll{"14400000000000000001", 1200, 1299, RollState::Installed, 1234});
  EXPECT_EQ(ask(p, 0x33), (std::vector<Bytes>{{0x4F, 0x4B, 0x00, 0x08, 0x00, 0x00, 0x04, 0xD2, 0x27, 0x25}}));
  EXPECT_EQ(ask(p, 0x00), (std::vector<Bytes>{{0x4F, 0x4B, 0x00, 0x04, 0xC9, 0x9A}}));
  EXPECT_EQ(ask(p, 0x3A),
            (std::vector<Bytes>{{0x4F, 0x4B, 0x00, 0x0A, 0x20, 0x24, 0x03, 0x15, 0x10, 0x30, 0xDD, 0xF0}}));
  EXPECT_EQ(ask(p, 0x41), (std::vector<Bytes>{{0x4F, 0x4B, 0x00, 0x05, 0x04, 0x9E, 0xAE}}));
  // The RAM test reports its three sub-tests, counting down the packets to follow.
  EXPECT_EQ(ask(p, 0xB0, {0x04}), (std::vector<Bytes>{{0x4F, 0x4B, 0x02, 0x06, 0x04, 0x00, 0x85, 0x78},
                                                      {0x4F, 0x4B, 0x01, 0x06, 0x08, 0x00, 0x91, 0x78},
                                                      {0x4F, 0x4B, 0x00, 0x06, 0x10, 0x00, 0x55, 0x7B}}));
  EXPECT_EQ(error_code(ask(p, 0xB0, {0x00})), 50);
}

TEST(SimProcessor, IssueAdvancesTheNumberAndKeepsTheInvoice) {
  Processor p(seeded(0), Clock::fixed(kNow));
  const auto first = ask(p, 0x33);
  ASSERT_EQ(get_u32(first[0], 4), 1u);
  Bytes payload = issue_payload(2500, 2, 0, 2);
  const auto answer = ask(p, 0x34, payload);
  ASSERT_EQ(answer.size(), 1u);
  const Bytes& a = answer[0];
  ASSERT_EQ(a[3], 86);
  EXPECT_EQ(get_bcd(a, 4, 8), "1100000000000001");
  EXPECT_EQ(get_bcd(a, 80, 6), "202403151030");
  EXPECT_EQ(get_u32(ask(p, 0x33)[0], 4), 2u);

  const auto print = ask(p, 0x42, testing::numbers(1, 1));
  ASSERT_EQ(print.size(), 1u);
  const Bytes& f = print[0];
  EXPECT_EQ(get_bcd(f, 5, 4), "20240315");
  EXPECT_EQ(get_u32(f, 9), 1u);
  EXPECT_EQ(f[13], 1);                        // normal invoice
  EXPECT_EQ(get_u32(f, 14), 5000u);           // two lines of 25.00
  EXPECT_EQ(get_u32(f, 18), get_u32(a, 72));  // same tax control code as the issue answer
  EXPECT_EQ(get_u32(f, 22), get_u32(a, 76));
  EXPECT_EQ(Bytes(f.begin() + 72, f.begin() + 77), (Bytes{'W', 'a', 't', 'e', 'r'}));
  EXPECT_EQ(get_u16(f, 92), 100u);
  EXPECT_EQ(f[94], 2);
  EXPECT_EQ(get_u32(f, 95), 2500u);
  EXPECT_EQ(Bytes(f.begin() + 126, f.begin() + 234), Bytes(108, 0x00));  // four unused slots

  // A return takes the next number, refers to the original and blocks a second return.
  const auto ret = ask(p, 0x35, return_payload(1, 5000));
  ASSERT_EQ(ret[0][3], 86);
  const auto rp = ask(p, 0xB1);
  EXPECT_EQ(get_u32(rp[0], 9), 2u);
  EXPECT_EQ(rp[0][13], 2);
  EXPECT_EQ(get_u32(rp[0], 26), 1u);
  EXPECT_EQ(error_code(ask(p, 0x35, return_payload(1, 100))), 45);
  EXPECT_EQ(get_u32(ask(p, 0x33)[0], 4), 3u);
}

TEST(SimProcessor, IssueLimitsGiveTheProcessorsCodes) {
  struct Case {
    const char* name;
    void (*prepare)(Processor&);
    std::uint8_t command;
    Bytes payload;
    int code;
  };
  const std::vector<Case> cases = {
      {"past the issue cut-off", [](Processor& p) { p.state().taxpayer.issue_cutoff = 20240314; }, 0x34,
       issue_payload(), 17},
      {"above the single invoice limit", [](Processor& p) { p.state().taxpayer.single_limit = 2000; }, 0x34,
       issue_payload(1000, 1, 0, 3), 18},
      {"single limit reached exactly is fine", [](Processor& p) { p.state().taxpayer.single_limit = 3000; }, 0x34,
       issue_payload(1000, 1, 0, 3), 0},
      {"above the running total limit", [](Processor& p) { p.state().taxpayer.total_limit = 1000; }, 0x34,
       issue_payload(1001), 19},
      {"above the return limit",
       [](Processor& p) {
         p.state().taxpayer.return_limit = 100;
         p.handle(request_frame(0x34, issue_payload(500)));
       },
       0x35, return_payload(1, 500), 20},
      {"rolls used up", [](Processor& p) { p.state().rolls.clear(); }, 0x34, issue_payload(), 35},
      {"household above the limit", [](Processor&) {}, 0x34, issue_payload(100, 1, 100), 43},
      {"unknown tax item", [](Processor&) {}, 0x34, issue_payload(100, 9), 25},
      {"return of an unknown invoice", [](Processor&) {}, 0x35, return_payload(77), 44},
      {"return of a voided invoice",
       [](Processor& p) {
         p.handle(request_frame(0x34, issue_payload(500)));
         p.handle(request_frame(0x36, one_number(1)));
       },
       0x35, return_payload(1, 500), 46},
      {"return of more than was sold", [](Processor& p) { p.handle(request_frame(0x34, issue_payload(500))); }, 0x35,
       return_payload(1, 501), 62},
  };
  for (const auto& c : cases) {
    Processor p(seeded(0), Clock::fixed(kNow));
    c.prepare(p);
    const auto before = p.state().invoices.size();
    const auto answer = p.handle(request_frame(c.command, c.payload));
    if (c.code == 0) {
      EXPECT_EQ(answer[0][3], 86) << c.name;
    } else {
      EXPECT_EQ(error_code(answer), c.code) << c.name;
      EXPECT_EQ(p.state().invoices.size(), before) << c.name << ": a refused invoice must not be kept";
    }
  }
}

TEST(SimProcessor, VoidingIssuedAndBlankInvoices) {
  Processor p(seeded(0), Clock::fixed(kNow));
  ask(p, 0x34, issue_payload());
  EXPECT_EQ(ask(p, 0x36, one_number(1))[0][3], 4);
  EXPECT_EQ(error_code(ask(p, 0x36, one_number(1))), 46);
  // The current number of a spoiled blank form is used up.
  EXPECT_EQ(ask(p, 0x36, one_number(2))[0][3], 4);
  EXPECT_EQ(get_u32(ask(p, 0x33)[0], 4), 3u);
  EXPECT_EQ(error_code(ask(p, 0x36, one_number(50))), 44);
  const auto sum = ask(p, 0x3C, one_number(1));
  EXPECT_EQ(sum[0][22], 0);  // normal
  EXPECT_EQ(sum[0][24], 2);  // voided
}

TEST(SimProcessor, RollsAreDispensedListedInstalledAndUsedInTurn) {
  MachineState s = make_default_state();
  s.roll_size = 2;
  seed_state(s, SeedOptions{.rolls = 1, .spare_rolls = 0}, kNow.ymd());
  Processor p(std::move(s), Clock::fixed(kNow));
  EXPECT_EQ(error_code(ask(p, 0x32)), 41);
  const auto d1 = ask(p, 0x31), d2 = ask(p, 0x31);
  EXPECT_EQ(get_bcd(d1[0], 4, 10), "14400000000000000002");
  EXPECT_EQ(get_u32(d1[0], 14), 3u);
  EXPECT_EQ(get_u32(d1[0], 18), 4u);
  EXPECT_EQ(get_u32(d2[0], 14), 5u);
  const auto listed = ask(p, 0x32);
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0][2], 1);
  EXPECT_EQ(listed[1][2], 0);
  EXPECT_EQ(get_u32(listed[1], 15), 5u);

  Bytes install;
  put_bcd(install, "14400000000000000003");
  put_u32(install, 5);
  EXPECT_EQ(ask(p, 0xB4, install)[0][3], 4);
  Bytes wrong = install;
  wrong[13] = 6;
  EXPECT_EQ(error_code(ask(p, 0xB4, wrong)), 44);

  std::vector<std::uint32_t> numbers;
  for (int i = 0; i < 4; ++i) {
    numbers.push_back(get_u32(ask(p, 0x33)[0], 4));
    ask(p, 0x34, issue_payload());
  }
  EXPECT_EQ(numbers, (std::vector<std::uint32_t>{1, 2, 5, 6}));  // roll 3..4 was never installed
  EXPECT_EQ(error_code(ask(p, 0x33)), 35);
  EXPECT_EQ(ask(p, 0x41)[0][4], 2);  // invoices used up
}

TEST(SimProcessor, DeclarationDayTradeAndTotalsAgreeWithTheInvoices) {
  Processor p(seeded(0), Clock::fixed(DateTime{2024, 3, 10, 9, 0, 0}));
  ask(p, 0x34, issue_payload(1000, 1));        // 1
  ask(p, 0x34, issue_payload(1000, 2, 0, 2));  // 2
  p.clock().set(DateTime{2024, 3, 12, 9, 0, 0});
  ask(p, 0x34, issue_payload(500, 1));    // 3
  ask(p, 0x35, return_payload(1, 1000));  // 4
  p.clock().set(DateTime{2024, 3, 15, 9, 0, 0});
  ask(p, 0x34, issue_payload(700, 1));  // 5

  const auto days = ask(p, 0x44, testing::dates(20240301, 20240331));
  ASSERT_EQ(days.size(), 3u);
  expect_well_formed(days, "day trade");
  const Bytes& d10 = days[0];
  EXPECT_EQ(get_bcd(d10, 5, 4), "20240310");
  EXPECT_EQ(get_u16(d10, 9), 2u);
  EXPECT_EQ(get_u16(d10, 11), 0u);
  EXPECT_EQ(Bytes(d10.begin() + 15, d10.begin() + 21), (Bytes{1, 2, 3, 4, 5, 0}));
  EXPECT_EQ(get_u32(d10, 21), 1000u);
  EXPECT_EQ(get_u32(d10, 25), 2000u);
  const Bytes& d12 = days[1];
  EXPECT_EQ(get_u16(d12, 9), 1u);
  EXPECT_EQ(get_u16(d12, 11), 1u);
  EXPECT_EQ(get_u32(d12, 21), 500u);
  EXPECT_EQ(get_u32(d12, 45), 1000u);
  EXPECT_EQ(error_code(ask(p, 0x44, testing::dates(20240401, 20240430))), 48);

  const auto declared = ask(p, 0x3E, {0x20, 0x24, 0x03, 0x12});
  ASSERT_EQ(declared.size(), 1u);
  const Bytes& dd = declared[0];
  ASSERT_EQ(dd[3], 224);
  EXPECT_EQ(get_bcd(dd, 4, 8), "5100000000000123");
  EXPECT_EQ(get_bcd(dd, 16, 4), "20240312");
  EXPECT_EQ(get_u32(dd, 20), 3u);
  EXPECT_EQ(get_u16(dd, 24), 1u);
  EXPECT_EQ(get_u32(dd, 34), 1500u);
  EXPECT_EQ(get_u32(dd, 58), 1000u);
  EXPECT_EQ(get_u32(dd, 82), 3500u);
  EXPECT_EQ(get_u32(dd, 86), 1000u);
  std::uint8_t x = 0;
  for (std::size_t i = 4; i < 223; ++i) x ^= dd[i];
  EXPECT_EQ(dd[223], x);
  EXPECT_EQ(Bytes(dd.begin() + 91, dd.begin() + 95), Bytes(dd.begin() + 95, dd.begin() + 99));

  EXPECT_EQ(error_code(ask(p, 0x3D, {0x20, 0x24, 0x03, 0x16})), 26);
  EXPECT_EQ(ask(p, 0x3D, {0x20, 0x24, 0x03, 0x12})[0][3], 4);
  EXPECT_EQ(error_code(ask(p, 0x3D, {0x20, 0x24, 0x03, 0x11})), 27);
  EXPECT_EQ(error_code(ask(p, 0x3D, {0x20, 0x24, 0x02, 0x30})), 38);
  EXPECT_EQ(get_bcd(ask(p, 0x3E, {0x20, 0x24, 0x03, 0x15})[0], 12, 4), "20240313");

  const auto totals = ask(p, 0xBA);
  EXPECT_EQ(get_u32(totals[0], 4), 700u);
  EXPECT_EQ(get_u32(totals[0], 8), 0u);
  EXPECT_EQ(get_u32(totals[0], 12), 4200u);
  EXPECT_EQ(get_u32(totals[0], 16), 1000u);

  // Signing is deterministic in the data and differs for other data.
  const auto s1 = ask(p, 0x46, Bytes(128, 1)), s2 = ask(p, 0x46, Bytes(128, 1)), s3 = ask(p, 0x46, Bytes(129, 1));
  EXPECT_EQ(s1, s2);
  EXPECT_NE(Bytes(s1[0].begin() + 4, s1[0].end() - 2), Bytes(s3[0].begin() + 4, s3[0].end() - 2));
}

TEST(SimProcessor, LongAnswersKeepPacketsToFollowAboveZeroUntilTheLastFrame) {
  // The packets-to-follow byte cannot count past 255: it must not wrap to 0 before the real last frame, or a
  // host would take the answer as complete and lose the rest.
  EXPECT_EQ(follow_byte(0, 300), 255);
  EXPECT_EQ(follow_byte(44, 300), 255);
  EXPECT_EQ(follow_byte(297, 300), 2);
  EXPECT_EQ(follow_byte(299, 300), 0);
  Processor p(seeded(300), Clock::fixed(kNow));
  const auto frames = ask(p, 0x42, testing::numbers(1, 300));
  ASSERT_EQ(frames.size(), 300u);
  for (std::size_t i = 0; i + 1 < frames.size(); ++i) ASSERT_NE(frames[i][2], 0) << i;
  EXPECT_EQ(frames.back()[2], 0);
  EXPECT_EQ(frames[299][4], 300 % 256);  // sequence byte wraps, harmlessly: hosts skip it
}

TEST(SimProcessor, ClockCommands) {
  Processor p(seeded(0), Clock::fixed(kNow));
  EXPECT_EQ(ask(p, 0x3B, {0x23, 0x59, 0x58})[0][3], 4);
  EXPECT_EQ(get_bcd(ask(p, 0xB3)[0], 4, 7), "20240315235958");
  EXPECT_EQ(error_code(ask(p, 0x3B, {0x24, 0x00, 0x00})), 38);
  EXPECT_EQ(error_code(ask(p, 0x3B, {0x1A, 0x00, 0x00})), 38);
  EXPECT_EQ(ask(p, 0xB2, {0x20, 0x25, 0x01, 0x02, 0x03, 0x04, 0x05})[0][3], 4);
  EXPECT_EQ(get_bcd(ask(p, 0xB3)[0], 4, 7), "20250102030405");
  EXPECT_EQ(error_code(ask(p, 0xB2, {0x20, 0x25, 0x02, 0x29, 0x03, 0x04, 0x05})), 38);
}

TEST(SimState, TextFormRoundTripsAndRejectsBrokenFiles) {
  Processor p(seeded(30), Clock::fixed(kNow));
  ask(p, 0x34, issue_payload(999, 3, 7, 4));
  ask(p, 0x36, one_number(31));
  ask(p, 0x3D, {0x20, 0x24, 0x03, 0x05});
  const std::string text = save_state_text(p.state());
  std::string why;
  auto loaded = load_state_text(text, why);
  ASSERT_TRUE(loaded) << why;
  EXPECT_EQ(save_state_text(*loaded), text);
  // The reloaded processor answers exactly like the original.
  Processor q(*loaded, Clock::fixed(kNow));
  for (std::uint8_t code : {0x33, 0x37, 0x38, 0x39, 0xBA}) EXPECT_EQ(ask(q, code), ask(p, code)) << int(code);
  EXPECT_EQ(ask(q, 0x42, testing::numbers(1, 31)), ask(p, 0x42, testing::numbers(1, 31)));

  const std::vector<std::string> broken = {
      "",
      "karvex-sim-state 2\n",
      "karvex-sim-state 1\nfactory 123 20050301 - -\n",
      "karvex-sim-state 1\nroll 14400000000000000001 10 5 2 10\n",
      "karvex-sim-state 1\ninvoice 1 1 20240301 90000 0 0 0 0 1 2 - 2\nline - 100 1 100\n",
      "karvex-sim-state 1\nline - 100 1 100\n",
      "karvex-sim-state 1\ntax 1 0101 300 - -\n",
      "karvex-sim-state 1\nwhatever\n",
      "karvex-sim-state 1\ninvoice 1 1 20240301 90000 0 0 0 0 1 2 ZZ 0\n",
  };
  for (const auto& b : broken) {
    why.clear();
    EXPECT_FALSE(load_state_text(b, why)) << b;
    EXPECT_FALSE(why.empty()) << b;
  }
}

TEST(SimState, SeedingSpreadsInvoicesOverTheRangeAndIsRepeatable) {
  const MachineState a = seeded(250), b = seeded(250);
  EXPECT_EQ(save_state_text(a), save_state_text(b));
  ASSERT_EQ(a.invoices.size(), 250u);
  for (std::size_t i = 0; i < a.invoices.size(); ++i) {
    EXPECT_EQ(a.invoices[i].number, i + 1);
    EXPECT_GE(a.invoices[i].date, 20240301u);
    EXPECT_LE(a.invoices[i].date, 20240314u);
    if (i) {
      EXPECT_GE(a.invoices[i].date, a.invoices[i - 1].date);
    }
  }
  // 250 invoices need a third installed roll; the spare roll stays uninstalled.
  ASSERT_EQ(a.rolls.size(), 4u);
  EXPECT_EQ(a.current_number(), 251u);
  EXPECT_EQ(a.rolls.back().state, RollState::Dispensed);
}

}  // namespace
}  // namespace karvex::sim
