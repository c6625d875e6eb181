// The simulator over a real pseudo-terminal: what a host sees on the line, fault by fault.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "cases.h"
#include "peer.h"
#include "simulator.h"

namespace karvex::sim {
namespace {

using testing::Peer;

const Bytes kOnline{0x1B, 0x10, 0x00, 0x00, 0x05, 0x44, 0xD0};
const Bytes kCurrent{0x1B, 0x10, 0x33, 0x00, 0x05, 0x47, 0x2C};
// Current invoice number 21 (20 seeded invoices before it).
const Bytes kCurrentIs21{0x4F, 0x4B, 0x00, 0x08, 0x00, 0x00, 0x00, 0x15, 0x3D, 0xB7};

SimOptions test_options() {
  SimOptions o;
  o.clock = DateTime{2024, 3, 15, 10, 30, 0};
  o.seed.invoices = 20;
  o.seed.from = 20240301;
  o.seed.to = 20240314;
  o.seed.seed = 42;
  o.quiet = true;
  o.request_timeout_ms = 100;
  return o;
}

class SimLine : public ::testing::Test {
 protected:
  void SetUp() override { start(test_options()); }

  void start(SimOptions o) {
    sim_ = std::make_unique<Simulator>(std::move(o));
    std::string why;
    ASSERT_TRUE(sim_->start(&why)) << why;
    peer_ = std::make_unique<Peer>(sim_->device_path());
    ASSERT_TRUE(peer_->ok());
  }

  Bytes exchange(const Bytes& request) {
    peer_->send(request);
    return peer_->read_frame();
  }

  std::unique_ptr<Simulator> sim_;
  std::unique_ptr<Peer> peer_;
};

TEST_F(SimLine, AnswersHandWrittenRequestsWithHandWrittenFrames) {
  EXPECT_EQ(sim_->device_path().rfind("/dev/pts/", 0), 0u);
  EXPECT_EQ(exchange(kOnline), (Bytes{0x4F, 0x4B, 0x00, 0x04, 0xC9, 0x9A}));
  EXPECT_EQ(exchange(kCurrent), kCurrentIs21);
  sim_->update_state([](MachineState& s) {
    s.rolls.insert(s.rolls.begin(), Roll{"14400000000000000099", 1200, 1299, RollState::Installed, 1234});
  });
  EXPECT_EQ(exchange(kCurrent), (Bytes{0x4F, 0x4B, 0x00, 0x08, 0x00, 0x00, 0x04, 0xD2, 0x27, 0x25}));

  const auto lines = sim_->log_lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "<< 1B 10 00 00 05 44 D0");
  EXPECT_EQ(lines[1], ">> 4F 4B 00 04 C9 9A");
}

TEST_F(SimLine, EveryCatalogueCommandIsAnsweredWithItsLengthAndAGoodCrc) {
  const MachineState s = sim_->state();
  const Roll& spare = s.rolls.back();
  for (const auto& c : testing::catalogue_cases(spare.code, spare.first)) {
    peer_->send(request_frame(c.code, c.payload));
    const auto frames = peer_->read_answer();
    const std::string what = "command " + std::to_string(c.code);
    ASSERT_GE(frames.size(), c.frames) << what;
    for (const auto& f : frames) {
      EXPECT_EQ(f[0], 'O') << what << ": " << hex_spaced(f);
      EXPECT_EQ(f[3], c.length) << what;
      EXPECT_EQ(get_u16(f, f[3]), crc16(f.data(), f[3])) << what;
    }
  }
  EXPECT_TRUE(peer_->drain(50).empty());
}

TEST_F(SimLine, BadRequestsGetTheirErrorCodes) {
  struct Case {
    const char* name;
    Bytes request;
    Bytes answer;
  };
  const std::vector<Case> cases = {
      {"wrong crc", {0x1B, 0x10, 0x33, 0x00, 0x05, 0x47, 0x2D}, {0x45, 0x52, 0x00, 0x05, 0x1F, 0x69, 0xC2}},
      {"unknown command", {0x1B, 0x10, 0x99, 0x00, 0x05, 0x4F, 0x24}, {0x45, 0x52, 0x00, 0x05, 0x20, 0x69, 0x40}},
      {"wrong length", {0x1B, 0x10, 0x33, 0x00, 0x06, 0x00, 0x27, 0x92}, {0x45, 0x52, 0x00, 0x05, 0x22, 0xE9, 0x4F}},
      {"impossible length", {0x1B, 0x10, 0x33, 0x01, 0x00}, {0x45, 0x52, 0x00, 0x05, 0x22, 0xE9, 0x4F}},
      {"garbage before the head", {0x00, 0xFF, 0x10, 0x1B, 0x10, 0x33, 0x00, 0x05, 0x47, 0x2C}, kCurrentIs21},
  };
  for (const auto& c : cases) {
    peer_->send(c.request);
    EXPECT_EQ(peer_->read_frame(), c.answer) << c.name;
    EXPECT_TRUE(peer_->drain(30).empty()) << c.name;
  }
  // A request that stops half-way is answered "ER" 34 once its sender has been quiet, and the line recovers.
  peer_->send({0x1B, 0x10, 0x36, 0x00, 0x09, 0x00});
  EXPECT_EQ(peer_->read_frame(), (Bytes{0x45, 0x52, 0x00, 0x05, 0x22, 0xE9, 0x4F}));
  EXPECT_EQ(exchange(kCurrent), kCurrentIs21);
  // A request written byte by byte is still one request.
  for (auto b : kCurrent) peer_->send({b});
  EXPECT_EQ(peer_->read_frame(), kCurrentIs21);
}

TEST_F(SimLine, EachFaultPutsWhatItPromisesOnTheLine) {
  struct Case {
    const char* name;
    Fault fault;
    Bytes expected;  // every byte the line carries for one CurrentInvoice request
  };
  const Bytes wt{0x57, 0x54, 0x00, 0x04, 0x28, 0x10};
  Bytes two_waits = wt;
  two_waits.insert(two_waits.end(), wt.begin(), wt.end());
  two_waits.insert(two_waits.end(), kCurrentIs21.begin(), kCurrentIs21.end());
  const std::vector<Case> cases = {
      {"er", {.command = 0x33, .kind = FaultKind::Error, .arg = 35}, {0x45, 0x52, 0x00, 0x05, 0x23, 0x69, 0x4A}},
      {"np", {.command = 0x33, .kind = FaultKind::NotReady}, {0x4E, 0x50, 0x00, 0x04, 0x5C, 0x45}},
      {"wt", {.command = 0x33, .kind = FaultKind::Wait, .arg = 2, .delay_ms = 10}, two_waits},
      {"lost", {.command = 0x33, .kind = FaultKind::Lost}, {}},
      {"drop", {.command = 0x33, .kind = FaultKind::Drop}, {}},
      {"cut", {.command = 0x33, .kind = FaultKind::Cut}, {0x4F, 0x4B, 0x00, 0x08, 0x00}},
      {"crc",
       {.command = 0x33, .kind = FaultKind::BadCrc},
       {0x4F, 0x4B, 0x00, 0x08, 0x00, 0x00, 0x00, 0x15, 0x3D, 0x48}},
      {"len", {.command = 0x33, .kind = FaultKind::BadLength}, {0x4F, 0x4B, 0x00, 0x07, 0x00, 0x00, 0x00, 0x6F, 0xBE}},
      {"late", {.command = 0x33, .kind = FaultKind::Late, .arg = 20}, kCurrentIs21},
      {"slow", {.command = 0x33, .kind = FaultKind::Slow, .arg = 2}, kCurrentIs21},
      {"other command untouched", {.command = 0x00, .kind = FaultKind::Error, .arg = 1}, kCurrentIs21},
  };
  for (const auto& c : cases) {
    sim_->clear_faults();
    sim_->inject(c.fault);
    const std::size_t before = sim_->requests_handled();
    peer_->send(kCurrent);
    ASSERT_TRUE(sim_->wait_handled(before + 1, 2000)) << c.name;
    EXPECT_EQ(peer_->drain(60), c.expected) << c.name;
    // One-shot: the next request gets the plain answer.
    if (c.fault.command == 0x33) {
      EXPECT_EQ(exchange(kCurrent), kCurrentIs21) << c.name;
    }
  }
}

// "NP" names no command: owed to an earlier request, it reaches the host as the answer to the next one.
TEST_F(SimLine, AnOwedAnswerComesAsNotReadyJustBeforeTheNextAnswer) {
  sim_->inject({.command = 0x33, .kind = FaultKind::Owed});
  const std::size_t before = sim_->requests_handled();
  peer_->send(kCurrent);
  ASSERT_TRUE(sim_->wait_handled(before + 1, 2000));
  EXPECT_TRUE(peer_->drain(60).empty()) << "held back";
  Bytes expected{0x4E, 0x50, 0x00, 0x04, 0x5C, 0x45};
  expected.insert(expected.end(), kCurrentIs21.begin(), kCurrentIs21.end());
  peer_->send(kCurrent);
  ASSERT_TRUE(sim_->wait_handled(before + 2, 2000));
  EXPECT_EQ(peer_->drain(60), expected);
  EXPECT_EQ(exchange(kCurrent), kCurrentIs21) << "owed once";
}

TEST_F(SimLine, NoiseNeverHoldsAStatusLetter) {
  sim_->inject({.command = 0x33, .kind = FaultKind::Noise, .arg = 40});
  peer_->send(kCurrent);
  const Bytes noise = peer_->read_exact(40);
  ASSERT_EQ(noise.size(), 40u);
  for (auto b : noise) EXPECT_TRUE(b != 'O' && b != 'E' && b != 'N' && b != 'W') << int(b);
  EXPECT_EQ(peer_->read_frame(), kCurrentIs21);
}

TEST_F(SimLine, MultiFrameFaultsHitTheChosenFrame) {
  const Bytes tax = request_frame(0x39, {});
  sim_->inject({.command = 0x39, .kind = FaultKind::BadCrc, .arg = 1});
  peer_->send(tax);
  auto frames = peer_->read_answer();
  ASSERT_EQ(frames.size(), 5u);
  for (std::size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(get_u16(frames[i], 52) == crc16(frames[i].data(), 52), i != 1) << i;
  }

  sim_->inject({.command = 0x39, .kind = FaultKind::Cut, .arg = 2});
  const std::size_t before = sim_->requests_handled();
  peer_->send(tax);
  ASSERT_TRUE(sim_->wait_handled(before + 1, 2000));
  const Bytes cut = peer_->drain(50);
  EXPECT_EQ(cut.size(), 2 * 54 + 27u);

  // Frames paced apart: the second frame is not on the line yet when the first has been read.
  sim_->inject({.command = 0x39, .kind = FaultKind::PacketDelay, .arg = 300});
  peer_->send(tax);
  EXPECT_EQ(peer_->read_frame().size(), 54u);
  EXPECT_TRUE(peer_->drain(0).empty());
  EXPECT_EQ(peer_->read_answer().size(), 4u);
}

TEST_F(SimLine, PersistentFaultsStayUntilCleared) {
  sim_->inject({.command = -1, .kind = FaultKind::Error, .arg = 47, .persistent = true});
  const Bytes er47{0x45, 0x52, 0x00, 0x05, 0x2F};
  for (int i = 0; i < 3; ++i) {
    const Bytes a = exchange(i % 2 ? kOnline : kCurrent);
    ASSERT_EQ(a.size(), 7u);
    EXPECT_EQ(Bytes(a.begin(), a.begin() + 5), er47);
  }
  sim_->clear_faults();
  EXPECT_EQ(exchange(kCurrent), kCurrentIs21);
}

TEST_F(SimLine, IssueOverTheLineAdvancesTheNumberAndLimitsAreEnforced) {
  auto answer = exchange(request_frame(0x34, testing::issue_payload(1250)));
  ASSERT_EQ(answer.size(), 88u);
  EXPECT_EQ(get_u32(exchange(kCurrent), 4), 22u);
  sim_->update_state([](MachineState& s) { s.taxpayer.single_limit = 1000; });
  EXPECT_EQ(exchange(request_frame(0x34, testing::issue_payload(1250))),
            (Bytes{0x45, 0x52, 0x00, 0x05, 0x12, 0xE9, 0xEF}));
  EXPECT_EQ(get_u32(exchange(kCurrent), 4), 22u);
  EXPECT_EQ(sim_->state().invoices.size(), 21u);
}

// Whether an issue was made when its answer went wrong: a lost request or a refusal leaves the processor as it
// was; a lost, damaged or late answer follows an invoice that is issued and already in the state file.
TEST(SimStateFile, AnIssueIsKeptUnlessItsRequestWasDroppedOrRefused) {
  char dir_template[] = "/tmp/karvex-sim-test-XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string path = std::string(dir_template) + "/processor.state";
  SimOptions o = test_options();
  o.state_file = path;
  auto invoices_in_file = [&] {
    std::string why;
    auto s = load_state_file(path, why);
    return s ? s->invoices.size() : 0u;
  };
  struct Case {
    FaultKind kind;
    int arg;
    bool issued;
  };
  const std::vector<Case> cases = {
      {FaultKind::Drop, -1, false},     {FaultKind::Error, 18, false}, {FaultKind::NotReady, -1, false},
      {FaultKind::Lost, -1, true},      {FaultKind::BadCrc, -1, true}, {FaultKind::Cut, -1, true},
      {FaultKind::BadLength, -1, true}, {FaultKind::Noise, -1, true},  {FaultKind::Owed, -1, true},
      {FaultKind::Late, 10, true},
  };
  Simulator sim(o);
  std::string why;
  ASSERT_TRUE(sim.start(&why)) << why;
  Peer peer(sim.device_path());
  for (const auto& c : cases) {
    const std::string name = fault_kind_name(c.kind);
    const std::size_t before = sim.state().invoices.size();
    sim.inject({.command = 0x34, .kind = c.kind, .arg = c.arg});
    const std::size_t handled = sim.requests_handled();
    peer.send(request_frame(0x34, testing::issue_payload(1250)));
    ASSERT_TRUE(sim.wait_handled(handled + 1, 2000)) << name;
    peer.drain(30);
    EXPECT_EQ(sim.state().invoices.size(), before + (c.issued ? 1 : 0)) << name;
    EXPECT_EQ(invoices_in_file(), sim.state().invoices.size()) << name;
  }
  // The invoice is in the file while its answer is still on its way, so a processor killed then still has it.
  const std::size_t before = sim.state().invoices.size();
  sim.inject({.command = 0x35, .kind = FaultKind::Late, .arg = 600000});
  peer.send(request_frame(0x35, testing::return_payload(sim.state().invoices.back().number)));
  for (int i = 0; i < 500 && invoices_in_file() == before; ++i) ::usleep(10000);
  EXPECT_EQ(invoices_in_file(), before + 1);
  EXPECT_TRUE(peer.drain(0).empty());
  sim.stop();
  std::remove(path.c_str());
  ::rmdir(dir_template);
}

TEST_F(SimLine, PeerMayCloseAndReopenTheLine) {
  EXPECT_EQ(exchange(kOnline).size(), 6u);
  peer_.reset();
  peer_ = std::make_unique<Peer>(sim_->device_path());
  ASSERT_TRUE(peer_->ok());
  EXPECT_EQ(exchange(kCurrent), kCurrentIs21);
}

TEST_F(SimLine, PacedAnswersAreUnchanged) {
  sim_->stop();
  SimOptions o = test_options();
  o.pace_baud = 38400;
  start(o);
  EXPECT_EQ(exchange(kCurrent), kCurrentIs21);
}

TEST(SimDevice, ServesAGivenSerialDevice) {
  // The device here is the slave side of a pty of the test's own; the test talks on its master.
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  char name[128];
  ASSERT_EQ(ptsname_r(master, name, sizeof name), 0);
  SimOptions o = test_options();
  o.device = name;
  o.baud = 38400;
  Simulator sim(o);
  std::string why;
  ASSERT_TRUE(sim.start(&why)) << why;
  EXPECT_EQ(sim.device_path(), name);
  ASSERT_EQ(::write(master, kCurrent.data(), kCurrent.size()), static_cast<ssize_t>(kCurrent.size()));
  Bytes got;
  while (got.size() < kCurrentIs21.size()) {
    pollfd p{master, POLLIN, 0};
    if (::poll(&p, 1, 2000) <= 0) break;
    std::uint8_t b[64];
    const ssize_t n = ::read(master, b, sizeof b);
    if (n <= 0) break;
    got.insert(got.end(), b, b + n);
  }
  EXPECT_EQ(got, kCurrentIs21);
  sim.stop();
  ::close(master);

  SimOptions missing = test_options();
  missing.device = "/nonexistent/ttyS9";
  Simulator absent(missing);
  EXPECT_FALSE(absent.start(&why));
  EXPECT_NE(why.find("/nonexistent/ttyS9"), std::string::npos) << why;
}

TEST(SimStateFile, StateSurvivesARestart) {
  char dir_template[] = "/tmp/karvex-sim-test-XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string path = std::string(dir_template) + "/processor.state";
  SimOptions o = test_options();
  o.state_file = path;
  {
    Simulator sim(o);
    std::string why;
    ASSERT_TRUE(sim.start(&why)) << why;
    Peer peer(sim.device_path());
    peer.send(request_frame(0x34, testing::issue_payload(1250)));
    ASSERT_EQ(peer.read_frame().size(), 88u);
    peer.send(request_frame(0x31, {}));
    ASSERT_EQ(peer.read_frame().size(), 24u);
  }
  {
    o.seed.invoices = 0;  // a present state file wins over seeding
    Simulator sim(o);
    std::string why;
    ASSERT_TRUE(sim.start(&why)) << why;
    Peer peer(sim.device_path());
    peer.send(kCurrent);
    const Bytes a = peer.read_frame();
    ASSERT_EQ(a.size(), 10u);
    EXPECT_EQ(get_u32(a, 4), 22u);
    EXPECT_EQ(sim.state().rolls.size(), 4u);
  }
  {
    FILE* f = std::fopen(path.c_str(), "w");
    std::fputs("not a state\n", f);
    std::fclose(f);
    Simulator sim(o);
    std::string why;
    EXPECT_FALSE(sim.start(&why));
    EXPECT_NE(why.find("state"), std::string::npos) << why;
  }
  std::remove(path.c_str());
  ::rmdir(dir_template);
}

}  // namespace
}  // namespace karvex::sim
