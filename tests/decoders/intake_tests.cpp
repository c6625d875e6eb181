#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "answer_frames.h"
#include "commands/answer_intake.h"

namespace karvex {
namespace {

using test::Answer;
using test::Payload;
using test::Recrc;

// Records what the intake asks of the store.
class FakeStore final : public AnswerStore {
public:
    std::vector<std::string> calls;
    std::vector<InvoiceRollRecord> rolls;
    std::vector<int> roll_modes;
    std::vector<TaxItemRecord> tax_items;
    std::vector<InvPrintDataRecord> invoices;
    ResultCode writer_result = 0;
    ResultCode open_result = 0;
    bool write_fails = false;  // the store itself cannot write: every writer fails and says so

    ResultCode OpenCommandTables(std::uint8_t) override {
        calls.push_back("open");
        return open_result;
    }
    ResultCode ClearCommandTable(std::uint8_t) override {
        calls.push_back("clear");
        return 0;
    }
    void CloseCommandTables(std::uint8_t) override { calls.push_back("close"); }
    void AbandonCommandTables(std::uint8_t) override { calls.push_back("abandon"); }
    bool WriteFailed() const override {
        return write_fails && std::find(calls.begin(), calls.end(), "tax") != calls.end();
    }
    ResultCode SaveInvoiceNumber(const InvoiceRollRecord& roll, int mode) override {
        rolls.push_back(roll);
        roll_modes.push_back(mode);
        return Saved("roll");
    }
    ResultCode SaveMachineData(const MachineDataRecord&) override { return Saved("machine"); }
    ResultCode SaveUserInformation(const UserInformationRecord&) override { return Saved("user"); }
    ResultCode SaveTaxInformation(const TaxItemRecord& rec) override {
        tax_items.push_back(rec);
        return Saved("tax");
    }
    ResultCode SaveInvUseSum(const InvUseSumRecord&) override { return Saved("sum"); }
    ResultCode SaveDeclareData(const DeclareDataRecord&) override { return Saved("declare"); }
    ResultCode SaveInvPrintData(const InvPrintDataRecord& rec) override {
        invoices.push_back(rec);
        return Saved("print");
    }
    ResultCode SaveDayTrade(const DayTradeRecord&) override { return Saved("day"); }
    ResultCode SaveIdiograph(const SignatureRecord&) override { return Saved("sign"); }

private:
    ResultCode Saved(const char* what) {
        calls.push_back(what);
        return write_fails ? 142 : writer_result;
    }
};

Bytes Roll31() {
    return Answer(Payload()
                      .Add({0x12, 0x34, 0x56, 0x78, 0x90, 0x12, 0x34, 0x56, 0x78, 0x90})
                      .Add({0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x03, 0xE8}));
}

Bytes TaxItem(int index, int packets_to_follow) {
    return Answer(Payload().Add({0x00, index, 0x01, 0x02, 0x03, 0x04, 0x00, 0x11}).Text("ITEM", 20).Text("item", 20),
                  packets_to_follow);
}

Bytes UserInfo() {
    return Answer(Payload()
                      .Fill(0x11, 24)
                      .Text("ACME", 40)
                      .Fill(0x22, 8)
                      .Text("TAX-42", 20)
                      .Fill(0x33, 4)
                      .Add({0x01})
                      .Add({0x20, 0x06, 0x06, 0x30})
                      .Fill(0x00, 12));
}

// Print data of invoice 1234 with goods in slot 1 (quantity 3.00, amount 10.00) and slot 2 (quantity 0).
Bytes PrintData(int packets_to_follow = 0) {
    Payload p;
    p.Add({0x00, 0x20, 0x05, 0x03, 0x15, 0x00, 0x00, 0x04, 0xD2, 0x02, 0x00, 0x00, 0x03, 0xE8})
        .Add({0x00, 0x00, 0x00, 0x7B, 0x00, 0x00, 0x01, 0xC8})
        .Add({0x00, 0x00, 0x00, 0x09, 0x00, 0x00})
        .Text("PAYER", 40);
    p.Text("RICE", 20).Add({0x01, 0x2C, 0x03, 0x00, 0x00, 0x03, 0xE8});
    p.Text("GIFT", 20).Add({0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00});
    p.Fill(0, 27 * 4);
    return Answer(p, packets_to_follow);
}

Bytes Corrupt(Bytes frame) {
    frame.back() ^= 0x01;
    return frame;
}

// The intake's steps with `command` answered as `code`: one command per case, or the links of a chain.
DispatchOutcome Take(std::uint8_t code, FrameView frame, CommandInFlight& command, AnswerStore& store) {
    command.code = code;
    return TakeAnswerFrame(command, frame, store);
}

DispatchOutcome TakeQueued(std::uint8_t code, AnswerQueue& queue, CommandInFlight& command, AnswerStore& store,
                           const PacketReporter& report = {}, const YieldHook& yield = {}) {
    command.code = code;
    return TakeQueuedAnswer(command, queue, store, report, yield);
}

// ---- One-frame intake -----------------------------------------------------------------------------------

TEST(SingleAnswer, CurrentInvoiceNumberAndItsDisplayText) {
    FakeStore store;
    CommandInFlight command;
    const Bytes frame = BytesOf({0x4F, 0x4B, 0x00, 0x08, 0x00, 0x00, 0x04, 0xD2, 0x27, 0x25});
    const DispatchOutcome out = Take(0x33, frame, command, store);
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.display_text, "当前发票号：0000001234");
    EXPECT_EQ(command.replies.current_inv_number, "0000001234");
    EXPECT_EQ(store.calls, (std::vector<std::string>{"open", "close"}));
}

TEST(SingleAnswer, StatusLettersAndCrc) {
    const struct {
        Bytes frame;
        ResultCode expected;
        bool reset_timeout;
    } cases[] = {
        {BytesOf({0x45, 0x52, 0x00, 0x05, 0x23, 0x69, 0x4A}), 35, false},  // "ER" 发票已用完
        {Answer(Payload().Add({0x00}), 0, "ER"), 135, false},              // "ER" with code 0 is no success
        {Answer(Payload(), 0, "ER"), 129, false},                          // "ER" without its code byte
        {Answer(Payload(), 0, "NP"), 20048, false},
        {Answer(Payload(), 0, "WT"), 22356, true},
        {BytesOf({0x4F, 0x4B, 0x00, 0x08, 0x00, 0x00, 0x04, 0xD2, 0x27, 0x24}), 130, false},
    };
    for (const auto& c : cases) {
        FakeStore store;
        CommandInFlight command;
        const DispatchOutcome out = Take(0x33, c.frame, command, store);
        EXPECT_EQ(out.result, c.expected);
        EXPECT_EQ(out.reset_timeout, c.reset_timeout);
        EXPECT_TRUE(store.calls.empty()) << "tables opened for a frame that is not data";
        EXPECT_EQ(command.replies.current_inv_number, "");
    }
}

TEST(SingleAnswer, DisplayTextsOfShowOnlyAnswers) {
    const struct {
        std::uint8_t command;
        Bytes frame;
        const char* text;
    } cases[] = {
        {0x3A, BytesOf({0x4F, 0x4B, 0x00, 0x0A, 0x20, 0x05, 0x03, 0x15, 0x15, 0x30, 0xCC, 0x88}),
         "税控器时间：2005-03-15 15：30"},
        {0x41, BytesOf({0x4F, 0x4B, 0x00, 0x05, 0x05, 0x1E, 0xAB}), "错误的状态字"},
        {0xA5, BytesOf({0x4F, 0x4B, 0x00, 0x06, 0x90, 0x00, 0xD5, 0x72}), "响应报文数据： 90 00\n状态码： 0090"},
        {0xA5, Answer(Payload().Add({0x90, 0x00}), 1), ""},  // more card frames follow: nothing shown
        {0x30, BytesOf({0x4F, 0x4B, 0x00, 0x04, 0xC9, 0x9A}), ""},
    };
    for (const auto& c : cases) {
        FakeStore store;
        CommandInFlight command;
        const DispatchOutcome out = Take(c.command, c.frame, command, store);
        EXPECT_EQ(out.result, 0);
        EXPECT_EQ(out.display_text, c.text);
    }
}

TEST(SingleAnswer, DispenseCountsDownToTheLastRoll) {
    FakeStore store;
    CommandInFlight command;
    command.chain.rolls_to_dispense = 3;
    EXPECT_EQ(Take(0x31, Roll31(), command, store).result, 4130);
    EXPECT_EQ(store.rolls.size(), 1u);
    EXPECT_EQ(store.roll_modes.back(), kRollAdd);
    EXPECT_EQ(Take(0x31, Roll31(), command, store).result, 4130);
    EXPECT_EQ(Take(0x31, Roll31(), command, store).result, 0);
    EXPECT_EQ(store.rolls.size(), 3u);
    EXPECT_EQ(command.chain.rolls_to_dispense, 0);
}

TEST(SingleAnswer, WrongLengthStoresNothing) {
    FakeStore store;
    CommandInFlight command;
    EXPECT_EQ(Take(0x32, Roll31(), command, store).result, 129);  // L 22 for AlreadyInvoice
    EXPECT_TRUE(store.rolls.empty());
}

TEST(SingleAnswer, WriterErrorIsTheResult) {
    FakeStore store;
    store.writer_result = -2147467259;
    CommandInFlight command;
    command.chain.rolls_to_dispense = 2;
    EXPECT_EQ(Take(0x31, Roll31(), command, store).result, -2147467259);
}

TEST(SingleAnswer, TableOpenFailureStopsTheDispatch) {
    FakeStore store;
    store.open_result = 91;
    CommandInFlight command;
    EXPECT_EQ(Take(0x31, Roll31(), command, store).result, 91);
    EXPECT_TRUE(store.rolls.empty());
}

// ---- Chains of the host's query calls -----------------------------------------------------------------

TEST(Chains, PrintDataQueryFillsTheHostReply) {
    FakeStore store;
    CommandInFlight command;
    command.caller = kCallerPrintDataChain;
    command.replies.host.goods[5].name = "stale from an earlier query";

    EXPECT_EQ(Take(0xB1, PrintData(), command, store).result, 4130);
    const HostReply& reply = command.replies.host;
    EXPECT_EQ(reply.print_date, "20050315");
    EXPECT_EQ(reply.inv_num, "0000001234");
    EXPECT_EQ(reply.inv_type, 2);
    EXPECT_EQ(reply.o_inv_num, "0000000009");
    EXPECT_EQ(reply.tax_code, "00000001230000000456");
    EXPECT_EQ(reply.pay_unit, "PAYER" + std::string(35, ' '));
    EXPECT_EQ(reply.goods[0].name, "RICE" + std::string(16, ' '));
    EXPECT_EQ(reply.goods[0].quantity, "3");
    EXPECT_EQ(reply.goods[0].amount, "10");
    EXPECT_EQ(reply.goods[0].price, "3.33333333333333");
    EXPECT_EQ(reply.goods[1].quantity, "0");
    EXPECT_EQ(reply.goods[1].price, "");  // no price from a zero quantity
    for (int k = 2; k < 6; ++k) EXPECT_EQ(reply.goods[k].name, "") << "slot " << k + 1;
    EXPECT_TRUE(store.invoices.empty());

    EXPECT_EQ(Take(0x38, UserInfo(), command, store).result, 4130);
    EXPECT_EQ(reply.sale_unit, "ACME" + std::string(36, ' '));
    EXPECT_EQ(reply.tax_number, "TAX-42" + std::string(14, ' '));

    const Bytes machine = Answer(Payload()
                                     .Add({0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88})
                                     .Add({0x20, 0x04, 0x01, 0x02})
                                     .Text("HW", 18)
                                     .Text("SW", 18));
    EXPECT_EQ(Take(0x37, machine, command, store).result, 0);
    EXPECT_EQ(reply.machine_number, "1122334455667788");
    EXPECT_EQ(std::count(store.calls.begin(), store.calls.end(), "machine"), 0);
}

TEST(Chains, OtherModesStoreTheAnswers) {
    FakeStore store;
    CommandInFlight command;
    command.caller = kCallerConsole;
    EXPECT_EQ(Take(0x42, PrintData(), command, store).result, 0);
    ASSERT_EQ(store.invoices.size(), 1u);
    EXPECT_TRUE(store.invoices[0].goods[1]);
    EXPECT_FALSE(store.invoices[0].goods[2]);
    EXPECT_EQ(Take(0x38, UserInfo(), command, store).result, 0);
    EXPECT_EQ(command.replies.host.sale_unit, "");

    command.caller = kCallerRollSummaryChain;
    EXPECT_EQ(Take(0x38, UserInfo(), command, store).result, 4130);
    EXPECT_EQ(command.replies.host.user_name, "ACME" + std::string(36, ' '));
}

// ---- Self-test frames -----------------------------------------------------------------------------------

TEST(CheckselfFrames, CallerModeReportsOnlyTheLastItem) {
    FakeStore store;
    CommandInFlight command;
    command.chain.checkself_mask = 0x1C;
    // RAM parity failed (P 2), RAM step passed (P 1), RAM walk passed (P 0).
    DispatchOutcome out = Take(0xB0, Answer(Payload().Add({0x04, 0x01}), 2), command, store);
    EXPECT_EQ(out.result, 0);
    ASSERT_TRUE(out.checkself);
    EXPECT_EQ(out.checkself->next_line, "正在RAM步进法检查...");
    EXPECT_EQ(command.caller, kCallerHost);
    Take(0xB0, Answer(Payload().Add({0x08, 0x00}), 1), command, store);
    out = Take(0xB0, BytesOf({0x4F, 0x4B, 0x00, 0x06, 0x10, 0x00, 0x55, 0x7B}), command, store);
    ASSERT_TRUE(out.checkself);
    EXPECT_EQ(out.checkself->box, SelfTestBox::Ram);
    EXPECT_EQ(out.checkself->label_text, "自检失败");
    EXPECT_EQ(out.checkself->next_line, "");
    EXPECT_EQ(command.caller, kCallerConsole);
    EXPECT_FALSE(command.chain.checkself_failed);

    out = Take(0xB0, Answer(Payload().Add({0x05, 0x00})), command, store);
    EXPECT_EQ(out.result, 145);
    EXPECT_EQ(command.caller, kCallerConsole);
}

// ---- Queued answers -----------------------------------------------------------------------------------

struct Reported {
    ResultCode result;
    int packets_to_follow;
    bool operator==(const Reported&) const = default;
};

TEST(QueuedAnswers, BadCrcFrameIsSkippedAndTheRestStored) {
    MemoryAnswerQueue queue;
    ASSERT_EQ(QueueAnswerFrame(queue, TaxItem(1, 2), 1), 0);
    ASSERT_EQ(QueueAnswerFrame(queue, Corrupt(TaxItem(2, 1)), 2), 0);
    ASSERT_EQ(QueueAnswerFrame(queue, TaxItem(3, 0), 3), 0);
    EXPECT_EQ(queue.rows()[0].first, 1);
    EXPECT_EQ(queue.rows()[0].second.substr(0, 8), "4F4B0234");

    FakeStore store;
    CommandInFlight command;
    std::vector<Reported> reports;
    int yields = 0;
    const DispatchOutcome out = TakeQueued(
        0x39, queue, command, store,
        [&](std::uint8_t, ResultCode result, int p) {
            reports.push_back({result, p});
        },
        [&] { ++yields; });
    EXPECT_EQ(out.result, 130);
    ASSERT_EQ(store.tax_items.size(), 2u);
    EXPECT_EQ(store.tax_items[0].index, 1);
    EXPECT_EQ(store.tax_items[1].index, 3);
    EXPECT_EQ(reports, (std::vector<Reported>{{0, 2}, {130, 1}, {0, 0}}));
    EXPECT_EQ(yields, 3);
    EXPECT_EQ(store.calls.front(), "open");
    EXPECT_EQ(store.calls[1], "clear");
    EXPECT_EQ(store.calls.back(), "close");
    EXPECT_EQ(queue.Count(), 0u);
}

TEST(QueuedAnswers, FourFailedFramesDropTheRest) {
    MemoryAnswerQueue queue;
    QueueAnswerFrame(queue, Corrupt(TaxItem(1, 5)), 1);
    QueueAnswerFrame(queue, TaxItem(2, 4), 2);
    Bytes wrong_length = TaxItem(3, 3);
    wrong_length.insert(wrong_length.end() - 2, 0x00);
    wrong_length[3] = 53;
    QueueAnswerFrame(queue, Recrc(wrong_length), 3);
    QueueAnswerFrame(queue, Corrupt(TaxItem(4, 2)), 4);
    QueueAnswerFrame(queue, Answer(Payload().Add({0x30}), 1, "ER"), 5);  // the processor's refusal
    QueueAnswerFrame(queue, TaxItem(6, 0), 6);

    FakeStore store;
    CommandInFlight command;
    std::vector<Reported> reports;
    const DispatchOutcome out = TakeQueued(0x39, queue, command, store, [&](std::uint8_t, ResultCode r, int p) {
        reports.push_back({r, p});
    });
    EXPECT_EQ(out.result, 48);
    ASSERT_EQ(store.tax_items.size(), 1u);
    EXPECT_EQ(store.tax_items[0].index, 2);
    EXPECT_EQ(reports, (std::vector<Reported>{{130, 5}, {0, 4}, {129, 3}, {130, 2}, {48, 1}}));
    EXPECT_EQ(queue.Count(), 0u);
    EXPECT_EQ(store.calls.back(), "close");
}

TEST(QueuedAnswers, ChainResultsAreNotFailures) {
    MemoryAnswerQueue queue;
    for (int i = 0; i < 5; ++i) QueueAnswerFrame(queue, PrintData(4 - i), i + 1);
    FakeStore store;
    CommandInFlight command;
    command.caller = kCallerPrintDataChain;
    const DispatchOutcome out = TakeQueued(0x42, queue, command, store);
    EXPECT_EQ(out.result, 4130);
    EXPECT_EQ(queue.Count(), 0u);
    EXPECT_EQ(command.replies.host.inv_num, "0000001234");
}

TEST(QueuedAnswers, UnreadableRowCountsAsFailedFrame) {
    MemoryAnswerQueue queue;
    queue.Append(1, "4F4BZZ");
    queue.Append(2, "");
    QueueAnswerFrame(queue, TaxItem(1, 0), 3);
    Bytes frame{0xEE};
    EXPECT_EQ(UnqueueAnswerFrame(queue, frame), 106);
    EXPECT_EQ(frame, Bytes{0xEE});
    EXPECT_EQ(UnqueueAnswerFrame(queue, frame), 144);

    MemoryAnswerQueue again;
    again.Append(1, "4F4B");  // too short to hold even its header
    QueueAnswerFrame(again, TaxItem(1, 0), 2);
    FakeStore store;
    CommandInFlight command;
    EXPECT_EQ(TakeQueued(0x39, again, command, store).result, 129);
    EXPECT_EQ(store.tax_items.size(), 1u);
}

// An answer stored as its frames arrive ends exactly as the replay of its queue would: the same writes in
// the same order, the same outcome, reports and replies.
TEST(StreamedAnswers, EndAsTheReplayOfTheirQueueWould) {
    Bytes wrong_length = TaxItem(3, 3);
    wrong_length.insert(wrong_length.end() - 2, 0x00);
    wrong_length[3] = 53;
    const struct {
        const char* name;
        std::uint8_t code;
        std::uint16_t caller;
        std::vector<Bytes> frames;
        bool storeFails = false;
    } cases[] = {
        {"whole", 0x39, kCallerConsole, {TaxItem(1, 2), TaxItem(2, 1), TaxItem(3, 0)}},
        {"a bad frame", 0x39, kCallerConsole, {TaxItem(1, 2), Corrupt(TaxItem(2, 1)), TaxItem(3, 0)}},
        {"four failures",
         0x39,
         kCallerConsole,
         {Corrupt(TaxItem(1, 5)), TaxItem(2, 4), Recrc(wrong_length), Corrupt(TaxItem(4, 2)),
          Answer(Payload().Add({0x30}), 1, "ER"), TaxItem(6, 0)}},
        {"a chain", 0x42, kCallerPrintDataChain, {PrintData(2), PrintData(1), PrintData(0)}},
        {"print data", 0x43, kCallerConsole, {PrintData(1), PrintData(0)}},
        {"a store that cannot write", 0x39, kCallerConsole, {TaxItem(1, 2), TaxItem(2, 1), TaxItem(3, 0)}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryAnswerQueue queue;
        FakeStore replayed, streamed;
        replayed.write_fails = streamed.write_fails = c.storeFails;
        CommandInFlight byReplay(c.code, c.caller), byStream(c.code, c.caller);
        std::vector<Reported> replayReports, streamReports;
        for (std::size_t i = 0; i < c.frames.size(); ++i) QueueAnswerFrame(queue, c.frames[i], static_cast<int>(i) + 1);
        const DispatchOutcome replay =
            TakeQueuedAnswer(byReplay, queue, replayed, [&](std::uint8_t, ResultCode r, int p) {
                replayReports.push_back({r, p});
            });

        AnswerStream stream;
        ASSERT_EQ(stream.Begin(byStream, streamed), 0);
        for (const Bytes& frame : c.frames) stream.Take(byStream, frame, streamed);
        const DispatchOutcome streamedOut = stream.Finish(byStream, streamed, [&](std::uint8_t, ResultCode r, int p) {
            streamReports.push_back({r, p});
        });

        EXPECT_EQ(streamedOut.result, replay.result);
        EXPECT_EQ(streamedOut.display_text, replay.display_text);
        EXPECT_EQ(streamReports, replayReports);
        EXPECT_EQ(streamed.calls, replayed.calls);
        EXPECT_EQ(byStream.refusal_code, byReplay.refusal_code);
        EXPECT_EQ(byStream.replies.host.inv_num, byReplay.replies.host.inv_num);
        EXPECT_FALSE(stream.IsOpen());
        if (c.storeFails) {
            EXPECT_EQ(streamed.calls, (std::vector<std::string>{"open", "clear", "tax", "abandon"}));
        }
    }
}

// An answer that never gets its last frame undoes what it wrote and is never closed as kept; a store that
// cannot open the tables leaves nothing open.
TEST(StreamedAnswers, AnAnswerCutShortIsUndone) {
    FakeStore store;
    CommandInFlight command(0x39, kCallerConsole);
    AnswerStream stream;
    ASSERT_EQ(stream.Begin(command, store), 0);
    stream.Take(command, TaxItem(1, 2), store);
    stream.Abandon(store);
    EXPECT_EQ(store.calls, (std::vector<std::string>{"open", "clear", "tax", "abandon"}));
    EXPECT_FALSE(stream.IsOpen());

    FakeStore refusing;
    refusing.open_result = 161;
    EXPECT_EQ(stream.Begin(command, refusing), 161);
    EXPECT_FALSE(stream.IsOpen());
    EXPECT_EQ(refusing.calls, (std::vector<std::string>{"open", "abandon"}));
}

}  // namespace
}  // namespace karvex
