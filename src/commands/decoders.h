#pragma once
// Decoders of the processor's answer frames: pure functions from one complete answer frame to a typed record.
//
// Every decoder takes the whole frame as the link assembled it, from the first status letter to the second
// CRC byte (L + 2 bytes), and returns a result code:
//   0    the record was decoded and `out` holds it;
//   129  the frame's length byte is not the one the command answers with, the frame does not hold L + 2
//        bytes, or packets still follow where the command answers with one frame;
//   96-110, 144  a field failed its conversion (105: a nibble above 9 in a checked BCD field; 98-101: bad
//        GBK bytes);
//   145  a self-test item outside the known ones.
// On any non-zero code `out` is left untouched. The CRC and the status letters are not looked at here: the
// intake checks them before a frame reaches a decoder (see answer_intake.h).
//
// Example: AcceptData_CurrentInv({'O','K',0x00,0x08,0x00,0x00,0x04,0xD2,crc_hi,crc_lo}, rec) -> 0,
//          rec.number == "0000001234".
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "commands/answer_layout.h"
#include "commands/answer_records.h"
#include "commands/catalogue.h"
#include "convert/bytes.h"
#include "link/result_codes.h"

namespace karvex {

using FrameView = std::span<const std::uint8_t>;

// Offsets and sizes shared by every answer frame.
inline constexpr std::size_t kAnswerPacketsOffset = 2;  // packets to follow, P
inline constexpr std::size_t kAnswerLengthOffset = 3;   // L: bytes before the CRC
inline constexpr std::size_t kAnswerPayloadOffset = 4;

// ---------------------------------------------------------------------------------------------------------
// The answer table (its rows are the catalogue's, see commands/catalogue.h)

// The layout of `command`'s answer; codes outside the table get a layout that accepts anything
// (LengthRule::kNone, DecoderKind::kNone) with `command` filled in.
const AnswerLayout& FindAnswerLayout(std::uint8_t command);

// The L the command answers with, or 0 when no single length is expected (`SendStr` "at least 4",
// `CardPowerOn` "any", `Online`, unknown codes).
std::uint8_t ExpectedAnswerLength(std::uint8_t command);

// Data-kind label of the packet progress for `command` ("" when it has none).
std::string_view PacketKindLabel(std::uint8_t command);

// Checks the frame's size, length byte and packets-to-follow byte against `layout`. 0 when the frame may
// be decoded, 129 otherwise. For the card answers (PacketRule::kFollowIsQuiet) a P above 0 also gives 0:
// ask `IsQuietCardFollow` first.
ResultCode CheckAnswerShape(const AnswerLayout& layout, FrameView frame);
ResultCode CheckAnswerShape(std::uint8_t command, FrameView frame);
ResultCode CheckAnswerShape(CommandCode command, FrameView frame);

// True for a card answer (`SendStr`, `CardPowerOn`) whose P is above 0: handled with 0, nothing shown.
bool IsQuietCardFollow(const AnswerLayout& layout, FrameView frame);

// ---------------------------------------------------------------------------------------------------------
// Decoders, one per answer kind

// 0x31 (L 22, P 0, code at 4) or 0x32 (L 23, any P, code at 5). Stamps 分发时间 with `NowStamp`.
ResultCode AcceptData_InvoiceRoll(FrameView frame, std::uint8_t command, InvoiceRollRecord& out);
// 0x33, L 8.
ResultCode AcceptData_CurrentInv(FrameView frame, CurrentInvoiceRecord& out);
// 0x34 / 0x35, L 86.
ResultCode AcceptData_MakeInvoice(FrameView frame, IssueReply& out);
// 0x37, L 52.
ResultCode AcceptData_MachineData(FrameView frame, MachineDataRecord& out);
// 0x38, L 117.
ResultCode AcceptData_UserInformation(FrameView frame, UserInformationRecord& out);
// 0x39, L 52, one tax item per frame.
ResultCode AcceptData_TaxInformation(FrameView frame, TaxItemRecord& out);
// 0x3A, L 10.
ResultCode AcceptData_DateTime(FrameView frame, DateTimeRecord& out);
// 0x3C, L 41.
ResultCode AcceptData_InvUseSum(FrameView frame, InvUseSumRecord& out);
// 0x3E, L 224.
ResultCode AcceptData_DeclareData(FrameView frame, DeclareDataRecord& out);
// 0x3F, 0x42, 0x43, 0xB1, L 234, one invoice per frame.
ResultCode AcceptData_InvPrintData(FrameView frame, InvPrintDataRecord& out);
// 0x41, L 5. Any state byte decodes (an unknown one gets "错误的状态字").
ResultCode AcceptData_ProcessorState(FrameView frame, ProcessorStateRecord& out);
// 0x44, L 197, one day per frame.
ResultCode AcceptData_DayTrade(FrameView frame, DayTradeRecord& out);
// 0x46, L 132.
ResultCode AcceptData_DataIdiograph(FrameView frame, SignatureRecord& out);
// 0xA5, L at least 4, P 0 (check `IsQuietCardFollow` first).
ResultCode AcceptData_CardAnswer(FrameView frame, CardAnswerRecord& out);
// 0xA6, any L, P 0 (check `IsQuietCardFollow` first).
ResultCode AcceptData_CardPowerOn(FrameView frame, CardPowerOnRecord& out);
// 0xB0, L 6, any P: the item byte and its outcome (the item is judged by `DescribeCheckselfItem`).
ResultCode AcceptData_Checkself(FrameView frame, SelfTestItemRecord& out);
// 0xB3, L 11.
ResultCode AcceptData_DateTimeSec(FrameView frame, DateTimeRecord& out);
// 0xBA, L 20.
ResultCode AcceptData_TotalSum(FrameView frame, TotalSumRecord& out);
// The acknowledgements (0x30, 0x36, 0x3B, ...): L 4, P 0.
ResultCode AcceptData_Ack(FrameView frame, std::uint8_t command);

// Decodes any answer through the table: the decoder of `command`'s layout, its record in `out`.
// `Online` and codes outside the table give 0 and monostate without looking at the frame.
ResultCode DecodeAnswer(std::uint8_t command, FrameView frame, AnswerRecord& out);

// ---------------------------------------------------------------------------------------------------------
// Display texts of the completion step

// "当前发票号：" + number.
std::string CurrentInvoiceText(const CurrentInvoiceRecord& rec);
// "税控器时间：yyyy-MM-dd hh：mm", with "：ss" when the record has seconds.
std::string ProcessorTimeText(const DateTimeRecord& rec);
// The status text of a `MachineState` byte ("税控器状态：正常工作", ..., "错误的状态字").
std::string_view ProcessorStateText(std::uint8_t state);
// "响应报文数据： " + data + "\n" + "状态码： " + status.
std::string CardAnswerText(const CardAnswerRecord& rec);
// "响应报文数据： " + data.
std::string CardPowerOnText(const CardPowerOnRecord& rec);
// The four accumulated totals, one line each, separated by two line feeds.
std::string TotalSumText(const TotalSumRecord& rec);

// Shortest decimal text of a value in yuan: 1234.5 -> "1234.5", 0 -> "0", 12.34 -> "12.34".
std::string YuanText(double value);

// ---------------------------------------------------------------------------------------------------------
// Self-test items

// The self-test boxes of the console, in the order the panel lists them: CPU, code (ROM), RAM, the two
// memories, indicator lamps. An item's verdict shows beside the box of its group.
enum class SelfTestBox : std::uint8_t { Cpu, Code, Ram, Memory, Lamps };

// What one reported self-test item shows.
struct CheckselfReport {
    ResultCode result = result::kSuccess;  // 145 for an item outside the table
    std::string item_text;                 // replaces the last line of the log viewer ("" for an unknown item)
    std::optional<SelfTestBox> box;        // the box whose verdict changes, none while a group is still running
    std::string label_text;                // "自检成功", "自检失败" or "检查完成"
    std::string next_line;                 // "正在" + next item's name + "检查..." while frames follow, else ""
};

// Judges one item. `memo` is the failure memo of the self-test group: set by a failed RAM parity (4),
// RAM step (8) or invoice memory (32) item, read and cleared by the RAM walk (16) and fiscal memory (64)
// items, which report the whole group. `mask` is the widened item byte of the request; the next item is
// its lowest selected bit above `item`. `more_follow` is P > 0.
CheckselfReport DescribeCheckselfItem(const SelfTestItemRecord& item, std::uint8_t mask, bool more_follow, bool& memo);

// Name of the lowest item of `mask` above `item` ("" when none): 2 "ROM代码校验和" ... 128 "LED指示灯".
std::string_view CheckselfItemAfter(std::uint8_t mask, std::uint8_t item);

}  // namespace karvex
