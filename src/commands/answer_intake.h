#pragma once
// Answer intake: checks complete answer frames, dispatches them to their decoders and hands the decoded
// records on — to the store's record writers, to the reply values of the host's query calls, or to a
// display text for the completion step.
//
// Nothing here touches the serial port, a timer, a window or a database: the store and the queue of a
// multi-frame answer are reached through the two small interfaces below, the log through callbacks. The link
// driver calls, per completed frame (a "WT" frame is never passed on):
//   - one frame per test item (`CheckSelf`):                 TakeAnswerFrame, then the completion step;
//   - frame count above 1 or packets to follow above 0:      QueueAnswerFrame; after the frame with P = 0
//                                                             TakeQueuedAnswer, then the completion step;
//   - otherwise (one-frame answer):                          TakeAnswerFrame, then the completion step.
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "commands/answer_records.h"
#include "commands/caller_modes.h"
#include "commands/command_in_flight.h"
#include "commands/decoders.h"

namespace karvex {

// ---------------------------------------------------------------------------------------------------------
// Interfaces to the store

// The command tables and record writers. The store opens the tables of a command (clearing those that each
// answer refills) before a frame is dispatched and closes them afterwards; every writer returns 0 or the
// store's error code, which becomes the frame's result.
class AnswerStore {
public:
    virtual ~AnswerStore() = default;

    virtual ResultCode OpenCommandTables(std::uint8_t command) = 0;
    // Deletes every row of the command's target table: a queued answer replaces the table's content.
    virtual ResultCode ClearCommandTable(std::uint8_t command) = 0;
    virtual void CloseCommandTables(std::uint8_t command) = 0;
    // Closes the tables of an answer that did not arrive whole: its writes are undone, the tables keep
    // what they held before it. A store without transactions has nothing to undo.
    virtual void AbandonCommandTables(std::uint8_t command) { CloseCommandTables(command); }
    // The store itself could not write a frame of the answer now open (a full disk, an I/O error, its
    // transaction undone): the answer cannot be kept whole, and is given up rather than kept in part.
    virtual bool WriteFailed() const { return false; }

    // `mode`: kRollAdd always adds a row (`DispenseInvoice`), kRollByKey overwrites the row with the same
    // 发票代码单卷发票起始号 or adds one (`AlreadyInvoice`).
    virtual ResultCode SaveInvoiceNumber(const InvoiceRollRecord& roll, int mode) = 0;
    virtual ResultCode SaveMachineData(const MachineDataRecord& rec) = 0;
    virtual ResultCode SaveUserInformation(const UserInformationRecord& rec) = 0;
    virtual ResultCode SaveTaxInformation(const TaxItemRecord& rec) = 0;
    virtual ResultCode SaveInvUseSum(const InvUseSumRecord& rec) = 0;
    virtual ResultCode SaveDeclareData(const DeclareDataRecord& rec) = 0;
    virtual ResultCode SaveInvPrintData(const InvPrintDataRecord& rec) = 0;
    virtual ResultCode SaveDayTrade(const DayTradeRecord& rec) = 0;
    virtual ResultCode SaveIdiograph(const SignatureRecord& rec) = 0;
};

inline constexpr int kRollByKey = 1;
inline constexpr int kRollAdd = 2;

// The first-in, first-out queue of the frames of a multi-frame answer (the store's ARecord table:
// 记录号 = frame number, 记录 = the whole frame as hex text, CRC included).
class AnswerQueue {
public:
    virtual ~AnswerQueue() = default;
    virtual ResultCode Append(int frame_number, const std::string& frame_hex) = 0;
    virtual std::size_t Count() const = 0;
    // Reads and deletes the oldest row; a non-zero code when there is none or it cannot be read.
    virtual ResultCode TakeFirst(std::string& frame_hex) = 0;
    virtual void Clear() = 0;
};

// A queue held in memory, for tests and for running without a store.
class MemoryAnswerQueue final : public AnswerQueue {
public:
    ResultCode Append(int frame_number, const std::string& frame_hex) override;
    std::size_t Count() const override { return rows_.size(); }
    ResultCode TakeFirst(std::string& frame_hex) override;
    void Clear() override { rows_.clear(); }
    const std::deque<std::pair<int, std::string>>& rows() const { return rows_; }

private:
    std::deque<std::pair<int, std::string>> rows_;
};

// ---------------------------------------------------------------------------------------------------------
// State and results

struct DispatchOutcome {
    // 0, 4130 (the completion step continues a chain), 129, 130, a conversion code, a writer's code, the
    // processor's code of an "ER" answer, 20048 "NP", 22356 "WT", 145 for an unknown self-test item.
    ResultCode result = result::kSuccess;
    // What the completion step shows the operator; empty for "name + 成功".
    std::string display_text;
    // `CheckSelf` frames: the item's log text, panel label and next viewer line.
    std::optional<CheckselfReport> checkself;
    // A "WT" frame: the link restarts its answer time-out.
    bool reset_timeout = false;
};

// Called once per frame of a queued answer: command, the frame's result and its packets-to-follow byte.
using PacketReporter = std::function<void(std::uint8_t command, ResultCode result, int packets_to_follow)>;
// Lets pending window events run between frames of a long replay.
using YieldHook = std::function<void()>;

// ---------------------------------------------------------------------------------------------------------
// Intake

// Checks the frame's length, packets rule and fields for the command's code, decodes it and carries out what
// follows the decode on the command: store writes, reply values, display texts, the roll count-down of
// `DispenseInvoice` (4130 while rolls remain), the chain results of caller modes 6 and 8 (4130). Does not
// look at the CRC or the status letters.
DispatchOutcome DispatchAnswer(CommandInFlight& command, FrameView frame, AnswerStore& store);

// One complete frame: size and CRC (129, 130), then the status letters. "OK" opens the command's tables,
// dispatches and closes them; "ER" gives the processor's code; "NP" 20048; "WT" 22356 with reset_timeout.
DispatchOutcome TakeAnswerFrame(CommandInFlight& command, FrameView frame, AnswerStore& store);

// Queues one frame of a multi-frame answer as hex text under `frame_number`; the queue's code.
ResultCode QueueAnswerFrame(AnswerQueue& queue, FrameView frame, int frame_number);

// Takes the oldest queued frame back into `frame`: the queue's code, or 106/144 for a row that is no hex.
ResultCode UnqueueAnswerFrame(AnswerQueue& queue, Bytes& frame);

// Replays every queued frame in order after the last one has arrived. The command's tables are opened and
// its target table emptied first. Each frame is checked (size, CRC, status letters) and an "OK" frame is
// dispatched; a frame whose result is neither 0 nor 4130 is a failed frame. After the fourth failed frame
// the rest of the queue is dropped undecoded; after a frame the store itself could not write, the whole answer
// is (the tables keep what they held). The result is the code of the last failed frame, else 4130
// when a frame asked for the chain to go on, else 0; the display text is that of the last frame that
// had one.
DispatchOutcome TakeQueuedAnswer(CommandInFlight& command, AnswerQueue& queue, AnswerStore& store,
                                 const PacketReporter& report = {}, const YieldHook& yield = {});

inline constexpr int kMaxFailedFrames = 4;

// The frames' results of a multi-frame answer, counted the same way however it is stored.
struct AnswerTally {
    int failures = 0;
    bool chain = false;
    ResultCode last_failure = result::kSuccess;

    void Count(ResultCode frame_result);
    // Enough failed frames that the rest of the answer is dropped undecoded.
    bool Exhausted() const { return failures >= kMaxFailedFrames; }
    // The last failed frame's code, else 4130 when a frame asked for the chain to go on, else 0.
    ResultCode Overall() const;
};

// A multi-frame answer stored frame by frame as it arrives, in the answer's one transaction, so that only
// the commit is left after its last frame. Each frame is checked and dispatched as TakeQueuedAnswer would
// replay it, with the same count of failures; the frames' results are kept and reported when the answer is
// finished, so the log reads the same whichever way the answer was stored. An answer that never gets its
// last frame (a time-out, a lost port, a frame of another command) is abandoned: its writes are undone and
// the tables keep the last whole answer, as when a queue is dropped before its replay.
class AnswerStream {
public:
    // Opens the command's tables and empties its target table; on a non-zero code nothing is left open.
    ResultCode Begin(CommandInFlight& command, AnswerStore& store);
    bool IsOpen() const { return open_; }
    void Take(CommandInFlight& command, FrameView frame, AnswerStore& store);
    // After the frame with no packets to follow: reports every frame taken, closes (commits) the tables
    // and gives the answer's outcome as TakeQueuedAnswer would.
    DispatchOutcome Finish(CommandInFlight& command, AnswerStore& store, const PacketReporter& report = {},
                           const YieldHook& yield = {});
    void Abandon(AnswerStore& store);

private:
    bool open_ = false;
    bool lost_ = false;  // the store could not write a frame: the answer is given up at its end
    std::uint8_t code_ = 0;
    AnswerTally tally_;
    std::string display_text_;
    std::vector<std::pair<ResultCode, std::uint8_t>> taken_;  // each frame's result and packets to follow
};

}  // namespace karvex
