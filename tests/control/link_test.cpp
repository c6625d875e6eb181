// The road of a request over a real pseudo-terminal: the control, the serial link, the receive state
// machine, the time-out and the completion step, against the virtual processor.
#include "support/fiscal_fixture.h"

#include <functional>

#include "control/fiscal_access.h"
#include "control/result_box.h"
#include "link/result_codes.h"

namespace karvex::testing {
namespace {

using sim::Fault;
using sim::FaultKind;

class LinkTest : public FiscalFixture {};

TEST_F(LinkTest, OnlineSucceedsAndMarksTheLinkOnLine) {
    ASSERT_EQ(fiscal_->LoadFiscalForm(), 0);
    EXPECT_EQ(ModuleOf(*fiscal_).Status().port, "COM1");
    EXPECT_EQ(fiscal_->FiscalOnline(), 0);
    EXPECT_EQ(fiscal_->Status(), 0);
    EXPECT_EQ(fiscal_->Description(), QString::fromUtf8("0x0：执行成功"));
    EXPECT_EQ(ModuleOf(*fiscal_).Status().link, "已联机");
    EXPECT_TRUE(ui_->messages.empty()) << "a host call shows no message boxes";
}

TEST_F(LinkTest, OnlineWritesTwoStampedGbkLines) {
    FixClock(2005, 3, 15, 9, 5, 7);
    ASSERT_EQ(fiscal_->LoadFiscalForm(), 0);
    // The load's own look at the processor comes first.
    const std::size_t logged = ReadLog().size(), shown = ViewerLines().size();
    ASSERT_EQ(fiscal_->FiscalOnline(), 0);
    // "20050315 09：05：07" + three blanks + "发送联机命令" / "联机成功", GBK, CR LF.
    const std::string stamp =
        "20050315 09\xA3\xBA"
        "05\xA3\xBA"
        "07   ";
    const std::string expected =
        stamp + "\xB7\xA2\xCB\xCD\xC1\xAA\xBB\xFA\xC3\xFC\xC1\xEE\r\n" + stamp + "\xC1\xAA\xBB\xFA\xB3\xC9\xB9\xA6\r\n";
    EXPECT_EQ(ReadLog().substr(logged), expected);
    // The waiting line was replaced by the result line in the viewer.
    auto lines = ViewerLines();
    lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(shown));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find("联机成功"), std::string::npos);
}

TEST_F(LinkTest, NoOpenPortGives132AtOnce) {
    EXPECT_EQ(fiscal_->FiscalOnline(), result::kNoOpenPort);
    EXPECT_EQ(fiscal_->Status(), result::kNoOpenPort);
    EXPECT_EQ(sim_->requests_handled(), 0u);
    EXPECT_EQ(ReadLog(), "") << "nothing was sent, so nothing is logged";
}

TEST_F(LinkTest, NoAnswerTimesOutOnThe31stTick) {
    ASSERT_EQ(fiscal_->LoadFiscalForm(), 0);
    sim_->inject({.command = 0x00, .kind = FaultKind::Silent});
    EXPECT_EQ(WithShortTicks([&] { return fiscal_->FiscalOnline(); }), result::kTimeout);
    EXPECT_EQ(ModuleOf(*fiscal_).Status().link, "超时断开");
    // Which port and device stayed silent, after the code's own message.
    EXPECT_EQ(fiscal_->Description().toStdString().rfind("0x80：通讯超时：Comm1 " + sim_->device_path() + " 无应答", 0),
              0u)
        << fiscal_->Description().toStdString();
    auto lines = ViewerLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find("通讯超时            Fail"), std::string::npos);
    // The link is usable again afterwards.
    EXPECT_EQ(fiscal_->FiscalOnline(), 0);
}

// What the service reports as "online" is the module's state: an open port is not on line before the
// processor accepted the on-line command, and a time-out takes it off line again.
TEST_F(LinkTest, OnLineFromTheOnLineCommandUntilATimeOut) {
    ASSERT_EQ(fiscal_->LoadFiscalForm(), 0);
    EXPECT_FALSE(FiscalAccess(*fiscal_).Line().online);
    ASSERT_EQ(fiscal_->FiscalOnline(), 0);
    EXPECT_TRUE(FiscalAccess(*fiscal_).Line().online);
    sim_->inject({.command = 0x00, .kind = FaultKind::Silent});
    ASSERT_EQ(WithShortTicks([&] { return fiscal_->FiscalOnline(); }), result::kTimeout);
    EXPECT_FALSE(FiscalAccess(*fiscal_).Line().online);
}

TEST_F(LinkTest, AnswerCutHalfWayTimesOutAndIsDiscarded) {
    ASSERT_EQ(fiscal_->LoadFiscalForm(), 0);
    sim_->inject({.command = 0x33, .kind = FaultKind::Cut});
    ControlModule& m = ModuleOf(*fiscal_);
    EXPECT_EQ(WithShortTicks([&] {
                  m.SetCommandResult(result::kCommandUnderWay);
                  if (int r = m.IssueBare(0x33, kCallerHost); r != 0) return r;
                  return m.WaitForCommand();
              }),
              result::kTimeout);
    EXPECT_EQ(fiscal_->FiscalOnline(), 0);
}

TEST_F(LinkTest, WaitFramesRestartTheCount) {
    tickMs_ = 20;
    ModuleOf(*fiscal_).SetTickInterval(std::chrono::milliseconds(tickMs_));
    ASSERT_EQ(fiscal_->LoadFiscalForm(), 0);
    // Eight "WT" frames 150 ms apart: 1.2 s in all, far past the 620 ms a silent line would be given, while
    // each gap leaves the processor's thread almost half a second to spare on a busy machine.
    sim_->inject({.command = 0x00, .kind = FaultKind::Wait, .arg = 8, .delay_ms = 150});
    EXPECT_EQ(fiscal_->FiscalOnline(), 0);
}

TEST_F(LinkTest, NoiseBeforeAFrameIsSkipped) {
    ASSERT_EQ(fiscal_->LoadFiscalForm(), 0);
    sim_->inject({.command = 0x00, .kind = FaultKind::Noise, .arg = 5});
    EXPECT_EQ(fiscal_->FiscalOnline(), 0);
}

TEST_F(LinkTest, AnswerWrittenByteByByteIsAssembled) {
    ASSERT_EQ(fiscal_->LoadFiscalForm(), 0);
    sim_->inject({.command = 0x33, .kind = FaultKind::Slow, .arg = 1});
    ControlModule& m = ModuleOf(*fiscal_);
    m.SetCommandResult(result::kCommandUnderWay);
    ASSERT_EQ(m.IssueBare(0x33, kCallerHost), 0);
    EXPECT_EQ(m.WaitForCommand(), 0);
    EXPECT_EQ(m.Command().replies.current_inv_number.size(), 10u);
}

// The control's own bare sends obey the command table's senders: refused before the line, nothing in flight.
TEST_F(LinkTest, BareSendsOnlyForTheSendersTheTableNames) {
    ASSERT_EQ(fiscal_->LoadFiscalForm(), 0);
    ControlModule& m = ModuleOf(*fiscal_);
    EXPECT_EQ(m.IssueBare(ToByte(CommandCode::LastInvData), kCallerConsole), result::kSenderNotAllowed);
    EXPECT_EQ(m.IssueBare(ToByte(CommandCode::DispenseInvoice), kCallerHost), result::kSenderNotAllowed);
    EXPECT_FALSE(m.InFlight());
    EXPECT_EQ(fiscal_->FiscalOnline(), 0);
}

// Each faulty answer ends the command with its own code, and nothing is sent in its place.
TEST_F(LinkTest, FaultyAnswersEndTheCommandWithTheirCode) {
    ASSERT_EQ(fiscal_->LoadFiscalForm(), 0);
    QString number;
    const auto online = [&] { return fiscal_->FiscalOnline(); };
    const auto currentNumber = [&] { return fiscal_->FiscalGetInvNum(number); };
    const struct {
        const char* what;
        Fault fault;
        std::function<int()> call;
        int code;
        const char* line;         // in the viewer's last line; nullptr: not looked at
        const char* description;  // nullptr: not looked at
    } cases[] = {
        {"next command",
         {.command = 0x00, .kind = FaultKind::NotReady},
         online,
         result::kAnswerNextCommand,
         "税控器请求发送下一命令",
         nullptr},
        {"refusal",
         {.command = 0x00, .kind = FaultKind::Error, .arg = 35},
         online,
         35,
         "联机失败 Err0x23：发票已用完",
         "0x23：发票已用完"},
        {"bad CRC", {.command = 0x00, .kind = FaultKind::BadCrc}, online, result::kCrcError, nullptr, nullptr},
        {"wrong length",
         {.command = 0x33, .kind = FaultKind::BadLength},
         currentNumber,
         result::kWrongAnswerLength,
         nullptr,
         nullptr},
    };
    std::size_t sent = RequestsReceived(*sim_);  // the load's look at the processor
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sim_->inject(c.fault);
        EXPECT_EQ(c.call(), c.code);
        if (c.description) {
            EXPECT_EQ(fiscal_->Description(), QString::fromUtf8(c.description));
        }
        if (c.line) {
            auto lines = ViewerLines();
            ASSERT_FALSE(lines.empty());
            EXPECT_NE(lines.back().find(c.line), std::string::npos) << lines.back();
        }
        // The processor counts a request once its answer is written, which may be after the control read it.
        ASSERT_TRUE(sim_->wait_handled(++sent, 10000));
        EXPECT_EQ(sim_->requests_handled(), sent) << "nothing is sent automatically";
    }
}

TEST_F(LinkTest, StatusReads4128WhileACommandIsUnderWay) {
    ASSERT_EQ(fiscal_->LoadFiscalForm(), 0);
    sim_->inject({.command = 0x00, .kind = FaultKind::Late, .arg = 40});
    int seen = -1;
    QString text;
    QTimer::singleShot(10, [&] {
        seen = fiscal_->Status();
        text = fiscal_->Description();
    });
    EXPECT_EQ(fiscal_->FiscalOnline(), 0);
    EXPECT_EQ(seen, result::kCommandUnderWay);
    EXPECT_TRUE(text.endsWith(QString::fromUtf8("命令开始执行")));
}

TEST_F(LinkTest, PulledDeviceEndsTheCommandAtOnceAndThePortOpensAgain) {
    // With one-second ticks a missed disconnect would show as a 31-second time-out (128), not as 133.
    ModuleOf(*fiscal_).SetTickInterval(std::chrono::milliseconds(1000));
    ASSERT_EQ(fiscal_->LoadFiscalForm(), 0);
    sim_->inject({.command = 0x00, .kind = FaultKind::Late, .arg = 5000});
    QTimer::singleShot(50, [&] { sim_->stop(); });
    EXPECT_EQ(fiscal_->FiscalOnline(), result::kPortLost);
    EXPECT_EQ(ModuleOf(*fiscal_).Status().port, "无");
    EXPECT_EQ(fiscal_->FiscalOnline(), result::kNoOpenPort);

    StartSimulator();
    UseDevice(1, sim_->device_path());
    ModuleOf(*fiscal_).SetTickInterval(std::chrono::milliseconds(tickMs_));
    EXPECT_EQ(fiscal_->LoadFiscalForm(), 0);
    EXPECT_EQ(fiscal_->FiscalOnline(), 0);
}

TEST_F(LinkTest, ConsoleIsShownModelessAndTheLinkStaysOpen) {
    ASSERT_EQ(fiscal_->LoadFiscalForm(), 0);
    EXPECT_EQ(fiscal_->ShowFiscalForm(0, 0), 0);
    EXPECT_EQ(fiscal_->FiscalOnline(), 0);
    EXPECT_NE(ResultCodeText(result::kNotAvailable), "0x86： 未知错误");
}

TEST_F(LinkTest, ConsoleModeCompletionShowsTheDisplayText) {
    ASSERT_EQ(fiscal_->LoadFiscalForm(), 0);
    ControlModule& m = ModuleOf(*fiscal_);
    auto number = sim_->state().current_number();
    ASSERT_TRUE(number.has_value()) << "the seeded processor has a roll in use";
    char expected[11];
    std::snprintf(expected, sizeof expected, "%010u", *number);
    ASSERT_EQ(m.IssueBare(0x33, kCallerConsole), 0);
    m.SetCommandResult(result::kCommandUnderWay);  // console commands don't wait; the test does
    EXPECT_EQ(m.WaitForCommand(), 0);
    ASSERT_EQ(ui_->messages.size(), 1u);
    EXPECT_EQ(ui_->messages[0].title, "获取当前发票号");
    EXPECT_EQ(ui_->messages[0].text, std::string("当前发票号：") + expected);
    EXPECT_EQ(m.Command().replies.current_inv_number, expected);
}

}  // namespace
}  // namespace karvex::testing

#include "log/log_viewer_model.h"

namespace karvex::testing {
namespace {

TEST_F(LinkTest, ViewerModelFollowsTheLogWriters) {
    CommandLog& log = ModuleOf(*fiscal_).Log();
    LogViewerModel model(log.Viewer());
    const int before = model.rowCount();
    log.LogSentCommand("发送联机命令");
    EXPECT_EQ(model.rowCount(), before + 2);
    log.ReplaceLastLogLine("联机成功");
    EXPECT_EQ(model.rowCount(), before + 2);
    EXPECT_TRUE(model.data(model.index(before + 1)).toString().endsWith(QString::fromUtf8("联机成功")));
    for (int i = 0; i < 10005; ++i) log.ShowViewerLine("x");
    EXPECT_EQ(model.rowCount(), 10001);
    EXPECT_EQ(model.SelectedRow(), 10000);
    log.ClearList();
    EXPECT_EQ(model.rowCount(), 0);
}

}  // namespace
}  // namespace karvex::testing

#include "commands/issuers.h"

namespace karvex::testing {
namespace {

TEST(PacketNumbers, PaddedToFourCharacters) {
    EXPECT_EQ(PadPacketNumber(7), "7   ");
    EXPECT_EQ(PadPacketNumber(42), "42  ");
    EXPECT_EQ(PadPacketNumber(123), "123 ");
    EXPECT_EQ(PadPacketNumber(1000), "1000 ");
}

TEST(ResultBox, BoxTextUnderTheGivenTitleOrTheDefaultOne) {
    ScriptedUi ui;
    ShowResultBox(ui, 35, "联机");
    ShowResultBox(ui, 128, "");
    ShowResultBox(ui, 20048, "联机");
    ASSERT_EQ(ui.messages.size(), 3u);
    EXPECT_EQ(ui.messages[0].title, "联机");
    EXPECT_EQ(ui.messages[0].text, "Err：0x23 发票已用完");
    EXPECT_EQ(ui.messages[1].title, "税控器错误");
    EXPECT_EQ(ui.messages[1].text, "Err：0x80 通讯超时");
    EXPECT_EQ(ui.messages[2].text, "Err：0x4E50  未知错误");
}

TEST_F(LinkTest, MultiPacketAnswerIsQueuedAndCompletedOnce) {
    ASSERT_EQ(fiscal_->LoadFiscalForm(), 0);
    ControlModule& m = ModuleOf(*fiscal_);
    const std::size_t items = sim_->state().tax_items.size();
    ASSERT_GE(items, 3u);
    m.SetCommandResult(result::kCommandUnderWay);
    ASSERT_EQ(m.IssueBare(0x39, kCallerConsole), 0);
    EXPECT_EQ(m.WaitForCommand(), 0);
    // One completion, so one message box, after the last packet.
    ASSERT_EQ(ui_->messages.size(), 1u);
    EXPECT_EQ(ui_->messages[0].title, "获取税种税目信息");
    const std::string log = ReadLog();
    EXPECT_NE(log.find("\xBF\xAA\xCA\xBC\xB4\xA6\xC0\xED\xCA\xFD\xBE\xDD\xB0\xFC"), std::string::npos)
        << "\"开始处理数据包\" after the last packet was received";
    EXPECT_NE(log.find("\xCA\xFD\xBE\xDD\xB4\xA6\xC0\xED\xCD\xEA\xB3\xC9"), std::string::npos) << "\"数据处理完成\"";
}

TEST_F(LinkTest, SelfTestCompletesOncePerItemAndTellsTheOperatorOnce) {
    ASSERT_EQ(fiscal_->LoadFiscalForm(), 0);
    ControlModule& m = ModuleOf(*fiscal_);
    const bool boxes[kSelfTestBoxCount] = {true, true, true, true, true};
    IssueResult r = IssueCheckSelf(m.MakeIssueContext(), std::span<const bool, kSelfTestBoxCount>(boxes));
    ASSERT_TRUE(r.sent);
    EXPECT_EQ(m.Command().chain.checkself_mask, 0xFF);
    // Items arrive one frame each, each completed on its own; the console is told after the last one.
    for (int i = 0; i < 400 && ui_->messages.empty(); ++i) Spin(5);
    EXPECT_EQ(fiscal_->Status(), 0);
    ASSERT_EQ(ui_->messages.size(), 1u) << "only the last item is reported in a box";
    EXPECT_EQ(ui_->messages[0].title, "税控器自检");
    bool sawRamWalk = false;
    for (const auto& line : ViewerLines())
        if (line.find("RAM走步法自检成功") != std::string::npos) sawRamWalk = true;
    EXPECT_TRUE(sawRamWalk);
}

}  // namespace
}  // namespace karvex::testing

namespace karvex::testing {
namespace {

TEST_F(LinkTest, PacketsOfATimedOutAnswerAreNotReplayedWithTheNextOne) {
    ASSERT_EQ(fiscal_->LoadFiscalForm(), 0);
    ControlModule& m = ModuleOf(*fiscal_);
    const std::size_t items = sim_->state().tax_items.size();
    ASSERT_GE(items, 3u);
    // The first packet arrives, the second stops half-way: the answer ends with a time-out.
    sim_->inject({.command = 0x39, .kind = FaultKind::Cut, .arg = 1});
    ASSERT_EQ(WithShortTicks([&] {
                  m.SetCommandResult(result::kCommandUnderWay);
                  if (int r = m.IssueBare(0x39, kCallerHost); r != 0) return r;
                  return m.WaitForCommand();
              }),
              result::kTimeout);

    // The next answer is decoded on its own: exactly its own packets are processed.
    m.SetCommandResult(result::kCommandUnderWay);
    ASSERT_EQ(m.IssueBare(0x39, kCallerHost), 0);
    EXPECT_EQ(m.WaitForCommand(), 0);
    EXPECT_EQ(m.Status().packets, "处理包数： " + PadPacketNumber(static_cast<int>(items)));
}

}  // namespace
}  // namespace karvex::testing

namespace karvex::testing {
namespace {

TEST_F(LinkTest, FollowUpThatCannotBeSentEndsAChainButNotASuccess) {
    ControlModule& m = ModuleOf(*fiscal_);  // no port open: every follow-up send fails with 132
    m.CompleteCommand(0x3C, "", result::kChainContinues, 8);
    EXPECT_EQ(m.GetCommandResult(), result::kNoOpenPort) << "a waiting roll-summary call must not hang";
    m.CompleteCommand(0xB1, "", result::kChainContinues, 6);
    EXPECT_EQ(m.GetCommandResult(), result::kNoOpenPort);
    m.CompleteCommand(0x40, "", result::kSuccess, kCallerHost);
    EXPECT_EQ(m.GetCommandResult(), result::kSuccess) << "the monitor echo itself succeeded";
    m.CompleteCommand(0x38, "", result::kSuccess, kCallerHost);
    EXPECT_EQ(m.GetCommandResult(), result::kSuccess);
}

}  // namespace
}  // namespace karvex::testing

namespace karvex::testing {
namespace {

TEST_F(LinkTest, PacketProgressAndJudgementLinesWordForWord) {
    FixClock(2005, 3, 15, 9, 5, 7);
    const std::string stamp = "20050315 09：05：07   ";
    ControlModule& m = ModuleOf(*fiscal_);
    m.CueCommandSendFinish("获取日交易数据");
    const std::size_t first = ViewerLines().size() - 2;
    auto tail = [&] {
        auto all = ViewerLines();
        return std::vector<std::string>(all.begin() + static_cast<long>(first), all.end());
    };

    // Receiving: a ten-byte label gets two blanks before the packet number.
    m.ShowPacketProgress(1, 1, "日交易数据", true);
    EXPECT_EQ(tail(), (std::vector<std::string>{stamp + "发送获取日交易数据命令", stamp + "日交易数据包号  1   OK",
                                                "接收下一个数据包..."}));
    EXPECT_EQ(m.Status().packets, "接收包数： 1   ");
    m.ShowPacketProgress(2, 0, "日交易数据", true);
    EXPECT_EQ(tail(), (std::vector<std::string>{stamp + "发送获取日交易数据命令", stamp + "日交易数据包号  1   OK",
                                                stamp + "日交易数据包号  2   OK", stamp + "日交易数据接收完成",
                                                stamp + "开始处理数据包", "处理第一个数据包..."}));

    // Processing: the judgement replaces the viewer-only line; packets that remain say so.
    m.ReportPacketResult(0x44, result::kSuccess, PadPacketNumber(1));
    m.ShowPacketProgress(1, 1, "日交易数据", false);
    auto lines = tail();
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[5], stamp + "获取日期段日交易数据1   成功");
    EXPECT_EQ(lines[6], stamp + "日交易数据包号  1   OK") << "replaces the stamped \"等待处理下一数据包\"";
    EXPECT_EQ(lines[7], "处理下一个数据包...");
    EXPECT_EQ(m.Status().packets, "处理包数： 1   ");

    m.ReportPacketResult(0x44, result::kCrcError, PadPacketNumber(0));
    lines = tail();
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines[7], stamp + "获取日期段日交易数据0   失败 Err0x82：CRC 校验错误");
    EXPECT_EQ(lines[8], stamp + "数据处理完成");

    // An empty label is padded to twelve bytes; processing ends with its count in the status bar.
    m.ShowPacketProgress(2, 0, "", false);
    lines = tail();
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_EQ(lines[8], stamp + "包号            2   OK");
    EXPECT_EQ(lines.back(), stamp + "处理完成");
    EXPECT_EQ(m.Status().packets, "处理包数： 2   ");

    // Single answers: no packet number, so no line after the judgement.
    const struct {
        int result;
        const char* line;
    } judged[] = {{result::kChainContinues, "获取用户信息成功"},
                  {result::kAnswerNextCommand, "税控器请求发送下一命令"},
                  {result::kAnswerKeepWaiting, "税控器请求继续等待"},
                  {35, "获取用户信息失败 Err0x23：发票已用完"}};
    for (const auto& j : judged) {
        const std::size_t before = ViewerLines().size();
        m.ReportPacketResult(0x38, j.result, "");
        EXPECT_EQ(ViewerLines().size(), before);
        EXPECT_EQ(ViewerLines().back(), stamp + j.line);
    }
    EXPECT_NE(ReadLog().find("\xB4\xA6\xC0\xED\xCD\xEA\xB3\xC9\r\n"), std::string::npos) << "\"处理完成\" in the file";
}

// The packets-to-follow byte stays at 255 while more than 255 remain; the lines still count on.
TEST_F(LinkTest, PacketLinesCountFramesWhileMoreThan255Follow) {
    ControlModule& m = ModuleOf(*fiscal_);
    m.CueCommandSendFinish("获取日交易数据");
    for (int count = 1; count <= 3; ++count) m.ShowPacketProgress(count, 255, "日交易数据", true);
    const auto lines = ViewerLines();
    ASSERT_GE(lines.size(), 4u);
    for (int count = 1; count <= 3; ++count) {
        const std::string& line = lines[lines.size() - 5 + static_cast<std::size_t>(count)];
        EXPECT_TRUE(line.ends_with("日交易数据包号  " + PadPacketNumber(count) + "OK")) << line;
    }
    EXPECT_EQ(lines.back(), "接收下一个数据包...");
}

TEST_F(LinkTest, NextCommandAnswerInConsoleModeShowsTheUnknownMessage) {
    ASSERT_EQ(fiscal_->LoadFiscalForm(), 0);
    const std::size_t loaded = RequestsReceived(*sim_);
    ControlModule& m = ModuleOf(*fiscal_);
    sim_->inject({.command = 0x00, .kind = FaultKind::NotReady});
    m.SetCommandResult(result::kCommandUnderWay);
    ASSERT_EQ(m.IssueBare(0x00, kCallerConsole), 0);
    EXPECT_EQ(m.WaitForCommand(), result::kAnswerNextCommand);
    ASSERT_EQ(ui_->messages.size(), 1u);
    EXPECT_EQ(ui_->messages[0].title, "联机");
    EXPECT_EQ(ui_->messages[0].text, "Err：0x4E50  未知错误");
    ASSERT_TRUE(sim_->wait_handled(loaded + 1, 10000));
    EXPECT_EQ(sim_->requests_handled(), loaded + 1);
}

}  // namespace
}  // namespace karvex::testing

namespace karvex::testing {
namespace {

TEST_F(LinkTest, WaitingWithNothingInFlightEndsInsteadOfHanging) {
    ASSERT_EQ(fiscal_->LoadFiscalForm(), 0);
    ControlModule& m = ModuleOf(*fiscal_);
    m.SetCommandResult(result::kCommandUnderWay);
    EXPECT_EQ(WithShortTicks([&] { return m.WaitForCommand(); }), result::kTimeout);
    EXPECT_EQ(fiscal_->Status(), result::kTimeout);
}

}  // namespace
}  // namespace karvex::testing

namespace karvex::testing {
namespace {

TEST_F(LinkTest, ErrorCodeBytesAboveTheProcessorsRangeReadAsAnUnknownRefusal) {
    ASSERT_EQ(fiscal_->LoadFiscalForm(), 0);
    // 128 would read as a time-out and 133 as a lost port; the port stays open and usable.
    for (int byte : {128, 133, 200}) {
        sim_->inject({.command = 0x00, .kind = FaultKind::Error, .arg = byte});
        EXPECT_EQ(fiscal_->FiscalOnline(), result::kUnknownProcessorCode) << byte;
        EXPECT_TRUE(fiscal_->Description().contains(QString::number(byte))) << fiscal_->Description().toStdString();
        EXPECT_NE(ViewerLines().back().find("联机失败 Err0x87：税控器以未知错误代码拒绝命令（错误代码 " +
                                            std::to_string(byte) + "）"),
                  std::string::npos);
        EXPECT_EQ(ModuleOf(*fiscal_).Status().port, "COM1");
        EXPECT_EQ(fiscal_->FiscalOnline(), 0);
    }
}

}  // namespace
}  // namespace karvex::testing

#include <functional>

#include "link/frame_codec.h"

namespace karvex::testing {
namespace {

TEST_F(LinkTest, SecondCommandDuringAnUploadIsRefusedAndTheUploadCompletes) {
    // Twenty invoices whose frames come 20 ms apart; 20 ms ticks give each frame 620 ms.
    sim_->stop();
    sim::SimOptions options;
    options.quiet = true;
    options.clock = sim::DateTime{2024, 3, 15, 10, 30, 0};
    options.seed.invoices = 20;
    sim_ = std::make_unique<sim::Simulator>(options);
    ASSERT_TRUE(sim_->start());
    UseDevice(1, sim_->device_path());
    ControlModule& m = ModuleOf(*fiscal_);
    m.SetTickInterval(std::chrono::milliseconds(20));
    ASSERT_EQ(fiscal_->LoadFiscalForm(), 0);
    // The load has looked at the processor (its counter, and its newest invoice for a store that never sold).
    const std::size_t loaded = RequestsReceived(*sim_);
    const auto invoices = sim_->state().invoices;
    ASSERT_EQ(invoices.size(), 20u);
    sim_->inject({.command = 0x42, .kind = FaultKind::PacketDelay, .arg = 20});

    m.SetCommandResult(result::kCommandUnderWay);
    ASSERT_EQ(
        SendNumberPairCommand([&](const Bytes& f) { return m.Start(m.NewCommand(0x42, kCallerConsole), f); }, 0x42,
                              std::to_string(invoices.front().number), std::to_string(invoices.back().number)),
        0);
    for (int i = 0; i < 2000 && m.Command().frames_received < 3; ++i) Spin(2);
    ASSERT_GE(m.Command().frames_received, 3) << "the upload is under way";

    // The operator's current number (F7) and host calls (say from a timer of the host), half way through
    // the upload. Arguments the checks would refuse, with codes of their own or by throwing, are not
    // looked at: the answer is 136 and the word stays the upload's.
    EXPECT_EQ(m.IssueBare(0x33, kCallerConsole), result::kCommandInFlight);
    QString number("keep");
    QString voided[] = {"1", "", "12a"};
    QString s[12];
    std::int32_t n[4] = {};
    double d[2] = {};
    const auto makeInv = [&](int command, int fh, const char* amount) {
        return fiscal_->FiscalMakeInv(command, fh, 0, "", "ACME", 1, "Rice", amount, "1", "1", "1");
    };
    const auto printInv = [&](int command, const char* invNum) {
        s[0] = invNum;
        return fiscal_->GetPrintInv(command, s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7], s[8], s[9], s[10], s[11],
                                    n[0]);
    };
    const auto useSum = [&](const char* invNum) {
        return fiscal_->GetInvUseSum(invNum, s[0], s[1], s[2], s[3], n[0], n[1], d[0], n[2], d[1], s[4], s[5], s[6],
                                     s[7]);
    };
    const std::pair<const char*, std::function<int()>> calls[] = {
        {"current number", [&] { return fiscal_->FiscalGetInvNum(number); }},
        {"online", [&] { return fiscal_->FiscalOnline(); }},
        {"load", [&] { return fiscal_->LoadFiscalForm(); }},
        {"issue", [&] { return makeInv(52, 1, "1"); }},
        {"issue, wrong command byte", [&] { return makeInv(99, 1, "1"); }},
        {"issue, zero quantity", [&] { return makeInv(52, 1, "0"); }},
        {"issue, 分户 number beyond 16 bits", [&] { return makeInv(52, 70000, "1"); }},
        {"void", [&] { return fiscal_->FiscalInvalidateInv(voided[0]); }},
        {"void, no number", [&] { return fiscal_->FiscalInvalidateInv(voided[1]); }},
        {"void, not digits", [&] { return fiscal_->FiscalInvalidateInv(voided[2]); }},
        {"print data", [&] { return printInv(177, ""); }},
        {"print data, wrong command", [&] { return printInv(5, ""); }},
        {"print data by number, none", [&] { return printInv(66, ""); }},
        {"roll summary", [&] { return useSum("1"); }},
        {"roll summary, no number", [&] { return useSum(""); }},
        {"install", [&] { return fiscal_->FiscalInstallInv(0, 0); }},
    };
    for (const auto& [what, call] : calls) {
        EXPECT_EQ(call(), result::kCommandInFlight) << what;
        EXPECT_EQ(fiscal_->Status(), result::kCommandUnderWay) << what << ": the word still belongs to the upload";
        EXPECT_EQ(m.Command().code, 0x42) << what;
    }
    EXPECT_EQ(number, QString("keep"));
    EXPECT_EQ(voided[2], QString("12a")) << "a refused call writes nothing back";
    EXPECT_TRUE(ui_->messages.empty());

    EXPECT_EQ(m.WaitForCommand(), 0);
    EXPECT_EQ(m.Status().packets, "处理包数： " + PadPacketNumber(20));
    ASSERT_EQ(ui_->messages.size(), 1u);
    EXPECT_EQ(ui_->messages[0].title, "按起止号码获取发票打印数据");
    EXPECT_EQ(fiscal_->FiscalGetInvNum(number), 0) << "the next command goes out once the upload is done";
    std::vector<std::string> requests;
    for (const std::string& line : sim_->log_lines()) {
        if (line.rfind("<< ", 0) == 0 && line.find(';') == std::string::npos) requests.push_back(line.substr(9, 2));
    }
    requests.erase(requests.begin(), requests.begin() + static_cast<std::ptrdiff_t>(loaded));
    EXPECT_EQ(requests, (std::vector<std::string>{"42", "33"})) << "nothing went out during the upload";
}

}  // namespace
}  // namespace karvex::testing
