#include "commands/catalogue.h"

#include <algorithm>
#include <array>

#include "commands/caller_modes.h"
#include "karvex/command_numbers.h"

namespace karvex {

namespace {

using C = CommandCode;
using I = IssuedBy;
using D = DecoderKind;
using S = SuccessStep;
using F = FollowCaller;
using W = FollowWhen;
using R = RollProgress;
using N = AnswerNames;

// The builders a row points at: each takes the values of its own kind and hands them to the frame codec.
template <typename Args, typename Make>
BuiltFrame With(const RequestArgs& args, Make make) {
    const Args* values = std::get_if<Args>(&args);
    if (values == nullptr) return BuiltFrame{result::kCommandTypeError, {}};
    return make(*values);
}

BuiltFrame Bare(std::uint8_t code, const RequestArgs& args) {
    return With<NoPayload>(args, [&](const NoPayload&) { return BuildBareCommand(code); });
}
BuiltFrame Byte(std::uint8_t code, const RequestArgs& args) {
    return With<OneByte>(args, [&](const OneByte& v) { return BuildByteCommand(code, v.value); });
}
BuiltFrame Time(std::uint8_t code, const RequestArgs& args) {
    return With<TimeText>(args, [&](const TimeText& v) { return BuildTimeCommand(code, v.text); });
}
BuiltFrame BcdPair(std::uint8_t code, const RequestArgs& args) {
    return With<TwoValues>(args, [&](const TwoValues& v) { return BuildBcdPairCommand(code, v.first, v.second); });
}
BuiltFrame NumberPair(std::uint8_t code, const RequestArgs& args) {
    return With<TwoValues>(args, [&](const TwoValues& v) { return BuildNumberPairCommand(code, v.first, v.second); });
}
BuiltFrame Install(std::uint8_t code, const RequestArgs& args) {
    return With<RollStart>(args,
                           [&](const RollStart& v) { return BuildInstallCommand(code, v.invoiceCode, v.firstNumber); });
}
BuiltFrame Factory(std::uint8_t code, const RequestArgs& args) {
    using Ref = std::reference_wrapper<const FactoryData>;
    return With<Ref>(args, [&](const Ref& v) { return BuildFactoryDataCommand(code, v.get()); });
}
BuiltFrame Invoice(std::uint8_t code, const RequestArgs& args) {
    using Ref = std::reference_wrapper<const InvoiceRequest>;
    return With<Ref>(args, [&](const Ref& v) { return BuildInvoiceCommand(code, InvoiceLayoutOf(code), v.get()); });
}
BuiltFrame ByteList(std::uint8_t code, const RequestArgs& args) {
    return With<TypedBytes>(
        args, [&](const TypedBytes& v) { return BuildByteListCommand(code, v.text, v.charClass, v.minLength); });
}

// Answer layouts. Lengths are the processor's L: 4 header bytes plus the payload.
constexpr AnswerLayout Layout(LengthRule rule, std::uint8_t length, PacketRule packets, FrameHandling handling,
                              DecoderKind decoder, std::string_view label = {}) {
    return AnswerLayout{0, rule, length, packets, handling, decoder, label};
}
constexpr AnswerLayout Exact(std::uint8_t length, PacketRule packets, FrameHandling handling, DecoderKind decoder,
                             std::string_view label = {}) {
    return Layout(LengthRule::kExact, length, packets, handling, decoder, label);
}
constexpr AnswerLayout Ack() { return Exact(4, PacketRule::kLastOnly, FrameHandling::kSingle, DecoderKind::kAck); }
// Taken without a look (`Online`).
constexpr AnswerLayout Unchecked() {
    return Layout(LengthRule::kNone, 0, PacketRule::kUnchecked, FrameHandling::kSingle, DecoderKind::kNone);
}

constexpr std::string_view kLabelRolls = "已分发发票号";
constexpr std::string_view kLabelTaxItems = "税种税目信息";
constexpr std::string_view kLabelDayTrade = "日交易数据";
constexpr std::string_view kLabelPrintData = "发票打印数据";
constexpr std::string_view kLabelIssue = "开票返回数据";

constexpr auto kLast = PacketRule::kLastOnly;
constexpr auto kMay = PacketRule::kMayFollow;
constexpr auto kSingle = FrameHandling::kSingle;
constexpr auto kQueued = FrameHandling::kQueued;

// Store tables of an answer.
constexpr AnswerTables Keeps(std::string_view table, std::string_view alsoOpens = {}) {
    return AnswerTables{table, false, alsoOpens, false};
}
constexpr AnswerTables Refills(std::string_view table) { return AnswerTables{table, true, {}, false}; }
constexpr AnswerTables RefillsByKey(std::string_view table) { return AnswerTables{table, true, {}, true}; }

// The next command of a chain.
constexpr FollowUp Then(FollowCaller caller, CommandCode next, FollowWhen when = FollowWhen::Always) {
    return FollowUp{caller, next, when};
}

// What changes the processor's invoices, rolls, card or declarations: issue, return, void, roll dispensing
// and installation, initialisation, declaration, card writes (a card command may write), factory data.
constexpr bool ChangesProcessor(CommandCode code) {
    switch (code) {
    case C::Initialize:
    case C::DispenseInvoice:
    case C::MakeInvoice:
    case C::ReturnInvoice:
    case C::InvalidateInvoice:
    case C::WriteCard:
    case C::DeclareData:
    case C::UpdateCondo:
    case C::SetMD:
    case C::SendStr:
    case C::InstallInv: return true;
    default: return false;
    }
}

// The layout names its command, so that a layout handed on alone still says whose it is.
constexpr CommandInfo Row(CommandInfo row) {
    row.layout.command = ToByte(row.code);
    row.changesProcessor = ChangesProcessor(row.code);
    return row;
}

// Ordered by code so that look-ups can bisect. After the console's own columns: the answer layout, the
// store tables, the step on success, the follow-ups after success and while a chain continues, the roll
// progress. An issue answer (`MakeInvoice`) is one frame, but should the processor split it the frames are queued
// like any other.
// clang-format off
constexpr std::array kTable{
    Row({C::Online, "联机", "联机", Bare, 5, I::ConsoleAndHost, true, Unchecked(), {}, S::MarkOnline}),
    Row({C::Initialize, "初始化", "税控器初始化", Bare, 5, I::ConsoleAndHost, true, Ack(), {}, S::EmptyStore,
         Then(F::Host, C::UserInformation)}),
    Row({C::DispenseInvoice, "分发发票号", "分发发票号", Bare, 5, I::Console, false,
         Exact(22, kLast, kSingle, D::kInvoiceRoll), Refills("InvoiceNumber"), S::None, {},
         Then(F::Same, C::DispenseInvoice, W::RollsLeft)}),
    Row({C::AlreadyInvoice, "已分发发票号", "已分发发票号", Bare, 5, I::ConsoleAndHost, true,
         Exact(23, kMay, kQueued, D::kInvoiceRoll, kLabelRolls), RefillsByKey("InvoiceNumber"), S::ShowInstallList}),
    Row({C::CurrentInvoice, "获取当前发票号", "当前发票号", Bare, 5, I::ConsoleAndHost, true,
         Exact(8, kLast, kSingle, D::kCurrentInv), Keeps("InvoiceNumber", "MakeInvoice"), S::None, {}, {},
         R::CurrentNumber}),
    Row({C::MakeInvoice, "开票", "", Invoice, 0, I::Host, false,
         Exact(86, kLast, kSingle, D::kMakeInvoice, kLabelIssue), {}, S::None, {}, {}, R::NumberInUse}),
    Row({C::ReturnInvoice, "退票", "", Invoice, 0, I::Host, false,
         Exact(86, kLast, kSingle, D::kMakeInvoice), {}, S::None, {}, {}, R::NumberInUse}),
    Row({C::InvalidateInvoice, "废票", "废票", NumberPair, 9, I::ConsoleAndHost, false, Ack()}),
    Row({C::GetMachineData, "获取机器出厂数据", "获取出厂数据", Bare, 5, I::ConsoleAndHost, true,
         Exact(52, kLast, kSingle, D::kMachineData), Keeps("MachineData")}),
    Row({C::UserInformation, "获取用户信息", "获取用户信息", Bare, 5, I::ConsoleAndHost, true,
         Exact(117, kLast, kSingle, D::kUserInformation), Keeps("UserInformation"), S::None,
         Then(F::Host, C::TaxInformation, W::CallerIsHost), Then(F::PrintDataChain, C::GetMachineData)}),
    Row({C::TaxInformation, "获取税种税目信息", "获取税目信息", Bare, 5, I::ConsoleAndHost, true,
         Exact(52, kMay, kQueued, D::kTaxInformation, kLabelTaxItems), Refills("TaxInformation")}),
    Row({C::GetTime, "获取日期时间", "获取税控器时间", Bare, 5, I::ConsoleAndHost, true,
         Exact(10, kLast, kSingle, D::kDateTime)}),
    Row({C::SetTime, "设置时间", "设置时间", Time, 8, I::Console, false, Ack()}),
    Row({C::InvoiceSum, "获取单卷发票使用汇总数据", "单卷发票汇总", NumberPair, 9, I::ConsoleAndHost, false,
         Exact(41, kMay, kQueued, D::kInvUseSum), Refills("InvUseSum"), S::None, {},
         Then(F::RollSummaryChain, C::UserInformation), R::None, N::RollHolding}),
    Row({C::WriteCard, "申报数据和发票打印数据写卡", "申报数据写卡", BcdPair, 9, I::Console, false, Ack()}),
    Row({C::DeclareData, "申报数据上传", "申报数据上传", BcdPair, 9, I::Console, false,
         Exact(224, kLast, kSingle, D::kDeclareData), Refills("DeclareData")}),
    Row({C::InvoiceData, "发票数据上传", "发票数据上传", BcdPair, 9, I::Console, false,
         Exact(234, kMay, kQueued, D::kInvPrintData, kLabelPrintData), Refills("InvPrintData"), S::None, {}, {},
         R::None, N::DateUpTo}),
    Row({C::ManageEchoplex, "回送监控信息", "监控信息回送", Bare, 5, I::ConsoleAndHost, true, Ack(), {}, S::None,
         Then(F::Host, C::UserInformation)}),
    Row({C::MachineState, "获取税控器状态", "获取税控器状态", Bare, 5, I::ConsoleAndHost, true,
         Exact(5, kLast, kSingle, D::kProcessorState)}),
    Row({C::PrintDataByNumber, "按起止号码获取发票打印数据", "起止号发票打印数据", NumberPair, 13, I::ConsoleAndHost,
         false, Exact(234, kMay, kQueued, D::kInvPrintData, kLabelPrintData), Refills("InvPrintData"), S::None, {},
         Then(F::PrintDataChain, C::UserInformation), R::None, N::NumberRange}),
    Row({C::PrintDataByDate, "获取指定日期段内的发票打印数据", "日期段发票打印数据", BcdPair, 13, I::Console, false,
         Exact(234, kMay, kQueued, D::kInvPrintData, kLabelPrintData), Refills("InvPrintData"), S::None, {}, {},
         R::None, N::DateRange}),
    Row({C::DayTrade, "获取日期段日交易数据", "获取日交易数据", BcdPair, 13, I::Console, false,
         Exact(197, kMay, kQueued, D::kDayTrade, kLabelDayTrade), Refills("DayTrade")}),
    Row({C::CheckWriteCard, "核查数据写卡", "", nullptr, 0, I::Nobody, false, Ack()}),
    Row({C::Idiograph, "数据签名", "数据签名", ByteList, 0, I::Console, false,
         Exact(132, kLast, kSingle, D::kDataIdiograph), Keeps("Idiograph")}),
    Row({C::UpdateCondo, "更新分户开票编号文件", "更新分户编号", Bare, 5, I::ConsoleAndHost, true, Ack()}),
    Row({C::SetMD, "设置出厂数据", "设置出厂数据", Factory, 53, I::Console, false, Ack()}),
    Row({C::SendStr, "卡操作：发送字符串", "字符串", ByteList, 0, I::Console, false,
         Layout(LengthRule::kAtLeast, 4, PacketRule::kFollowIsQuiet, kSingle, D::kCardAnswer)}),
    Row({C::CardPowerOn, "IC卡上电", "IC卡上电", Bare, 5, I::Console, false,
         Layout(LengthRule::kAny, 0, PacketRule::kFollowIsQuiet, kSingle, D::kCardPowerOn)}),
    Row({C::CardPowerOff, "IC卡下电", "IC卡下电", Bare, 5, I::Console, false, Ack()}),
    Row({C::CheckSelf, "税控器自检", "税控器自检", Byte, 6, I::Console, false,
         Exact(6, kMay, FrameHandling::kPerFrame, D::kCheckself)}),
    Row({C::LastInvData, "获取最后一个发票打印数据", "获取最后发票打印数据", Bare, 5, I::Host, false,
         Exact(234, kMay, kQueued, D::kInvPrintData), Refills("InvPrintData"), S::None, {},
         Then(F::PrintDataChain, C::UserInformation)}),
    Row({C::SetDateTime, "设置日期时间", "", nullptr, 0, I::Nobody, false, Ack()}),
    Row({C::GetDateTime, "获取日期时间", "", nullptr, 0, I::Nobody, false, Exact(11, kLast, kSingle, D::kDateTimeSec)}),
    Row({C::InstallInv, "安装发票", "安装发票", Install, 19, I::Console, false, Ack(), {}, S::EndInstallation}),
    Row({C::CheckCardByNumber, "按发票段明细核查数据写卡", "明细发票段核查", NumberPair, 13, I::Console, false, Ack()}),
    Row({C::CheckCardByDate, "按日期段明细核查数据写卡", "明细日期段核查", BcdPair, 13, I::Console, false, Ack()}),
    Row({C::CheckCardDayTrade, "日交易核查数据写卡", "日交易核查", BcdPair, 13, I::Console, false, Ack()}),
    Row({C::CheckCardDeclare, "申报数据核查", "申报数据核查", BcdPair, 13, I::Console, false, Ack()}),
    Row({C::CyclicCheckSelf, "循环自动自检", "", nullptr, 0, I::Nobody, false, Ack()}),
    Row({C::GetTotalSum, "获取累计金额", "获取累计金额", Bare, 5, I::ConsoleAndHost, true,
         Exact(20, kLast, kSingle, D::kTotalSum)}),
};
// clang-format on

constexpr bool TableIsOrdered() {
    for (std::size_t i = 1; i < kTable.size(); ++i) {
        if (ToByte(kTable[i - 1].code) >= ToByte(kTable[i].code)) return false;
    }
    return true;
}
static_assert(TableIsOrdered(), "the command table must stay ordered by code for the look-up");

// The numbers a host is told to pass name these rows.
static_assert(KARVEX_COMMAND_ISSUE == kHostIssueInvoice && KARVEX_COMMAND_RETURN == kHostReturnInvoice &&
                  KARVEX_COMMAND_INVOICE_BY_NUMBER == kHostPrintDataByNumber &&
                  KARVEX_COMMAND_LAST_INVOICE == kHostLastInvoiceData,
              "the public command numbers must be the command table's codes");

}  // namespace

std::span<const CommandInfo> CommandTable() { return kTable; }

const CommandInfo* FindCommand(std::uint8_t code) {
    const auto it = std::lower_bound(kTable.begin(), kTable.end(), code,
                                     [](const CommandInfo& row, std::uint8_t c) { return ToByte(row.code) < c; });
    if (it == kTable.end() || ToByte(it->code) != code) return nullptr;
    return &*it;
}

std::string CommandName(std::uint8_t code) {
    const CommandInfo* row = FindCommand(code);
    return std::string(row ? row->name : kUnknownCommandName);
}

std::optional<CommandCode> ToCommandCode(std::uint8_t code) {
    const CommandInfo* row = FindCommand(code);
    if (!row) return std::nullopt;
    return row->code;
}

BuiltFrame BuildRequest(CommandCode code, const RequestArgs& args, Sender by) {
    const CommandInfo* row = FindCommand(code);
    if (row == nullptr || row->build == nullptr) return BuiltFrame{result::kCommandTypeError, {}};
    if (!row->MaySend(by)) return BuiltFrame{result::kSenderNotAllowed, {}};
    BuiltFrame built = row->build(ToByte(code), args);
    if (!built.ok() || row->requestLength == 0) return built;
    // The length field is the fourth and fifth byte; a frame the processor would read as another request
    // shape must not reach the line.
    const std::size_t length = (std::size_t{built.frame[3]} << 8) | built.frame[4];
    if (length != row->requestLength) return BuiltFrame{result::kRequestLengthMismatch, {}};
    return built;
}

Sender SenderOf(std::uint16_t callerMode) { return callerMode == kCallerConsole ? Sender::Console : Sender::Host; }

std::string CommandDisplayText(std::uint8_t code) {
    const CommandInfo* row = FindCommand(code);
    if (!row) return std::string(kUnknownCommandName);
    return std::string(row->displayText.empty() ? row->name : row->displayText);
}

}  // namespace karvex

namespace karvex {

std::uint8_t GetCheckselfMask(std::span<const bool, kSelfTestBoxCount> checked) {
    static constexpr std::array<std::uint8_t, kSelfTestBoxCount> kBoxBits{
        kSelfTestCpu, kSelfTestRom, kSelfTestRamParity, kSelfTestInvoiceMemory, kSelfTestLed};
    std::uint8_t mask = 0;
    for (std::size_t i = 0; i < kSelfTestBoxCount; ++i) {
        if (checked[i]) mask = static_cast<std::uint8_t>(mask | kBoxBits[i]);
    }
    return mask;
}

std::uint8_t WidenCheckselfMask(std::uint8_t requested) {
    std::uint8_t mask = requested;
    if (mask & kSelfTestRamParity) mask = static_cast<std::uint8_t>(mask | kSelfTestRamStep | kSelfTestRamWalk);
    if (mask & kSelfTestInvoiceMemory) mask = static_cast<std::uint8_t>(mask | kSelfTestFiscalMemory);
    return mask;
}

std::string NextCheckselfItemName(std::uint8_t mask, int reported) {
    struct Item {
        std::uint8_t bit;
        std::string_view name;
    };
    // The CPU test (0x01) is always the first one reported, so it is never "next".
    static constexpr std::array<Item, 7> kItems{{
        {kSelfTestRom, "ROM代码校验和"},
        {kSelfTestRamParity, "RAM地址奇偶法"},
        {kSelfTestRamStep, "RAM步进法"},
        {kSelfTestRamWalk, "RAM走步法"},
        {kSelfTestInvoiceMemory, "发票存储器"},
        {kSelfTestFiscalMemory, "税控存储器"},
        {kSelfTestLed, "LED指示灯"},
    }};
    for (const Item& item : kItems) {
        if ((mask & item.bit) != 0 && item.bit > reported) return std::string(item.name);
    }
    return {};
}

}  // namespace karvex
