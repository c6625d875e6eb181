#include "commands/issuers.h"

#include <algorithm>
#include <vector>

#include "convert/conversions.h"

namespace karvex {

namespace {

// Message boxes of the console's own input checks.
constexpr std::string_view kSetTimeInputTitle = "设置税控收款机时间";
constexpr std::string_view kSetTimeTitle = "设置时间";
constexpr std::string_view kBadTimeFormat = "错误的时间格式";
constexpr std::string_view kBadTime = "错误时间";
constexpr std::string_view kDispenseTitle = "分发发票";
constexpr std::string_view kDispensePrompt = "请输入分发的发票卷数：";
constexpr std::string_view kBadRollCount = "请输入正确的发票卷数";
constexpr std::string_view kFactoryDataTitle = "设置机器出厂数据";
constexpr std::string_view kBadMachineNumber = "错误的机器编号";
constexpr std::string_view kInstallTitle = "安装发票";
constexpr std::string_view kNoRollSelected = "请选择发票卷";
constexpr std::string_view kBadInvoiceNumber = "错误的发票号";
constexpr std::string_view kBadInvoiceCode = "错误的发票代码";
constexpr std::string_view kInstallConfirmTitle = "选择安装发票";
constexpr std::string_view kCheckSelfTitle = "税控器自检";
constexpr std::string_view kNoSelfTestItem = "请选择自检的项目";

constexpr int kMaxRollsPerDispense = 200;
constexpr std::size_t kMachineNumberDigits = 16;
constexpr int kVersionWidth = 18;
constexpr std::size_t kInvoiceCodeDigits = 20;
constexpr int kIdiographMinimum = 128;
constexpr std::string_view kLargestInvoiceNumber = "4294967295";

// Characters `first` .. `first + count - 1` (1-based) of a text, as far as the text reaches.
std::string MidCharacters(std::string_view text, std::size_t first, std::size_t count) {
    const auto chars = Utf8Characters(text);
    std::string out;
    for (std::size_t i = first - 1; i < chars.size() && i < first - 1 + count; ++i) out += chars[i];
    return out;
}

std::string_view TrimBlanks(std::string_view text) {
    const auto begin = text.find_first_not_of(' ');
    if (begin == std::string_view::npos) return {};
    const auto end = text.find_last_not_of(' ');
    return text.substr(begin, end - begin + 1);
}

bool AllDigits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The operator's invoice number as the 10 digits the number builder takes: PadInvoiceNumber's codes, and
// 148 for a number the 4-byte field cannot hold, so that the panel can point at the field that is wrong.
ResultCode CheckInvoiceNumberInput(std::string_view text, std::string& padded) {
    std::string digits;
    if (const int rc = PadInvoiceNumber(text, digits); rc != 0) return rc;
    if (digits > kLargestInvoiceNumber) return result::kInvoiceNumberTooLarge;  // same width: text order
    padded = std::move(digits);
    return result::kSuccess;
}

void CueSend(const IssueContext& ctx, CommandCode code) {
    if (ctx.cueSendFinish) ctx.cueSendFinish(CommandDisplayText(ToByte(code)));
}

// The command an issuer starts: its code and caller (the context's unless the issuer names one).
CommandInFlight NewCommand(const IssueContext& ctx, CommandCode code, std::optional<std::uint16_t> caller = {}) {
    return CommandInFlight(ToByte(code), caller.value_or(ctx.caller));
}

// Steps 2 to 4 of every issuer once its inputs are good: the command table's row builds the frame for the
// sender (the context's, or the host for the requests made on behalf of the control's methods), the finished
// frame starts the command, and only a command that started is logged.
IssueResult Issue(const IssueContext& ctx, CommandInFlight command, const RequestArgs& args,
                  std::optional<Sender> by = {}) {
    const auto code = static_cast<CommandCode>(command.code);
    IssueResult r;
    const BuiltFrame built = BuildRequest(code, args, by.value_or(SenderOf(ctx.caller)));
    if (!built.ok()) {
        r.code = built.code;
        return r;
    }
    r.code = ctx.start ? ctx.start(std::move(command), built.frame) : result::kNoOpenPort;
    if (r.code != result::kSuccess) return r;
    r.sent = true;
    CueSend(ctx, code);
    return r;
}

IssueResult Issue(const IssueContext& ctx, CommandCode code, const RequestArgs& args, std::optional<Sender> by = {}) {
    return Issue(ctx, NewCommand(ctx, code), args, by);
}

IssueResult IssueBare(const IssueContext& ctx, CommandInFlight command) {
    return Issue(ctx, std::move(command), NoPayload{});
}

IssueResult IssueBare(const IssueContext& ctx, CommandCode code) { return IssueBare(ctx, NewCommand(ctx, code)); }

IssueResult Refused(ResultCode code, std::uint16_t clear = 0, InputField focus = InputField::None) {
    IssueResult r;
    r.code = code;
    r.clearFields = clear;
    r.focus = focus;
    return r;
}

IssueResult IssueNumberRange(const IssueContext& ctx, CommandCode code, const RangeInput& input) {
    std::string start;
    std::string end;
    if (const ResultCode rc = CheckInvoiceNumberInput(input.startNumber, start); rc != 0) {
        return Refused(rc, FieldBit(InputField::StartNumber), InputField::StartNumber);
    }
    if (const ResultCode rc = CheckInvoiceNumberInput(input.endNumber, end); rc != 0) {
        return Refused(rc, FieldBit(InputField::EndNumber), InputField::EndNumber);
    }
    return Issue(ctx, code, TwoValues{start, end});
}

IssueResult IssueDateRange(const IssueContext& ctx, CommandCode code, const DateInput& startDate,
                           const DateInput& endDate) {
    std::string start;
    std::string end;
    if (const ResultCode rc = CheckDateInput(startDate, start); rc != 0) {
        return Refused(rc, ClearBadDateParts(rc, DateGroup::Start));
    }
    if (const ResultCode rc = CheckDateInput(endDate, end); rc != 0) {
        return Refused(rc, ClearBadDateParts(rc, DateGroup::End));
    }
    return Issue(ctx, code, TwoValues{start, end});
}

int ByteListClass(ByteListKind kind) { return kind == ByteListKind::Decimal ? kByteListDecimal : kByteListHexadecimal; }

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// Dates

std::uint16_t ClearBadDateParts(ResultCode code, DateGroup group) {
    const bool start = group == DateGroup::Start;
    std::uint16_t fields = 0;
    if (code & result::kBadYear) fields |= FieldBit(start ? InputField::StartYear : InputField::EndYear);
    if (code & result::kBadMonth) fields |= FieldBit(start ? InputField::StartMonth : InputField::EndMonth);
    if (code & result::kBadDay) fields |= FieldBit(start ? InputField::StartDay : InputField::EndDay);
    return fields;
}

ResultCode CheckDateInput(const DateInput& date, std::string& yyyymmdd) {
    std::string month = date.month;
    std::string day = date.day;
    return CheckDateParts(date.year, month, day, yyyymmdd);
}

// ---------------------------------------------------------------------------------------------------------
// Menu entries

IssueResult IssueMenuCommand(const IssueContext& ctx, CommandCode code) {
    const CommandInfo* info = FindCommand(code);
    if (info == nullptr || !info->menuDirect) return Refused(result::kCommandTypeError);
    return IssueBare(ctx, code);
}

ResultCode ParseTimeInput(std::string_view typed, std::string& hhmmss) {
    const auto chars = Utf8Characters(typed);
    if (chars.size() != 8) return result::kWrongDateLength;
    const int limits[3] = {23, 59, 59};
    std::string out;
    for (int part = 0; part < 3; ++part) {
        const std::string pair = std::string(chars[part * 3]) + std::string(chars[part * 3 + 1]);
        if (pair.size() != 2 || !AllDigits(pair)) return result::kBadDate;
        if ((pair[0] - '0') * 10 + (pair[1] - '0') > limits[part]) return result::kBadDate;
        if (part > 0) out += ':';
        out += pair;
    }
    hhmmss = std::move(out);
    return result::kSuccess;
}

IssueResult IssueSetTime(const IssueContext& ctx) {
    const std::string stamp = ctx.nowStamp ? ctx.nowStamp() : NowStamp();
    const std::string prompt = std::string("请输入正确的日期") + "\n\n\n\n" + "日期格式为hh：mm：ss";
    const auto answer = ctx.ui.AskText(std::string(kSetTimeInputTitle), prompt, MidCharacters(stamp, 10, 8));
    if (!answer) return Refused(result::kCommandAborted);
    if (answer->empty()) return Refused(result::kEmptyInput);

    std::string time;
    const ResultCode rc = ParseTimeInput(*answer, time);
    if (rc == result::kWrongDateLength) {
        ctx.ui.ShowMessage(std::string(kSetTimeTitle), std::string(kBadTimeFormat));
        return Refused(rc);
    }
    if (rc != result::kSuccess) {
        ctx.ui.ShowMessage(std::string(kSetTimeTitle), std::string(kBadTime));
        return Refused(rc);
    }
    return Issue(ctx, CommandCode::SetTime, TimeText{time});
}

IssueResult IssueDispenseInvoice(const IssueContext& ctx) {
    const auto answer = ctx.ui.AskText(std::string(kDispenseTitle), std::string(kDispensePrompt), "");
    if (!answer) return Refused(result::kCommandAborted);
    if (answer->empty()) return Refused(result::kEmptyInput);
    if (!AllDigits(*answer)) {
        ctx.ui.ShowMessage(std::string(kDispenseTitle), std::string(kBadRollCount));
        return Refused(result::kNotDigits);
    }
    // Leading zeros are harmless; anything longer than three digits is out of range anyway and must not
    // be converted (it could overflow).
    const std::string_view digits =
        std::string_view(*answer).substr(std::min(answer->find_first_not_of('0'), answer->size()));
    int count = 0;
    if (digits.size() <= 3) {
        for (char c : digits) count = count * 10 + (c - '0');
    } else {
        count = kMaxRollsPerDispense + 1;
    }
    if (count < 1 || count > kMaxRollsPerDispense) return Refused(result::kValueAbove255);

    // The count travels with the command: a request that does not go out leaves no count behind.
    CommandInFlight command = NewCommand(ctx, CommandCode::DispenseInvoice);
    command.chain.rolls_to_dispense = count;
    return IssueBare(ctx, std::move(command));
}

IssueResult IssueInstallRollQuery(const IssueContext& ctx) {
    return IssueBare(ctx, NewCommand(ctx, CommandCode::AlreadyInvoice, kCallerInstall));
}

// ---------------------------------------------------------------------------------------------------------
// Panels

IssueResult IssuePrintData(const IssueContext& ctx, bool byNumber, const RangeInput& input) {
    if (byNumber) return IssueNumberRange(ctx, CommandCode::PrintDataByNumber, input);
    return IssueDateRange(ctx, CommandCode::PrintDataByDate, input.startDate, input.endDate);
}

IssueResult IssueDayTrade(const IssueContext& ctx, const DateInput& start, const DateInput& end) {
    return IssueDateRange(ctx, CommandCode::DayTrade, start, end);
}

IssueResult IssueFactoryData(const IssueContext& ctx, const std::string& machineNumber, const DateInput& productionDate,
                             const std::string& hardwareVersion, const std::string& softwareVersion) {
    FactoryData data;
    if (const ResultCode rc = CheckDateInput(productionDate, data.ProductionDate); rc != 0) {
        return Refused(rc, ClearBadDateParts(rc, DateGroup::Start));
    }
    // The machine number is written into the sealed unit: a number that is not exactly 16 digits is
    // refused here rather than cut or padded into a different number.
    if (!AllDigits(machineNumber) || machineNumber.size() != kMachineNumberDigits) {
        ctx.ui.ShowMessage(std::string(kFactoryDataTitle), std::string(kBadMachineNumber));
        const ResultCode rc = machineNumber.empty()                         ? result::kEmptyInput
                              : !AllDigits(machineNumber)                   ? result::kNotDigits
                              : machineNumber.size() > kMachineNumberDigits ? result::kTextTooLong
                                                                            : result::kNotDigits;
        return Refused(rc, FieldBit(InputField::MachineNumber), InputField::MachineNumber);
    }
    data.MachineNumber = machineNumber;
    FormatTextField(hardwareVersion, kVersionWidth, ' ', kPadBehind, kCutToWidth, data.HardwareVersion);
    FormatTextField(softwareVersion, kVersionWidth, ' ', kPadBehind, kCutToWidth, data.SoftwareVersion);
    return Issue(ctx, CommandCode::SetMD, std::cref(data));
}

IssueResult IssueCardPower(const IssueContext& ctx, int selectedItem) {
    if (selectedItem == 0) return IssueBare(ctx, CommandCode::CardPowerOn);
    if (selectedItem == 1) return IssueBare(ctx, CommandCode::CardPowerOff);
    return Refused(result::kEmptyInput);
}

IssueResult IssueSendStr(const IssueContext& ctx, std::string_view text, ByteListKind kind) {
    // The builder checks and converts the text itself; a refusal comes back as its code.
    return Issue(ctx, CommandCode::SendStr, TypedBytes{text, ByteListClass(kind), 0});
}

IssueResult IssueSingleInvoice(const IssueContext& ctx, CommandCode command, std::string_view invoiceNumber) {
    // The panel serves two commands; it must say which one, since the command in flight may be another
    // one sent while the panel stood open.
    if (command != CommandCode::InvoiceSum && command != CommandCode::InvalidateInvoice) {
        return Refused(result::kCommandTypeError);
    }
    std::string padded;
    if (const ResultCode rc = CheckInvoiceNumberInput(invoiceNumber, padded); rc != 0) return Refused(rc);
    return Issue(ctx, command, TwoValues{kNoFirstValue, padded});
}

IssueResult IssueCutOffDate(const IssueContext& ctx, CommandCode command, const DateInput& cutOff) {
    if (command != CommandCode::WriteCard && command != CommandCode::DeclareData &&
        command != CommandCode::InvoiceData) {
        return Refused(result::kCommandTypeError);
    }
    std::string date;
    if (const ResultCode rc = CheckDateInput(cutOff, date); rc != 0) {
        return Refused(rc, ClearBadDateParts(rc, DateGroup::Start));
    }
    return Issue(ctx, command, TwoValues{kNoFirstValue, date});
}

IssueResult IssueIdiograph(const IssueContext& ctx, const std::string& text, ByteListKind kind) {
    IssueResult r = Issue(ctx, CommandCode::Idiograph, TypedBytes{text, ByteListClass(kind), kIdiographMinimum});
    if (!r.sent) return r;
    // The answer side looks the signed data up in the store; a booking that fails must not read as a
    // clean send.
    r.code = ctx.bookSignature ? ctx.bookSignature(text) : result::kStoreOpenFailed;
    return r;
}

InstallRow ParseInstallRow(std::string_view row) {
    InstallRow out;
    out.invoiceCode = std::string(TrimBlanks(MidCharacters(row, 5, 20)));
    out.startNumber = std::string(TrimBlanks(MidCharacters(row, 27, 10)));
    out.endNumber = std::string(TrimBlanks(MidCharacters(row, 39, 10)));
    return out;
}

IssueResult IssueInstallInv(const IssueContext& ctx, const std::optional<std::string>& selectedRow) {
    const std::string title(kInstallTitle);
    if (!selectedRow || selectedRow->empty()) {
        ctx.ui.ShowMessage(title, std::string(kNoRollSelected));
        return Refused(result::kEmptyInput);
    }
    const InstallRow row = ParseInstallRow(*selectedRow);
    std::string start;
    if (const ResultCode rc = CheckInvoiceNumberInput(row.startNumber, start); rc != 0) {
        ctx.ui.ShowMessage(title, std::string(kBadInvoiceNumber));
        return Refused(rc);
    }
    // A damaged row must not reach the confirmation: the builder needs the full 20-digit code. The row's
    // code column is 20 characters wide, so a code of digits only can only fall short of it.
    if (!AllDigits(row.invoiceCode) || row.invoiceCode.size() != kInvoiceCodeDigits) {
        const ResultCode rc = row.invoiceCode.empty()       ? result::kEmptyInput
                              : !AllDigits(row.invoiceCode) ? result::kNotDigits
                                                            : result::kBadInvoiceNumber;
        ctx.ui.ShowMessage(title, std::string(kBadInvoiceCode));
        return Refused(rc);
    }
    const std::string question = "发票代码：" + row.invoiceCode + "\n" + "发票卷起始号：" + start + "\n" +
                                 "发票卷终止号：" + row.endNumber + "\n";
    if (!ctx.ui.AskYesNo(std::string(kInstallConfirmTitle), question)) return Refused(result::kCommandAborted);

    // The roll's end number is only confirmed by the operator; the processor takes code and start.
    return Issue(ctx, NewCommand(ctx, CommandCode::InstallInv, kCallerConsole), RollStart{row.invoiceCode, start});
}

IssueResult IssueCheckCard(const IssueContext& ctx, CheckCardKind kind, bool byNumber, const RangeInput& input) {
    switch (kind) {
    case CheckCardKind::Detail:
        if (byNumber) return IssueNumberRange(ctx, CommandCode::CheckCardByNumber, input);
        return IssueDateRange(ctx, CommandCode::CheckCardByDate, input.startDate, input.endDate);
    case CheckCardKind::Declare:
        return IssueDateRange(ctx, CommandCode::CheckCardDeclare, input.startDate, input.endDate);
    case CheckCardKind::DayTrade:
        return IssueDateRange(ctx, CommandCode::CheckCardDayTrade, input.startDate, input.endDate);
    }
    return Refused(result::kCommandTypeError);
}

IssueResult IssueCheckSelf(const IssueContext& ctx, std::span<const bool, kSelfTestBoxCount> checked) {
    const std::uint8_t mask = GetCheckselfMask(checked);
    if (mask == 0) {
        ctx.ui.ShowMessage(std::string(kCheckSelfTitle), std::string(kNoSelfTestItem));
        return Refused(result::kEmptyInput);
    }
    CommandInFlight command = NewCommand(ctx, CommandCode::CheckSelf);
    command.chain.checkself_mask = WidenCheckselfMask(mask);
    command.chain.checkself_failed = false;
    return Issue(ctx, std::move(command), OneByte{mask});
}

// ---------------------------------------------------------------------------------------------------------
// Host requests

IssueResult IssueHostInvoiceNumber(const IssueContext& ctx, CommandCode command, std::string_view invoiceNumber,
                                   std::string* padded) {
    if (command != CommandCode::InvoiceSum && command != CommandCode::InvalidateInvoice) {
        return Refused(result::kCommandTypeError);
    }
    std::string digits;
    const int rc = PadInvoiceNumber(invoiceNumber, digits);
    if (padded) *padded = rc == 0 ? digits : std::string();
    if (rc != 0) return Refused(rc);
    return Issue(ctx, command, TwoValues{kNoFirstValue, digits}, Sender::Host);
}

IssueResult IssueGetLastInvData(const IssueContext& ctx) {
    return Issue(ctx, NewCommand(ctx, CommandCode::LastInvData, kCallerHost), NoPayload{}, Sender::Host);
}

IssueResult IssueHostPrintInv(const IssueContext& ctx, std::int32_t commandNumber, std::string_view invoiceNumber) {
    if (commandNumber == ToByte(CommandCode::LastInvData)) return IssueGetLastInvData(ctx);
    if (commandNumber != ToByte(CommandCode::PrintDataByNumber)) return Refused(result::kCommandTypeError);
    std::string number;
    if (const int rc = PadInvoiceNumber(invoiceNumber, number); rc != 0) return Refused(rc);
    return Issue(ctx, CommandCode::PrintDataByNumber, TwoValues{number, number}, Sender::Host);
}

IssueResult IssueHostInvoice(const IssueContext& ctx, CommandCode command, const InvoiceRequest& request) {
    if (command != CommandCode::MakeInvoice && command != CommandCode::ReturnInvoice) {
        return Refused(result::kCommandTypeError);
    }
    return Issue(ctx, NewCommand(ctx, command, kCallerHost), std::cref(request), Sender::Host);
}

}  // namespace karvex
