#pragma once
// The console's command issuers as plain functions: each takes what the operator typed or selected, checks
// it, builds the request and hands it to the link, and tells the panel what to do with its fields.
//
// Every issuer follows the same contract:
//   1. the inputs are checked; a failed check sends nothing and reports through a message box, through
//      the fields to empty (IssueResult::clearFields), or not at all, as the panel expects;
//   2. the issuer creates its command (code, caller, chain step) and the command table builds the frame
//      (BuildRequest: the row's builder, its length, its senders; the console's issuers send as the
//      context's caller, the host requests below as the host); the finished frame and the command go to
//      the context's `start`, so that a refused input never disturbs the answer of a command still in flight;
//   3. a refusal of the build (the builder's code, 228, 229), a closed port (132) or a command still in flight
//      (136) ends the issuer with that code, without a message and without a log line; the command is dropped;
//   4. after a successful start the display text goes to the send cue (the log). The command's caller is
//      the context's (the console, or a host call that runs a console command) unless the issuer says
//      otherwise.
//
// Example (the on-line menu entry):
//   IssueResult r = IssueMenuCommand(ctx, CommandCode::Online);   // frame 1B 10 00 00 05 44 D0
//   if (!r.sent) { /* r.code: 132 when no port is open */ }
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "commands/caller_modes.h"
#include "commands/catalogue.h"
#include "commands/command_in_flight.h"
#include "link/frame_codec.h"
#include "link/result_codes.h"
#include "link/user_interface.h"

namespace karvex {

// Starts a command with its finished request frame: 0, 132 when no port is open, 136 while another command
// is in flight (then the new command is dropped and the one in flight goes on).
using CommandStarter = std::function<ResultCode(CommandInFlight command, const Bytes& frame)>;

// Everything an issuer needs from the console and the link.
struct IssueContext {
    UserInterface& ui;
    // An empty starter counts as a closed port.
    CommandStarter start;
    // Whom the issued commands answer: the console, or a host call that runs a console command.
    std::uint16_t caller = kCallerConsole;
    // Logs "发送" + text + "命令" and shows the waiting line; may be empty (nothing is logged).
    std::function<void(const std::string& displayText)> cueSendFinish;
    // Books signed data in the store after an Idiograph request was sent; returns 0 or the store's code.
    // Empty means there is no store to book in (91 is reported).
    std::function<int(const std::string& typedText)> bookSignature;
    // The time stamp "yyyymmdd hh：mm：ss"; empty means the library clock (NowStamp).
    std::function<std::string()> nowStamp;
};

// Input fields a panel may have to empty or focus after a refused input. One date group uses the Start
// fields (cut-off date, production date).
enum class InputField : std::uint16_t {
    None = 0,
    StartYear = 1u << 0,
    StartMonth = 1u << 1,
    StartDay = 1u << 2,
    EndYear = 1u << 3,
    EndMonth = 1u << 4,
    EndDay = 1u << 5,
    StartNumber = 1u << 6,
    EndNumber = 1u << 7,
    MachineNumber = 1u << 8,
};

constexpr std::uint16_t FieldBit(InputField f) { return static_cast<std::uint16_t>(f); }

struct IssueResult {
    // 0 when the request was sent and everything after it succeeded; otherwise the reason.
    ResultCode code = result::kSuccess;
    // True once the frame reached the link (the code may still report a later step, e.g. the booking of
    // signed data).
    bool sent = false;
    // InputField bits of the fields the panel must empty.
    std::uint16_t clearFields = 0;
    // The field that gets the focus, None to leave it.
    InputField focus = InputField::None;

    bool Clears(InputField f) const { return (clearFields & FieldBit(f)) != 0; }
};

// A date typed as three fields.
struct DateInput {
    std::string year;
    std::string month;
    std::string day;
};

enum class DateGroup : std::uint8_t { Start, End };

// The fields of `group` whose error bit (256 year, 512 month, 1024 day) is set in `code`.
std::uint16_t ClearBadDateParts(ResultCode code, DateGroup group);

// Checks a typed date: 0 and `yyyymmdd`, or the sum of the error bits (year 256, month 512, day 1024).
ResultCode CheckDateInput(const DateInput& date, std::string& yyyymmdd);

// ---------------------------------------------------------------------------------------------------------
// Menu entries without a panel

// Sends one of the commands without payload that the menus issue directly (`menuDirect` in the command
// table): Online, Initialize, AlreadyInvoice, CurrentInvoice, GetMachineData, UserInformation,
// TaxInformation, GetTime, ManageEchoplex, MachineState, UpdateCondo, GetTotalSum. Any other code gives 32
// and sends nothing.
IssueResult IssueMenuCommand(const IssueContext& ctx, CommandCode code);

// `SetTime`: asks for the time in an input box (default: the current time) and sends hh mm ss.
// Empty answer 144 / cancel 4129: silent. Not 8 characters: "错误的时间格式", 257. Bad values: "错误时间", 258.
IssueResult IssueSetTime(const IssueContext& ctx);

// Parses a typed time "hh?mm?ss" (any separators) into "hh:mm:ss"; 257 for a length other than 8
// characters, 258 for a pair that is not digits or out of range.
ResultCode ParseTimeInput(std::string_view typed, std::string& hhmmss);

// `DispenseInvoice`: asks for the number of rolls (1..200), puts it in the command's chain step and sends the
// first request. Empty 144 / cancel 4129 / out of range 146: silent. Not digits: "请输入正确的发票卷数", 105.
IssueResult IssueDispenseInvoice(const IssueContext& ctx);

// First half of the roll installation: sends AlreadyInvoice with caller mode 5, so that the completion
// step shows the installation panel. The caller has already removed the unused rolls from the store.
IssueResult IssueInstallRollQuery(const IssueContext& ctx);

// ---------------------------------------------------------------------------------------------------------
// Panels

// The print-data and check-card panels share this input: two invoice numbers and two dates.
struct RangeInput {
    std::string startNumber;
    std::string endNumber;
    DateInput startDate;
    DateInput endDate;
};

// Print-data panel: print data by invoice numbers (`byNumber`, option "发票号") or by dates.
IssueResult IssuePrintData(const IssueContext& ctx, bool byNumber, const RangeInput& input);

// Day-trade panel: day trade data of a date range.
IssueResult IssueDayTrade(const IssueContext& ctx, const DateInput& start, const DateInput& end);

// Factory-data panel: factory data. The machine number must be exactly 16 digits ("错误的机器编号", field emptied and
// focused); versions are fitted to 18 bytes.
IssueResult IssueFactoryData(const IssueContext& ctx, const std::string& machineNumber, const DateInput& productionDate,
                             const std::string& hardwareVersion, const std::string& softwareVersion);

enum class ByteListKind : std::uint8_t { Decimal, Hexadecimal };

// Card-commands panel: IC card power (item 0 on, item 1 off, anything else: nothing sent, 144).
IssueResult IssueCardPower(const IssueContext& ctx, int selectedItem);
// Card-commands panel: typed byte values to the card.
IssueResult IssueSendStr(const IssueContext& ctx, std::string_view text, ByteListKind kind);

// Single-invoice panel: one invoice number for InvoiceSum or InvalidateInvoice (the entry that opened the panel).
// A refused number only ends the handler. Any other command gives 32.
IssueResult IssueSingleInvoice(const IssueContext& ctx, CommandCode command, std::string_view invoiceNumber);

// Cut-off-date panel: the cut-off date for WriteCard, DeclareData or InvoiceData. Any other command gives 32.
IssueResult IssueCutOffDate(const IssueContext& ctx, CommandCode command, const DateInput& cutOff);

// Signing panel: data to sign (at least 128 bytes; fewer are padded with 0x00), booked through bookSignature.
IssueResult IssueIdiograph(const IssueContext& ctx, const std::string& text, ByteListKind kind);

// Roll-installation panel: installs the roll of the selected list row ("序号" 4, "发票代码" 22, "起始号" 12, "终止号").
// No row: "请选择发票卷". A bad start number: "错误的发票号". A code that is not 20 digits: "错误的发票代码"
// (144 empty, 105 not digits, 147 short). Only Yes in the confirmation sends.
IssueResult IssueInstallInv(const IssueContext& ctx, const std::optional<std::string>& selectedRow);

// The three values of an installation row: code (characters 5-24), start (27-36), end (39-48), each without
// surrounding blanks.
struct InstallRow {
    std::string invoiceCode;
    std::string startNumber;
    std::string endNumber;
};
InstallRow ParseInstallRow(std::string_view row);

// Check-card panel: check data to card.
enum class CheckCardKind : std::uint8_t { Detail, Declare, DayTrade };  // "明细核查", "申报核查", "日交易核查"
IssueResult IssueCheckCard(const IssueContext& ctx, CheckCardKind kind, bool byNumber, const RangeInput& input);

// Self-test panel: self-test of the checked items; nothing checked: "请选择自检的项目", 144.
IssueResult IssueCheckSelf(const IssueContext& ctx, std::span<const bool, kSelfTestBoxCount> checked);

// ---------------------------------------------------------------------------------------------------------
// Requests on behalf of the control's methods (the method itself waits). Like the console issuers they log
// the sent command through cueSendFinish, so that the log shows every command.

// FiscalInvalidateInv (InvalidateInvoice) and GetInvUseSum (InvoiceSum): one invoice number, L = 9.
// `padded` receives the 10-digit form, or the empty text when the number is refused (144, 105, 103);
// 148 above 4294967295; 32 for another command. The command's caller is the context's.
IssueResult IssueHostInvoiceNumber(const IssueContext& ctx, CommandCode command, std::string_view invoiceNumber,
                                   std::string* padded = nullptr);

// GetLastInvData: LastInvData for the host's print-data query, caller mode 2.
IssueResult IssueGetLastInvData(const IssueContext& ctx);

// GetPrintInv: command number 177 -> LastInvData; 66 -> PrintDataByNumber with the number as start and
// end (144, 105, 103, 148 for a bad number); any other number 32, nothing sent. LastInvData goes out with
// caller mode 2, PrintDataByNumber with the context's.
IssueResult IssueHostPrintInv(const IssueContext& ctx, std::int32_t commandNumber, std::string_view invoiceNumber);

// FiscalMakeInv: MakeInvoice or ReturnInvoice with the filled invoice record, caller mode 2. The
// builder's codes (168, 102-110) come back unchanged; any other command gives 32.
IssueResult IssueHostInvoice(const IssueContext& ctx, CommandCode command, const InvoiceRequest& request);

}  // namespace karvex
