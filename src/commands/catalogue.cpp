#include "commands/catalogue.h"

#include <algorithm>
#include <array>

namespace karvex {

namespace {

using C = CommandCode;
using B = FrameBuilder;
using A = AnswerKind;
using I = IssuedBy;
using D = DecoderKind;
using S = SuccessStep;
using F = FollowCaller;
using W = FollowWhen;
using R = RollProgress;
using N = AnswerNames;

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
    Row({C::Online, "Online", "联机", "联机", B::Bare, 5, I::ConsoleAndHost, A::Accept, true, Unchecked(), {},
         S::MarkOnline}),
    Row({C::Initialize, "Initialize", "初始化", "税控器初始化", B::Bare, 5, I::Console, A::Ack, true, Ack(), {},
         S::EmptyStore, Then(F::Host, C::UserInformation)}),
    Row({C::DispenseInvoice, "DispenseInvoice", "分发发票号", "分发发票号", B::Bare, 5, I::Console, A::InvoiceRoll,
         false, Exact(22, kLast, kSingle, D::kInvoiceRoll), Refills("InvoiceNumber"), S::None, {},
         Then(F::Same, C::DispenseInvoice, W::RollsLeft)}),
    Row({C::AlreadyInvoice, "AlreadyInvoice", "已分发发票号", "已分发发票号", B::Bare, 5, I::ConsoleAndHost,
         A::InvoiceRoll, true, Exact(23, kMay, kQueued, D::kInvoiceRoll, kLabelRolls), RefillsByKey("InvoiceNumber"),
         S::ShowInstallList}),
    Row({C::CurrentInvoice, "CurrentInvoice", "获取当前发票号", "当前发票号", B::Bare, 5, I::ConsoleAndHost,
         A::CurrentInv, true, Exact(8, kLast, kSingle, D::kCurrentInv), Keeps("InvoiceNumber", "MakeInvoice"), S::None,
         {}, {}, R::CurrentNumber}),
    Row({C::MakeInvoice, "MakeInvoice", "开票", "", B::Invoice, 0, I::Host, A::MakeInvoice, false,
         Exact(86, kLast, kSingle, D::kMakeInvoice, kLabelIssue), {}, S::None, {}, {}, R::NumberInUse}),
    Row({C::ReturnInvoice, "ReturnInvoice", "退票", "", B::Invoice, 0, I::Host, A::MakeInvoice, false,
         Exact(86, kLast, kSingle, D::kMakeInvoice), {}, S::None, {}, {}, R::NumberInUse}),
    Row({C::InvalidateInvoice, "InvalidateInvoice", "废票", "废票", B::NumberPair, 9, I::ConsoleAndHost, A::Ack, false,
         Ack()}),
    Row({C::GetMachineData, "GetMachineData", "获取机器出厂数据", "获取出厂数据", B::Bare, 5, I::Console,
         A::MachineData, true, Exact(52, kLast, kSingle, D::kMachineData), Keeps("MachineData")}),
    Row({C::UserInformation, "UserInformation", "获取用户信息", "获取用户信息", B::Bare, 5, I::Console,
         A::UserInformation, true, Exact(117, kLast, kSingle, D::kUserInformation), Keeps("UserInformation"), S::None,
         Then(F::Host, C::TaxInformation, W::CallerIsHost), Then(F::PrintDataChain, C::GetMachineData)}),
    Row({C::TaxInformation, "TaxInformation", "获取税种税目信息", "获取税目信息", B::Bare, 5, I::Console,
         A::TaxInformation, true, Exact(52, kMay, kQueued, D::kTaxInformation, kLabelTaxItems),
         Refills("TaxInformation")}),
    Row({C::GetTime, "GetTime", "获取日期时间", "获取税控器时间", B::Bare, 5, I::Console, A::DateTime, true,
         Exact(10, kLast, kSingle, D::kDateTime)}),
    Row({C::SetTime, "SetTime", "设置时间", "设置时间", B::Time, 8, I::Console, A::Ack, false, Ack()}),
    Row({C::InvoiceSum, "InvoiceSum", "获取单卷发票使用汇总数据", "单卷发票汇总", B::NumberPair, 9, I::ConsoleAndHost,
         A::InvUseSum, false, Exact(41, kMay, kQueued, D::kInvUseSum), Refills("InvUseSum"), S::None, {},
         Then(F::RollSummaryChain, C::UserInformation), R::None, N::RollHolding}),
    Row({C::WriteCard, "WriteCard", "申报数据和发票打印数据写卡", "申报数据写卡", B::BcdPair, 9, I::Console, A::Ack,
         false, Ack()}),
    Row({C::DeclareData, "DeclareData", "申报数据上传", "申报数据上传", B::BcdPair, 9, I::Console, A::DeclareData,
         false, Exact(224, kLast, kSingle, D::kDeclareData), Refills("DeclareData")}),
    Row({C::InvoiceData, "InvoiceData", "发票数据上传", "发票数据上传", B::BcdPair, 9, I::Console, A::InvPrintData,
         false, Exact(234, kMay, kQueued, D::kInvPrintData, kLabelPrintData), Refills("InvPrintData"), S::None, {}, {},
         R::None, N::DateUpTo}),
    Row({C::ManageEchoplex, "ManageEchoplex", "回送监控信息", "监控信息回送", B::Bare, 5, I::Console, A::Ack, true,
         Ack(), {}, S::None, Then(F::Host, C::UserInformation)}),
    Row({C::MachineState, "MachineState", "获取税控器状态", "获取税控器状态", B::Bare, 5, I::Console, A::ProcessorState,
         true, Exact(5, kLast, kSingle, D::kProcessorState)}),
    Row({C::PrintDataByNumber, "PrintDataByNumber", "按起止号码获取发票打印数据", "起止号发票打印数据", B::NumberPair,
         13, I::ConsoleAndHost, A::InvPrintData, false, Exact(234, kMay, kQueued, D::kInvPrintData, kLabelPrintData),
         Refills("InvPrintData"), S::None, {}, Then(F::PrintDataChain, C::UserInformation), R::None, N::NumberRange}),
    Row({C::PrintDataByDate, "PrintDataByDate", "获取指定日期段内的发票打印数据", "日期段发票打印数据", B::BcdPair, 13,
         I::Console, A::InvPrintData, false, Exact(234, kMay, kQueued, D::kInvPrintData, kLabelPrintData),
         Refills("InvPrintData"), S::None, {}, {}, R::None, N::DateRange}),
    Row({C::DayTrade, "DayTrade", "获取日期段日交易数据", "获取日交易数据", B::BcdPair, 13, I::Console, A::DayTrade,
         false, Exact(197, kMay, kQueued, D::kDayTrade, kLabelDayTrade), Refills("DayTrade")}),
    Row({C::CheckWriteCard, "CheckWriteCard", "核查数据写卡", "", B::None, 0, I::Nobody, A::Ack, false, Ack()}),
    Row({C::Idiograph, "Idiograph", "数据签名", "数据签名", B::ByteList, 0, I::Console, A::DataIdiograph, false,
         Exact(132, kLast, kSingle, D::kDataIdiograph), Keeps("Idiograph")}),
    Row({C::UpdateCondo, "UpdateCondo", "更新分户开票编号文件", "更新分户编号", B::Bare, 5, I::Console, A::Ack, true,
         Ack()}),
    Row({C::SetMD, "SetMD", "设置出厂数据", "设置出厂数据", B::FactoryData, 53, I::Console, A::Ack, false, Ack()}),
    Row({C::SendStr, "SendStr", "卡操作：发送字符串", "字符串", B::ByteList, 0, I::Console, A::CardAnswer, false,
         Layout(LengthRule::kAtLeast, 4, PacketRule::kFollowIsQuiet, kSingle, D::kCardAnswer)}),
    Row({C::CardPowerOn, "CardPowerOn", "IC卡上电", "IC卡上电", B::Bare, 5, I::Console, A::CardPowerOn, false,
         Layout(LengthRule::kAny, 0, PacketRule::kFollowIsQuiet, kSingle, D::kCardPowerOn)}),
    Row({C::CardPowerOff, "CardPowerOff", "IC卡下电", "IC卡下电", B::Bare, 5, I::Console, A::Ack, false, Ack()}),
    Row({C::CheckSelf, "CheckSelf", "税控器自检", "税控器自检", B::Byte, 6, I::Console, A::Checkself, false,
         Exact(6, kMay, FrameHandling::kPerFrame, D::kCheckself)}),
    Row({C::LastInvData, "LastInvData", "获取最后一个发票打印数据", "获取最后发票打印数据", B::Bare, 5, I::Host,
         A::InvPrintData, false, Exact(234, kMay, kQueued, D::kInvPrintData), Refills("InvPrintData"), S::None, {},
         Then(F::PrintDataChain, C::UserInformation)}),
    Row({C::SetDateTime, "SetDateTime", "设置日期时间", "", B::None, 0, I::Nobody, A::Ack, false, Ack()}),
    Row({C::GetDateTime, "GetDateTime", "获取日期时间", "", B::None, 0, I::Nobody, A::DateTimeSec, false,
         Exact(11, kLast, kSingle, D::kDateTimeSec)}),
    Row({C::InstallInv, "InstallInv", "安装发票", "安装发票", B::Install, 19, I::ConsoleAndHost, A::Ack, false, Ack(),
         {}, S::EndInstallation}),
    Row({C::CheckCardByNumber, "CheckCardByNumber", "按发票段明细核查数据写卡", "明细发票段核查", B::NumberPair, 13,
         I::Console, A::Ack, false, Ack()}),
    Row({C::CheckCardByDate, "CheckCardByDate", "按日期段明细核查数据写卡", "明细日期段核查", B::BcdPair, 13,
         I::Console, A::Ack, false, Ack()}),
    Row({C::CheckCardDayTrade, "CheckCardDayTrade", "日交易核查数据写卡", "日交易核查", B::BcdPair, 13, I::Console,
         A::Ack, false, Ack()}),
    Row({C::CheckCardDeclare, "CheckCardDeclare", "申报数据核查", "申报数据核查", B::BcdPair, 13, I::Console, A::Ack,
         false, Ack()}),
    Row({C::CyclicCheckSelf, "CyclicCheckSelf", "循环自动自检", "", B::None, 0, I::Nobody, A::Ack, false, Ack()}),
    Row({C::GetTotalSum, "GetTotalSum", "获取累计金额", "获取累计金额", B::Bare, 5, I::Console, A::TotalSum, true,
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
