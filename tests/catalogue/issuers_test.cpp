#include "commands/issuers.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

namespace karvex {
namespace {

// Records every box and answers input boxes and questions from a script.
class FakeUi final : public UserInterface {
public:
    struct Box {
        std::string kind;  // "message", "yesno", "input"
        std::string title;
        std::string text;
        std::string initial;
    };
    std::vector<Box> boxes;
    std::deque<std::optional<std::string>> textReplies;
    std::deque<bool> yesNoReplies;

    void ShowMessage(const std::string& title, const std::string& text) override {
        boxes.push_back({"message", title, text, ""});
    }
    bool AskYesNo(const std::string& title, const std::string& text) override {
        boxes.push_back({"yesno", title, text, ""});
        if (yesNoReplies.empty()) return false;
        const bool reply = yesNoReplies.front();
        yesNoReplies.pop_front();
        return reply;
    }
    std::optional<std::string> AskText(const std::string& title, const std::string& prompt,
                                       const std::string& initial) override {
        boxes.push_back({"input", title, prompt, initial});
        if (textReplies.empty()) return std::nullopt;
        auto reply = textReplies.front();
        textReplies.pop_front();
        return reply;
    }
};

// Appends the CRC to a hand-written frame head and payload (for frames too long to write out in full).
Bytes WithCrc(Bytes frame) {
    AppendFrameCrc(frame);
    return frame;
}

class Issuers : public ::testing::Test {
protected:
    FakeUi ui;
    std::vector<Bytes> frames;
    int sinkResult = 0;
    // What a module would hold: the code of the last command offered, and the caller and chain step of the
    // last one it took.
    std::uint8_t currentCommand = 0xEE;
    std::uint16_t callerMode = 0;
    ChainStep chain;
    std::vector<std::string> cues;
    std::vector<std::string> booked;
    int bookResult = 0;
    IssueContext ctx{ui,
                     [this](CommandInFlight command, const Bytes& f) {
                         currentCommand = command.code;
                         if (sinkResult == 0) {
                             frames.push_back(f);
                             callerMode = command.caller;
                             chain = command.chain;
                         }
                         return sinkResult;
                     },
                     kCallerConsole,
                     [this](const std::string& t) { cues.push_back(t); },
                     [this](const std::string& t) {
                         booked.push_back(t);
                         return bookResult;
                     },
                     [] { return std::string("20050315 14：05：09"); }};

    void ExpectNothingSent(const IssueResult& r) {
        EXPECT_FALSE(r.sent);
        EXPECT_NE(r.code, 0);
        EXPECT_TRUE(frames.empty());
        EXPECT_TRUE(cues.empty());
    }
    void ExpectOnlyFrame(const IssueResult& r, const Bytes& frame, const std::string& cue) {
        EXPECT_TRUE(r.sent);
        EXPECT_EQ(r.code, 0);
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0], frame);
        EXPECT_EQ(cues, std::vector<std::string>{cue});
        EXPECT_EQ(currentCommand, frame[2]);
    }
    std::vector<std::string> Messages() const {
        std::vector<std::string> out;
        for (const auto& b : ui.boxes)
            if (b.kind == "message") out.push_back(b.title + "|" + b.text);
        return out;
    }
};

// ---------------------------------------------------------------------------------------------------------
// Set time

TEST_F(Issuers, SetTimeAcceptsAnySeparatorAndSendsBcd) {
    const Bytes expected = BytesOf({0x1B, 0x10, 0x3B, 0x00, 0x08, 0x23, 0x59, 0x59, 0x9C, 0x09});
    for (const char* typed : {"23:59:59", "23：59：59", "23.59.59"}) {
        SCOPED_TRACE(typed);
        frames.clear();
        cues.clear();
        callerMode = 0;
        ui.textReplies = {std::string(typed)};
        const IssueResult r = IssueSetTime(ctx);
        ExpectOnlyFrame(r, expected, "设置时间");
        EXPECT_EQ(callerMode, kCallerConsole);
    }
    ASSERT_FALSE(ui.boxes.empty());
    EXPECT_EQ(ui.boxes[0].title, "设置税控收款机时间");
    EXPECT_EQ(ui.boxes[0].text, "请输入正确的日期\n\n\n\n日期格式为hh：mm：ss");
    EXPECT_EQ(ui.boxes[0].initial, "14：05：09");
}

TEST_F(Issuers, SetTimeRefusals) {
    struct Case {
        std::optional<std::string> typed;
        const char* message;  // nullptr: silent
    };
    const Case cases[] = {
        {"24:00:00", "错误时间"},
        {"23:60:00", "错误时间"},
        {"00:00:60", "错误时间"},
        {"2a:00:00", "错误时间"},
        {"1:2:3", "错误的时间格式"},
        {"23:59:590", "错误的时间格式"},
        {"", nullptr},
        {std::nullopt, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed.value_or("<cancel>"));
        ui.boxes.clear();
        ui.textReplies = {c.typed};
        ExpectNothingSent(IssueSetTime(ctx));
        if (c.message) {
            EXPECT_EQ(Messages(), std::vector<std::string>{std::string("设置时间|") + c.message});
        } else {
            EXPECT_TRUE(Messages().empty());
        }
        EXPECT_EQ(currentCommand, 0xEE);
    }
}

// ---------------------------------------------------------------------------------------------------------
// Dates

TEST(DateInput, ChecksAndErrorBits) {
    struct Case {
        DateInput date;
        ResultCode code;
        const char* text;
    };
    const Case cases[] = {
        {{"2000", "02", "29"}, 0, "20000229"}, {{"2004", "2", "3"}, 0, "20040203"},
        {{"2100", "02", "29"}, 1024, nullptr}, {{"1999", "12", "31"}, 256, nullptr},
        {{"2005", "13", "0"}, 1536, nullptr},  {{"", "1", "1"}, 256, nullptr},
        {{"2001", "04", "31"}, 1024, nullptr}, {{"2005", "1a", "05"}, 512, nullptr},
        {{"25O1", "", "x"}, 1792, nullptr},    {{"2500", "12", "31"}, 0, "25001231"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.date.year + "-" + c.date.month + "-" + c.date.day);
        std::string text = "unchanged";
        EXPECT_EQ(CheckDateInput(c.date, text), c.code);
        EXPECT_EQ(text, c.text ? c.text : "unchanged");
    }
}

TEST(DateInput, ClearBadDatePartsNamesExactlyTheFlaggedFields) {
    using F = InputField;
    EXPECT_EQ(ClearBadDateParts(256, DateGroup::Start), FieldBit(F::StartYear));
    EXPECT_EQ(ClearBadDateParts(1536, DateGroup::Start), FieldBit(F::StartMonth) | FieldBit(F::StartDay));
    EXPECT_EQ(ClearBadDateParts(1792, DateGroup::End),
              FieldBit(F::EndYear) | FieldBit(F::EndMonth) | FieldBit(F::EndDay));
    EXPECT_EQ(ClearBadDateParts(0, DateGroup::End), 0);
}

TEST_F(Issuers, DayTradePadsOneCharacterMonthAndDay) {
    const IssueResult r = IssueDayTrade(ctx, {"2005", "3", "5"}, {"2005", "03", "15"});
    ExpectOnlyFrame(r,
                    BytesOf({0x1B, 0x10, 0x44, 0x00, 0x0D, 0x20, 0x05, 0x03, 0x05, 0x20, 0x05, 0x03, 0x15, 0x2C, 0xAF}),
                    "获取日交易数据");
}

TEST_F(Issuers, BadDateEmptiesOnlyItsFieldsAndSendsNothing) {
    IssueResult r = IssueDayTrade(ctx, {"2005", "3", "5"}, {"2005", "13", "0"});
    ExpectNothingSent(r);
    EXPECT_EQ(r.code, 1536);
    EXPECT_EQ(r.clearFields, FieldBit(InputField::EndMonth) | FieldBit(InputField::EndDay));
    EXPECT_EQ(currentCommand, 0xEE);
    EXPECT_TRUE(ui.boxes.empty());

    r = IssuePrintData(ctx, false, {"", "", {"1999", "12", "31"}, {"2005", "1", "1"}});
    EXPECT_EQ(r.code, 256);
    EXPECT_EQ(r.clearFields, FieldBit(InputField::StartYear));
}

TEST_F(Issuers, CutOffDateCommandsSendOneDate) {
    ExpectOnlyFrame(IssueCutOffDate(ctx, CommandCode::DeclareData, {"2000", "2", "29"}),
                    BytesOf({0x1B, 0x10, 0x3E, 0x00, 0x09, 0x20, 0x00, 0x02, 0x29, 0xED, 0x64}), "申报数据上传");
    frames.clear();
    cues.clear();
    const IssueResult wrong = IssueCutOffDate(ctx, CommandCode::DayTrade, {"2000", "2", "29"});
    EXPECT_EQ(wrong.code, result::kCommandTypeError);
    EXPECT_TRUE(frames.empty());
}

// ---------------------------------------------------------------------------------------------------------
// Invoice numbers

TEST_F(Issuers, SingleInvoiceNumberPanel) {
    ExpectOnlyFrame(IssueSingleInvoice(ctx, CommandCode::InvalidateInvoice, "12345678"),
                    BytesOf({0x1B, 0x10, 0x36, 0x00, 0x09, 0x00, 0xBC, 0x61, 0x4E, 0x27, 0x8C}), "废票");
    frames.clear();
    cues.clear();
    ExpectOnlyFrame(IssueSingleInvoice(ctx, CommandCode::InvoiceSum, "123"),
                    BytesOf({0x1B, 0x10, 0x3C, 0x00, 0x09, 0x00, 0x00, 0x00, 0x7B, 0xE2, 0xA7}), "单卷发票汇总");
    EXPECT_EQ(callerMode, kCallerConsole);
}

TEST_F(Issuers, SingleInvoiceNumberRefusalsOnlyEndTheHandler) {
    struct Case {
        std::string typed;
        ResultCode code;
    };
    const Case cases[] = {{"4294967296", 148}, {"12345678901", 103}, {"12a", 105}, {"", 144}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        const IssueResult r = IssueSingleInvoice(ctx, CommandCode::InvalidateInvoice, c.typed);
        ExpectNothingSent(r);
        EXPECT_EQ(r.code, c.code);
        EXPECT_EQ(r.clearFields, 0);
        EXPECT_TRUE(ui.boxes.empty());
    }
    // The panel names its command; one that the panel does not serve is refused.
    EXPECT_EQ(IssueSingleInvoice(ctx, CommandCode::DispenseInvoice, "1").code, result::kCommandTypeError);
    EXPECT_TRUE(frames.empty());
}

TEST_F(Issuers, NumberRangeEmptiesTheOffendingField) {
    IssueResult r = IssuePrintData(ctx, true, {"", "5", {}, {}});
    EXPECT_EQ(r.code, 144);
    EXPECT_EQ(r.clearFields, FieldBit(InputField::StartNumber));
    EXPECT_EQ(r.focus, InputField::StartNumber);

    r = IssueCheckCard(ctx, CheckCardKind::Detail, true, {"1", "4294967296", {}, {}});
    EXPECT_EQ(r.code, 148);
    EXPECT_EQ(r.clearFields, FieldBit(InputField::EndNumber));
    EXPECT_EQ(r.focus, InputField::EndNumber);
    EXPECT_TRUE(frames.empty());

    ExpectOnlyFrame(IssueCheckCard(ctx, CheckCardKind::Detail, true, {"1", "0000000002", {}, {}}),
                    BytesOf({0x1B, 0x10, 0xB5, 0x00, 0x0D, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0xB3, 0x82}),
                    "明细发票段核查");
}

TEST_F(Issuers, PanelOptionsChooseTheCommand) {
    const RangeInput dates{"", "", {"2005", "03", "01"}, {"2005", "03", "31"}};
    struct Case {
        CheckCardKind kind;
        bool byNumber;
        std::uint8_t code;
        const char* cue;
    };
    const Case cases[] = {
        {CheckCardKind::Detail, false, 0xB6, "明细日期段核查"},
        {CheckCardKind::Declare, true, 0xB8, "申报数据核查"},
        {CheckCardKind::DayTrade, false, 0xB7, "日交易核查"},
    };
    for (const Case& c : cases) {
        frames.clear();
        cues.clear();
        ExpectOnlyFrame(
            IssueCheckCard(ctx, c.kind, c.byNumber, dates),
            WithCrc(BytesOf({0x1B, 0x10, c.code, 0x00, 0x0D, 0x20, 0x05, 0x03, 0x01, 0x20, 0x05, 0x03, 0x31})), c.cue);
    }
    frames.clear();
    cues.clear();
    ExpectOnlyFrame(IssuePrintData(ctx, false, dates),
                    WithCrc(BytesOf({0x1B, 0x10, 0x43, 0x00, 0x0D, 0x20, 0x05, 0x03, 0x01, 0x20, 0x05, 0x03, 0x31})),
                    "日期段发票打印数据");
}

// ---------------------------------------------------------------------------------------------------------
// Byte lists

TEST_F(Issuers, SendStrTypedBytes) {
    ExpectOnlyFrame(IssueSendStr(ctx, " 1b 10  ff ", ByteListKind::Hexadecimal),
                    BytesOf({0x1B, 0x10, 0xA5, 0x00, 0x08, 0x1B, 0x10, 0xFF, 0x7A, 0x2D}), "字符串");
    struct Case {
        const char* typed;
        ByteListKind kind;
        ResultCode code;
    };
    const Case refused[] = {
        {"100", ByteListKind::Hexadecimal, 146}, {"256", ByteListKind::Decimal, 146},
        {"1 2 x", ByteListKind::Decimal, 108},   {"1 g", ByteListKind::Hexadecimal, 109},
        {"   ", ByteListKind::Decimal, 144},
    };
    for (const Case& c : refused) {
        SCOPED_TRACE(c.typed);
        EXPECT_EQ(IssueSendStr(ctx, c.typed, c.kind).code, c.code);
    }
    EXPECT_EQ(frames.size(), 1u);
    EXPECT_EQ(cues.size(), 1u);
}

std::string Values(int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += std::to_string(i % 250 + 1) + " ";
    return text;
}

TEST_F(Issuers, IdiographPadsTo128AndKeepsAtMost248) {
    struct Case {
        int values;
        std::uint8_t lengthByte;
    };
    for (const Case c : {Case{5, 133}, Case{200, 205}, Case{300, 253}}) {
        SCOPED_TRACE(c.values);
        frames.clear();
        booked.clear();
        const std::string typed = Values(c.values);
        const IssueResult r = IssueIdiograph(ctx, typed, ByteListKind::Decimal);
        EXPECT_TRUE(r.sent);
        EXPECT_EQ(r.code, 0);
        ASSERT_EQ(frames.size(), 1u);
        const Bytes& f = frames[0];
        ASSERT_EQ(f.size(), c.lengthByte + 2u);
        EXPECT_EQ(f[2], 0x46);
        EXPECT_EQ(f[4], c.lengthByte);
        for (std::size_t i = 0; i + 5 < c.lengthByte; ++i) {
            const int expected = static_cast<int>(i) < c.values ? static_cast<int>(i % 250 + 1) : 0;
            ASSERT_EQ(f[5 + i], expected) << "payload byte " << i;
        }
        EXPECT_EQ(f, WithCrc(Bytes(f.begin(), f.end() - 2)));
        EXPECT_EQ(booked, std::vector<std::string>{typed});
    }
}

TEST_F(Issuers, IdiographBookingFailureIsReportedAfterTheSend) {
    bookResult = 91;
    const IssueResult r = IssueIdiograph(ctx, "01 02", ByteListKind::Hexadecimal);
    EXPECT_TRUE(r.sent);
    EXPECT_EQ(r.code, 91);

    frames.clear();
    booked.clear();
    const IssueResult bad = IssueIdiograph(ctx, "1 2 300", ByteListKind::Decimal);
    EXPECT_EQ(bad.code, 146);
    EXPECT_TRUE(frames.empty());
    EXPECT_TRUE(booked.empty());  // nothing was sent, so nothing may wait for a signature
}

// ---------------------------------------------------------------------------------------------------------
// Self-test

TEST_F(Issuers, CheckSelfKeepsTheWidenedMaskAndClearsTheMemo) {
    chain.checkself_failed = true;
    const std::array<bool, 5> ramOnly{false, false, true, false, false};
    ExpectOnlyFrame(IssueCheckSelf(ctx, ramOnly), BytesOf({0x1B, 0x10, 0xB0, 0x00, 0x06, 0x04, 0x1B, 0xB6}),
                    "税控器自检");
    EXPECT_EQ(chain.checkself_mask, 0x1C);
    EXPECT_FALSE(chain.checkself_failed);
}

TEST_F(Issuers, CheckSelfWithNothingCheckedAsksForAnItem) {
    chain.checkself_mask = 0x81;
    const std::array<bool, 5> none{};
    ExpectNothingSent(IssueCheckSelf(ctx, none));
    EXPECT_EQ(Messages(), std::vector<std::string>{"税控器自检|请选择自检的项目"});
    EXPECT_EQ(chain.checkself_mask, 0x81);
}

// ---------------------------------------------------------------------------------------------------------
// Factory data

Bytes FactoryFrame(const std::string& hardware) {
    Bytes f =
        BytesOf({0x1B, 0x10, 0x86, 0x00, 0x35, 0x12, 0x34, 0x56, 0x78, 0x90, 0x12, 0x34, 0x56, 0x20, 0x04, 0x06, 0x01});
    f.insert(f.end(), hardware.begin(), hardware.end());
    const std::string software = "V2                ";
    f.insert(f.end(), software.begin(), software.end());
    return WithCrc(f);
}

TEST_F(Issuers, FactoryDataFitsTheVersionsTo18Bytes) {
    ExpectOnlyFrame(IssueFactoryData(ctx, "1234567890123456", {"2004", "6", "1"}, "ABCDEFGHIJKLMNOPQRST", "V2"),
                    FactoryFrame("ABCDEFGHIJKLMNOPQR"), "设置出厂数据");
    frames.clear();
    cues.clear();
    // 17 ASCII bytes and a double-byte character: the character does not fit and becomes a blank.
    ExpectOnlyFrame(IssueFactoryData(ctx, "1234567890123456", {"2004", "06", "01"}, "ABCDEFGHIJKLMNOPQ中", "V2"),
                    FactoryFrame("ABCDEFGHIJKLMNOPQ "), "设置出厂数据");
}

TEST_F(Issuers, FactoryDataRefusesMachineNumbersOtherThan16Digits) {
    for (const char* number : {"123456789012345", "12345678901234567", "12345678901234a6", ""}) {
        SCOPED_TRACE(number);
        ui.boxes.clear();
        const IssueResult r = IssueFactoryData(ctx, number, {"2004", "06", "01"}, "H", "S");
        ExpectNothingSent(r);
        EXPECT_EQ(r.clearFields, FieldBit(InputField::MachineNumber));
        EXPECT_EQ(r.focus, InputField::MachineNumber);
        EXPECT_EQ(Messages(), std::vector<std::string>{"设置机器出厂数据|错误的机器编号"});
        EXPECT_EQ(currentCommand, 0xEE);
    }
    // The date is checked first and only empties its fields.
    ui.boxes.clear();
    const IssueResult r = IssueFactoryData(ctx, "x", {"2004", "02", "30"}, "H", "S");
    EXPECT_EQ(r.code, 1024);
    EXPECT_EQ(r.clearFields, FieldBit(InputField::StartDay));
    EXPECT_TRUE(ui.boxes.empty());
}

// ---------------------------------------------------------------------------------------------------------
// Roll dispensing and installation

TEST_F(Issuers, DispenseInvoiceCount) {
    struct Case {
        std::optional<std::string> typed;
        bool sends;
        const char* message;
    };
    const Case cases[] = {
        {"0", false, nullptr},
        {"201", false, nullptr},
        {"99999999999999999999", false, nullptr},
        {"", false, nullptr},
        {std::nullopt, false, nullptr},
        {"3x", false, "分发发票|请输入正确的发票卷数"},
        {"-3", false, "分发发票|请输入正确的发票卷数"},
        {"003", true, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed.value_or("<cancel>"));
        frames.clear();
        cues.clear();
        ui.boxes.clear();
        chain.rolls_to_dispense = 0;
        ui.textReplies = {c.typed};
        const IssueResult r = IssueDispenseInvoice(ctx);
        EXPECT_EQ(r.sent, c.sends);
        EXPECT_EQ(frames.size(), c.sends ? 1u : 0u);
        EXPECT_EQ(chain.rolls_to_dispense, c.sends ? 3 : 0);
        EXPECT_EQ(Messages(), c.message ? std::vector<std::string>{c.message} : std::vector<std::string>{});
    }
    ASSERT_FALSE(ui.boxes.empty());
    EXPECT_EQ(ui.boxes[0].title, "分发发票");
    EXPECT_EQ(ui.boxes[0].text, "请输入分发的发票卷数：");
}

TEST_F(Issuers, DispenseThreeRollsSendsOneBareRequest) {
    ui.textReplies = {std::string("3")};
    ExpectOnlyFrame(IssueDispenseInvoice(ctx), BytesOf({0x1B, 0x10, 0x31, 0x00, 0x05, 0xC7, 0x07}), "分发发票号");
    EXPECT_EQ(chain.rolls_to_dispense, 3);
    EXPECT_EQ(callerMode, kCallerConsole);
}

std::string InstallRowText(const std::string& start) {
    return "1   " + std::string("12345678901234567890") + "  " + start + "  " + "0000012399";
}

TEST_F(Issuers, InstallSendsCodeAndStartButNeverTheEnd) {
    ui.yesNoReplies = {true};
    const IssueResult r = IssueInstallInv(ctx, InstallRowText("0000012345"));
    ExpectOnlyFrame(r, BytesOf({0x1B, 0x10, 0xB4, 0x00, 0x13, 0x12, 0x34, 0x56, 0x78, 0x90, 0x12,
                                0x34, 0x56, 0x78, 0x90, 0x00, 0x00, 0x30, 0x39, 0xE9, 0xDC}),
                    "安装发票");
    EXPECT_EQ(callerMode, kCallerConsole);
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].kind, "yesno");
    EXPECT_EQ(ui.boxes[0].title, "选择安装发票");
    EXPECT_EQ(ui.boxes[0].text, "发票代码：12345678901234567890\n发票卷起始号：0000012345\n发票卷终止号：0000012399\n");
}

TEST_F(Issuers, InstallRefusals) {
    struct Case {
        std::optional<std::string> row;
        bool yes;
        const char* message;  // nullptr: none
    };
    const Case cases[] = {
        {std::nullopt, true, "安装发票|请选择发票卷"},
        {std::string(), true, "安装发票|请选择发票卷"},
        {InstallRowText("00000abcde"), true, "安装发票|错误的发票号"},
        {InstallRowText("9999999999"), true, "安装发票|错误的发票号"},
        {std::string("1   12345"), true, "安装发票|错误的发票号"},
        {InstallRowText("0000012345"), false, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.row.value_or("<none>"));
        ui.boxes.clear();
        ui.yesNoReplies = {c.yes};
        ExpectNothingSent(IssueInstallInv(ctx, c.row));
        EXPECT_EQ(Messages(), c.message ? std::vector<std::string>{c.message} : std::vector<std::string>{});
    }
    // A damaged invoice code is reported before any question is asked; a short one is not called too long.
    std::string damaged = InstallRowText("0000012345");
    damaged[10] = 'x';
    std::string shortCode = InstallRowText("0000012345");
    shortCode[23] = ' ';
    const std::pair<std::string, ResultCode> codes[] = {{damaged, result::kNotDigits},
                                                        {shortCode, result::kBadInvoiceNumber}};
    for (const auto& [row, code] : codes) {
        ui.boxes.clear();
        const IssueResult r = IssueInstallInv(ctx, row);
        ExpectNothingSent(r);
        EXPECT_EQ(r.code, code);
        EXPECT_EQ(Messages(), std::vector<std::string>{"安装发票|错误的发票代码"});
    }
}

TEST(InstallRowParse, TakesTheColumnsWithoutPadding) {
    const InstallRow row = ParseInstallRow("12  12345678901234567890  0000000001  0000000100");
    EXPECT_EQ(row.invoiceCode, "12345678901234567890");
    EXPECT_EQ(row.startNumber, "0000000001");
    EXPECT_EQ(row.endNumber, "0000000100");
    const InstallRow shortRow = ParseInstallRow("1");
    EXPECT_EQ(shortRow.invoiceCode, "");
    EXPECT_EQ(shortRow.endNumber, "");
}

TEST_F(Issuers, InstallRollQueryHandsTheAnswerToTheInstallPanel) {
    ExpectOnlyFrame(IssueInstallRollQuery(ctx), WithCrc(BytesOf({0x1B, 0x10, 0x32, 0x00, 0x05})), "已分发发票号");
    EXPECT_EQ(callerMode, kCallerInstall);
}

// ---------------------------------------------------------------------------------------------------------
// Menu commands, card power, closed port

TEST_F(Issuers, MenuCommands) {
    ExpectOnlyFrame(IssueMenuCommand(ctx, CommandCode::Online), BytesOf({0x1B, 0x10, 0x00, 0x00, 0x05, 0x44, 0xD0}),
                    "联机");
    EXPECT_EQ(callerMode, kCallerConsole);
    frames.clear();
    cues.clear();
    ExpectOnlyFrame(IssueMenuCommand(ctx, CommandCode::CurrentInvoice),
                    BytesOf({0x1B, 0x10, 0x33, 0x00, 0x05, 0x47, 0x2C}), "当前发票号");
    frames.clear();
    cues.clear();
    // Bare commands that need a question first (0x31), belong to the card panel (0xA6, 0xA7) or to a host
    // call's chain (0xB1) are no menu commands, and the table says so.
    for (auto code :
         {CommandCode::SetTime, CommandCode::MakeInvoice, CommandCode::CheckWriteCard, CommandCode::DispenseInvoice,
          CommandCode::CardPowerOn, CommandCode::CardPowerOff, CommandCode::LastInvData}) {
        EXPECT_EQ(IssueMenuCommand(ctx, code).code, result::kCommandTypeError);
        EXPECT_FALSE(FindCommand(code)->menuDirect);
    }
    EXPECT_TRUE(frames.empty());
}

TEST_F(Issuers, CardPowerFollowsTheListItem) {
    ExpectOnlyFrame(IssueCardPower(ctx, 1), BytesOf({0x1B, 0x10, 0xA7, 0x00, 0x05, 0xCC, 0x3F}), "IC卡下电");
    frames.clear();
    cues.clear();
    ExpectOnlyFrame(IssueCardPower(ctx, 0), WithCrc(BytesOf({0x1B, 0x10, 0xA6, 0x00, 0x05})), "IC卡上电");
    frames.clear();
    cues.clear();
    ExpectNothingSent(IssueCardPower(ctx, -1));
}

TEST_F(Issuers, ClosedPortLogsNothingShowsNothingAndKeepsTheCallerMode) {
    sinkResult = result::kNoOpenPort;
    callerMode = 2;
    chain.checkself_mask = 0x01;
    const std::array<bool, 5> cpu{true, false, false, false, false};
    struct Case {
        const char* what;
        std::function<IssueResult()> issue;
        std::uint8_t code;
    };
    const Case cases[] = {
        {"online", [&] { return IssueMenuCommand(ctx, CommandCode::Online); }, 0x00},
        {"set time",
         [&] {
             ui.textReplies = {std::string("12:00:00")};
             return IssueSetTime(ctx);
         },
         0x3B},
        {"invalidate", [&] { return IssueSingleInvoice(ctx, CommandCode::InvalidateInvoice, "1"); }, 0x36},
        {"send str", [&] { return IssueSendStr(ctx, "01", ByteListKind::Hexadecimal); }, 0xA5},
        {"idiograph", [&] { return IssueIdiograph(ctx, "01", ByteListKind::Hexadecimal); }, 0x46},
        {"check self", [&] { return IssueCheckSelf(ctx, cpu); }, 0xB0},
        {"dispense",
         [&] {
             ui.textReplies = {std::string("5")};
             return IssueDispenseInvoice(ctx);
         },
         0x31},
        {"last inv", [&] { return IssueGetLastInvData(ctx); }, 0xB1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const IssueResult r = c.issue();
        EXPECT_EQ(r.code, result::kNoOpenPort);
        EXPECT_FALSE(r.sent);
        EXPECT_EQ(currentCommand, c.code);  // offered, and refused by the link
    }
    EXPECT_TRUE(cues.empty());
    EXPECT_TRUE(Messages().empty());
    EXPECT_TRUE(booked.empty());
    EXPECT_EQ(callerMode, 2);
    EXPECT_EQ(chain.checkself_mask, 0x01);
    EXPECT_EQ(chain.rolls_to_dispense, 0);
}

TEST_F(Issuers, MissingSinkCountsAsClosedPort) {
    IssueContext noPort = ctx;
    noPort.start = nullptr;
    EXPECT_EQ(IssueMenuCommand(noPort, CommandCode::Online).code, result::kNoOpenPort);
}

// ---------------------------------------------------------------------------------------------------------
// Host requests

TEST_F(Issuers, HostInvoiceNumberRequests) {
    std::string padded;
    ctx.caller = kCallerHost;
    ExpectOnlyFrame(IssueHostInvoiceNumber(ctx, CommandCode::InvalidateInvoice, "123", &padded),
                    WithCrc(BytesOf({0x1B, 0x10, 0x36, 0x00, 0x09, 0x00, 0x00, 0x00, 0x7B})), "废票");
    EXPECT_EQ(padded, "0000000123");
    EXPECT_EQ(callerMode, kCallerHost);  // the method's own, through its context

    frames.clear();
    cues.clear();
    const IssueResult bad = IssueHostInvoiceNumber(ctx, CommandCode::InvoiceSum, "12a", &padded);
    EXPECT_EQ(bad.code, 105);
    EXPECT_EQ(padded, "");
    EXPECT_EQ(IssueHostInvoiceNumber(ctx, CommandCode::InvoiceSum, "4294967296").code, 148);
    EXPECT_EQ(IssueHostInvoiceNumber(ctx, CommandCode::PrintDataByNumber, "1").code, result::kCommandTypeError);
    EXPECT_TRUE(frames.empty());
}

TEST_F(Issuers, HostPrintInvChoosesTheRequestByCommandNumber) {
    ExpectOnlyFrame(IssueHostPrintInv(ctx, 177, ""), BytesOf({0x1B, 0x10, 0xB1, 0x00, 0x05, 0x4D, 0x04}),
                    "获取最后发票打印数据");
    EXPECT_EQ(callerMode, kCallerHost);

    frames.clear();
    cues.clear();
    ctx.caller = kCallerPrintDataChain;
    ExpectOnlyFrame(IssueHostPrintInv(ctx, 66, "123"),
                    BytesOf({0x1B, 0x10, 0x42, 0x00, 0x0D, 0x00, 0x00, 0x00, 0x7B, 0x00, 0x00, 0x00, 0x7B, 0x41, 0xCF}),
                    "起止号发票打印数据");
    EXPECT_EQ(callerMode, kCallerPrintDataChain);

    frames.clear();
    cues.clear();
    EXPECT_EQ(IssueHostPrintInv(ctx, 67, "123").code, result::kCommandTypeError);
    EXPECT_EQ(IssueHostPrintInv(ctx, 66, "").code, 144);
    EXPECT_EQ(IssueHostPrintInv(ctx, 66, "12345678901").code, 103);
    EXPECT_EQ(IssueHostPrintInv(ctx, 66, "4294967296").code, 148);
    EXPECT_TRUE(frames.empty());
    EXPECT_TRUE(cues.empty());
}

TEST_F(Issuers, HostInvoiceSendsTheRecordUnderTheChosenCommand) {
    InvoiceRequest request;
    request.FhNumber = 1;
    request.SalesNum = 1;
    request.ItemName[0] = "A";
    request.ItemQuantity[0] = 100;
    request.ItemTaxIndex[0] = 1;
    request.ItemSumFen[0] = 100;
    const IssueResult r = IssueHostInvoice(ctx, CommandCode::MakeInvoice, request);
    ASSERT_TRUE(r.sent);
    ASSERT_EQ(frames.size(), 1u);
    Bytes expected = BytesOf({0x1B, 0x10, 0x34, 0x00, 48 + 27, 0x00, 0x01});
    expected.insert(expected.end(), 40, 0x20);
    expected.push_back(0x01);
    expected.push_back('A');
    expected.insert(expected.end(), 19, 0x20);
    for (int b : {0x00, 0x64, 0x01, 0x00, 0x00, 0x00, 0x64}) expected.push_back(static_cast<std::uint8_t>(b));
    EXPECT_EQ(frames[0], WithCrc(expected));
    EXPECT_EQ(callerMode, kCallerHost);
    EXPECT_EQ(currentCommand, 0x34);

    frames.clear();
    EXPECT_EQ(IssueHostInvoice(ctx, CommandCode::SetTime, request).code, result::kCommandTypeError);
    request.SalesNum = 0;
    EXPECT_EQ(IssueHostInvoice(ctx, CommandCode::ReturnInvoice, request).code, 168);
    EXPECT_TRUE(frames.empty());
}

}  // namespace
}  // namespace karvex
