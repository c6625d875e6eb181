#pragma once
// The processor's command set: one row per command code with everything the rest of the library needs to
// know about it (names, display text, request layout, who may send it, how its answer is checked and
// decoded, which store tables the answer fills, and what follows it in a chain).
//
// Every other part reads this table instead of keeping a switch of its own, so a command is described once:
// adding one is a row here plus its decoder and, if its answer is stored, its record writer.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "commands/answer_layout.h"
#include "link/frame_codec.h"

namespace karvex {

// The command byte of a request frame. The names are the ones the operator console and the log use.
enum class CommandCode : std::uint8_t {
    Online = 0x00,
    Initialize = 0x30,
    DispenseInvoice = 0x31,
    AlreadyInvoice = 0x32,
    CurrentInvoice = 0x33,
    MakeInvoice = 0x34,
    ReturnInvoice = 0x35,
    InvalidateInvoice = 0x36,
    GetMachineData = 0x37,
    UserInformation = 0x38,
    TaxInformation = 0x39,
    GetTime = 0x3A,
    SetTime = 0x3B,
    InvoiceSum = 0x3C,
    WriteCard = 0x3D,
    DeclareData = 0x3E,
    InvoiceData = 0x3F,
    ManageEchoplex = 0x40,
    MachineState = 0x41,
    PrintDataByNumber = 0x42,
    PrintDataByDate = 0x43,
    DayTrade = 0x44,
    CheckWriteCard = 0x45,
    Idiograph = 0x46,
    UpdateCondo = 0x47,
    SetMD = 0x86,
    SendStr = 0xA5,
    CardPowerOn = 0xA6,
    CardPowerOff = 0xA7,
    CheckSelf = 0xB0,
    LastInvData = 0xB1,
    SetDateTime = 0xB2,
    GetDateTime = 0xB3,
    InstallInv = 0xB4,
    CheckCardByNumber = 0xB5,
    CheckCardByDate = 0xB6,
    CheckCardDayTrade = 0xB7,
    CheckCardDeclare = 0xB8,
    CyclicCheckSelf = 0xB9,
    GetTotalSum = 0xBA,
};

constexpr std::uint8_t ToByte(CommandCode code) { return static_cast<std::uint8_t>(code); }

// The numbers by which a host names a command (the invoice call's and the print-data call's command number)
// and by which the sales journal keeps a row's kind: the command's own code.
inline constexpr std::int32_t kHostIssueInvoice = ToByte(CommandCode::MakeInvoice);
inline constexpr std::int32_t kHostReturnInvoice = ToByte(CommandCode::ReturnInvoice);
inline constexpr std::int32_t kHostVoidInvoice = ToByte(CommandCode::InvalidateInvoice);
inline constexpr std::int32_t kHostLastInvoiceData = ToByte(CommandCode::LastInvData);
inline constexpr std::int32_t kHostPrintDataByNumber = ToByte(CommandCode::PrintDataByNumber);

// The values a request carries, one kind per builder of the frame codec. Texts are views: they need to live
// only until BuildRequest returns.
struct NoPayload {};
struct OneByte {
    std::uint8_t value = 0;
};
struct TimeText {
    std::string_view text;  // "hh:mm:ss", any separators
};
// Two dates (yyyymmdd) or two invoice numbers; `first` == kNoFirstValue leaves the first one out.
struct TwoValues {
    std::string_view first;
    std::string_view second;
};
struct RollStart {
    std::string_view invoiceCode;  // 20 digits
    std::string_view firstNumber;
};
struct TypedBytes {
    std::string_view text;
    int charClass = kByteListDecimal;
    int minLength = 0;
};
using RequestArgs =
    std::variant<NoPayload, OneByte, TimeText, TwoValues, RollStart, TypedBytes,
                 std::reference_wrapper<const FactoryData>, std::reference_wrapper<const InvoiceRequest>>;

// The text that leaves the first of two values out of a frame.
inline constexpr std::string_view kNoFirstValue = "Null";

// Makes the command's frame from its values; 32 when the values are of another kind than the builder takes.
using RequestBuilder = BuiltFrame (*)(std::uint8_t code, const RequestArgs& args);

// Who may send the command.
enum class IssuedBy : std::uint8_t {
    Nobody,          // named and answered, but never sent by this library
    Console,         // only the operator console
    Host,            // only the host's calls (the control's methods, the service and the tools through them)
    ConsoleAndHost,  // both
};

// Who is sending a request: the operator at the console, or a host call (which includes a console command a
// host runs, and any link of a chain sent in a caller mode other than the console's).
enum class Sender : std::uint8_t { Console, Host };

// The store tables an answer writes. An answer that refills its table has it emptied first, except in the
// print-data and roll-summary chains (caller modes 6 and 8), whose answers add to what the chain's first
// command wrote; the store intake decides that by caller mode.
struct AnswerTables {
    std::string_view table;      // "" when the answer is not stored
    bool refills = false;        // emptied before the answer is written
    std::string_view alsoOpens;  // a second table opened beside it on the roll slot ("" for none)
    bool keyed = false;          // rows replace those with the same key instead of being added
};

// What an answer names of its request, so that an answer left over from an earlier request is told apart.
enum class AnswerNames : std::uint8_t {
    Nothing,
    NumberRange,  // two invoice numbers asked for: the answer's invoice number lies between them
    DateRange,    // two dates asked for: the answer's issue date lies between them
    DateUpTo,     // one cut-off date asked for: the answer's issue date is not after it
    RollHolding,  // one invoice number asked for: the answered roll holds it
};

// Who the next command of a chain is sent for.
enum class FollowCaller : std::uint8_t {
    None,              // nothing follows
    Same,              // the caller of the finished command
    Host,              // a silent host call
    PrintDataChain,    // caller mode 6
    RollSummaryChain,  // caller mode 8
};

// When the follow-up is sent.
enum class FollowWhen : std::uint8_t {
    Always,
    CallerIsHost,  // only when the finished command was a host call
    RollsLeft,     // only while the console still has rolls to dispense
};

// The command sent next, as a step of a chain.
struct FollowUp {
    FollowCaller caller = FollowCaller::None;
    CommandCode next = CommandCode::Online;
    FollowWhen when = FollowWhen::Always;
    bool Present() const { return caller != FollowCaller::None; }
};

// What the control does itself when the command succeeds, besides telling the caller.
enum class SuccessStep : std::uint8_t {
    None,
    MarkOnline,       // the status bar says "已联机"
    EmptyStore,       // a fresh processor: the store's answer tables are emptied
    ShowInstallList,  // during a roll installation: the install panel and its list of rolls
    EndInstallation,  // the installation is done: the console gives way to the host's window
};

// Whether a stored answer moves the roll progress on, and from which number.
enum class RollProgress : std::uint8_t {
    None,
    CurrentNumber,  // the number the processor just reported
    NumberInUse,    // the current number of the roll in use (an issue or a return consumed it)
};

struct CommandInfo {
    CommandCode code;
    std::string_view name;         // the Chinese display name (CommandName)
    std::string_view displayText;  // what the console logs after a send; empty when the console never sends it
    RequestBuilder build;          // nullptr when the library never sends it
    std::uint8_t requestLength;    // value of the length field (5 + payload); 0 when it depends on the input
    IssuedBy issuedBy;
    // Sent straight from its menu entry, without a panel or a question: the commands IssueMenuCommand takes,
    // for the console and for a host alike (the tool offers the same list).
    bool menuDirect = false;
    AnswerLayout layout{};  // the answer's length and packets rules and its decoder
    AnswerTables store{};
    SuccessStep onSuccess = SuccessStep::None;
    FollowUp afterSuccess{};  // sent when the command succeeded
    FollowUp afterChain{};    // sent when the answer said the chain continues (4130)
    RollProgress rollProgress = RollProgress::None;
    AnswerNames answerNames = AnswerNames::Nothing;
    // The processor's invoices, rolls, card or declarations change when it acts on the command: it is held
    // back while a sale's outcome is not known, because it could move the counter or change the very
    // invoice that sale is judged by.
    bool changesProcessor = false;

    bool MaySend(Sender by) const {
        switch (issuedBy) {
        case IssuedBy::Nobody: return false;
        case IssuedBy::Console: return by == Sender::Console;
        case IssuedBy::Host: return by == Sender::Host;
        case IssuedBy::ConsoleAndHost: return true;
        }
        return false;
    }
};

// Name given to any code that is not in the table.
inline constexpr std::string_view kUnknownCommandName = "未知命令";

// The whole table, ordered by code.
std::span<const CommandInfo> CommandTable();

// The row of `code`, or nullptr when the processor has no such command.
// FindCommand(0x33)->name == "获取当前发票号"; FindCommand(0x01) == nullptr.
const CommandInfo* FindCommand(std::uint8_t code);
inline const CommandInfo* FindCommand(CommandCode code) { return FindCommand(ToByte(code)); }

// The Chinese display name of a code; "未知命令" for codes not in the table.
std::string CommandName(std::uint8_t code);

// The code as a CommandCode when it is in the table.
std::optional<CommandCode> ToCommandCode(std::uint8_t code);

// How the frame of an invoice command is laid out: only an issue goes without a returned invoice's number.
inline InvoiceLayout InvoiceLayoutOf(std::uint8_t code) {
    return code == ToByte(CommandCode::MakeInvoice) ? InvoiceLayout::Issue : InvoiceLayout::Return;
}

// The request frame of `code`, made by the row's builder from `args`, for `by`. Every request the library
// sends is made here, so that the row decides how the frame is built and who may send it:
//   32  a code without a row or without a builder, or values of another kind than its builder takes;
//   229 a sender the row's issuedBy does not name (nothing is built);
//   the builder's own code for values it refuses;
//   228 a frame whose length field is not the row's requestLength (a fixed-length command given values
//       that make another frame, such as a single value where the command takes two).
// BuildRequest(CommandCode::CurrentInvoice, NoPayload{}, Sender::Host).frame == 1B 10 33 00 05 47 2C.
BuiltFrame BuildRequest(CommandCode code, const RequestArgs& args, Sender by);

// The sender a caller mode stands for: the console's own mode is the console, every other mode a host call.
Sender SenderOf(std::uint16_t callerMode);

// The text the console passes to the send cue (and so to the log) for this command; the name when the
// console has no text of its own for it, "未知命令" for unknown codes.
std::string CommandDisplayText(std::uint8_t code);

}  // namespace karvex

namespace karvex {

// ---------------------------------------------------------------------------------------------------------
// Self-test items (command CheckSelf)

// Bits of the self-test item byte.
inline constexpr std::uint8_t kSelfTestCpu = 0x01;
inline constexpr std::uint8_t kSelfTestRom = 0x02;
inline constexpr std::uint8_t kSelfTestRamParity = 0x04;
inline constexpr std::uint8_t kSelfTestRamStep = 0x08;
inline constexpr std::uint8_t kSelfTestRamWalk = 0x10;
inline constexpr std::uint8_t kSelfTestInvoiceMemory = 0x20;
inline constexpr std::uint8_t kSelfTestFiscalMemory = 0x40;
inline constexpr std::uint8_t kSelfTestLed = 0x80;

// Number of self-test check boxes on the console: CPU, code (ROM), RAM, memories, indicator lamps.
inline constexpr std::size_t kSelfTestBoxCount = 5;

// The item byte the check boxes ask for: box 0 -> 0x01, 1 -> 0x02, 2 -> 0x04, 3 -> 0x20, 4 -> 0x80.
std::uint8_t GetCheckselfMask(std::span<const bool, kSelfTestBoxCount> checked);

// The items the processor will report for a requested byte: RAM (0x04) runs three tests (0x04, 0x08,
// 0x10) and the memory box (0x20) two (0x20, 0x40). WidenCheckselfMask(0x04) == 0x1C.
std::uint8_t WidenCheckselfMask(std::uint8_t requested);

// The name of the next item the processor will report after item `reported`: the first of 0x02, 0x04,
// ..., 0x80 that is set in `mask` and greater than `reported`; the empty text when there is none.
// NextCheckselfItemName(0x1C, 0x04) == "RAM步进法".
std::string NextCheckselfItemName(std::uint8_t mask, int reported);

}  // namespace karvex
