#include "commands/catalogue.h"

#include <gtest/gtest.h>

#include <array>
#include <set>

namespace karvex {
namespace {

struct RowCase {
    std::uint8_t code;
    CommandCode id;
    const char* name;
    const char* display;
    FrameBuilder builder;
    std::uint8_t length;
    AnswerKind answer;
};

TEST(CommandTable, SampleRowsCarryTheirNamesLayoutsAndAnswers) {
    const RowCase cases[] = {
        {0x00, CommandCode::Online, "联机", "联机", FrameBuilder::Bare, 5, AnswerKind::Accept},
        {0x30, CommandCode::Initialize, "初始化", "税控器初始化", FrameBuilder::Bare, 5, AnswerKind::Ack},
        {0x33, CommandCode::CurrentInvoice, "获取当前发票号", "当前发票号", FrameBuilder::Bare, 5,
         AnswerKind::CurrentInv},
        {0x36, CommandCode::InvalidateInvoice, "废票", "废票", FrameBuilder::NumberPair, 9, AnswerKind::Ack},
        {0x3A, CommandCode::GetTime, "获取日期时间", "获取税控器时间", FrameBuilder::Bare, 5, AnswerKind::DateTime},
        {0x3B, CommandCode::SetTime, "设置时间", "设置时间", FrameBuilder::Time, 8, AnswerKind::Ack},
        {0x3C, CommandCode::InvoiceSum, "获取单卷发票使用汇总数据", "单卷发票汇总", FrameBuilder::NumberPair, 9,
         AnswerKind::InvUseSum},
        {0x3D, CommandCode::WriteCard, "申报数据和发票打印数据写卡", "申报数据写卡", FrameBuilder::BcdPair, 9,
         AnswerKind::Ack},
        {0x3F, CommandCode::InvoiceData, "发票数据上传", "发票数据上传", FrameBuilder::BcdPair, 9,
         AnswerKind::InvPrintData},
        {0x42, CommandCode::PrintDataByNumber, "按起止号码获取发票打印数据", "起止号发票打印数据",
         FrameBuilder::NumberPair, 13, AnswerKind::InvPrintData},
        {0x44, CommandCode::DayTrade, "获取日期段日交易数据", "获取日交易数据", FrameBuilder::BcdPair, 13,
         AnswerKind::DayTrade},
        {0x46, CommandCode::Idiograph, "数据签名", "数据签名", FrameBuilder::ByteList, 0, AnswerKind::DataIdiograph},
        {0x86, CommandCode::SetMD, "设置出厂数据", "设置出厂数据", FrameBuilder::FactoryData, 53, AnswerKind::Ack},
        {0xA5, CommandCode::SendStr, "卡操作：发送字符串", "字符串", FrameBuilder::ByteList, 0,
         AnswerKind::CardAnswer},
        {0xB0, CommandCode::CheckSelf, "税控器自检", "税控器自检", FrameBuilder::Byte, 6, AnswerKind::Checkself},
        {0xB1, CommandCode::LastInvData, "获取最后一个发票打印数据", "获取最后发票打印数据", FrameBuilder::Bare, 5,
         AnswerKind::InvPrintData},
        {0xB3, CommandCode::GetDateTime, "获取日期时间", "获取日期时间", FrameBuilder::None, 0,
         AnswerKind::DateTimeSec},
        {0xB4, CommandCode::InstallInv, "安装发票", "安装发票", FrameBuilder::Install, 19, AnswerKind::Ack},
        {0xB7, CommandCode::CheckCardDayTrade, "日交易核查数据写卡", "日交易核查", FrameBuilder::BcdPair, 13,
         AnswerKind::Ack},
        {0xBA, CommandCode::GetTotalSum, "获取累计金额", "获取累计金额", FrameBuilder::Bare, 5, AnswerKind::TotalSum},
    };
    for (const RowCase& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.code));
        const CommandInfo* row = FindCommand(c.code);
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(row->code, c.id);
        EXPECT_EQ(CommandName(c.code), c.name);
        EXPECT_EQ(CommandDisplayText(c.code), c.display);
        EXPECT_EQ(row->builder, c.builder);
        EXPECT_EQ(row->requestLength, c.length);
        EXPECT_EQ(row->answer, c.answer);
    }
}

TEST(CommandTable, CodesOutsideTheFiveGroupsAreUnknown) {
    for (int code : {0x01, 0x2F, 0x48, 0x85, 0x87, 0xA4, 0xA8, 0xAF, 0xBB, 0xFF}) {
        SCOPED_TRACE(code);
        EXPECT_EQ(FindCommand(static_cast<std::uint8_t>(code)), nullptr);
        EXPECT_EQ(CommandName(static_cast<std::uint8_t>(code)), "未知命令");
        EXPECT_EQ(ToCommandCode(static_cast<std::uint8_t>(code)), std::nullopt);
    }
}

TEST(CommandTable, EveryCodeOfTheFiveGroupsIsPresentOnce) {
    std::set<int> expected{0x00, 0x86};
    for (int c = 0x30; c <= 0x47; ++c) expected.insert(c);
    for (int c = 0xA5; c <= 0xA7; ++c) expected.insert(c);
    for (int c = 0xB0; c <= 0xBA; ++c) expected.insert(c);
    std::set<int> seen;
    for (const CommandInfo& row : CommandTable()) {
        EXPECT_TRUE(seen.insert(ToByte(row.code)).second) << "duplicate " << int(ToByte(row.code));
    }
    EXPECT_EQ(seen, expected);
}

TEST(CommandTable, FixedLengthsAgreeWithTheirBuilderAndIssuedRowsCanBeLogged) {
    for (const CommandInfo& row : CommandTable()) {
        SCOPED_TRACE(std::string(row.identifier));
        switch (row.builder) {
            case FrameBuilder::Bare: EXPECT_EQ(row.requestLength, 5); break;
            case FrameBuilder::Byte: EXPECT_EQ(row.requestLength, 6); break;
            case FrameBuilder::Time: EXPECT_EQ(row.requestLength, 8); break;
            case FrameBuilder::Install: EXPECT_EQ(row.requestLength, 19); break;
            case FrameBuilder::FactoryData: EXPECT_EQ(row.requestLength, 53); break;
            case FrameBuilder::BcdPair:
            case FrameBuilder::NumberPair:
                EXPECT_TRUE(row.requestLength == 9 || row.requestLength == 13);
                break;
            default: EXPECT_EQ(row.requestLength, 0); break;
        }
        EXPECT_EQ(row.HasIssuer(), row.builder != FrameBuilder::None);
        // The console logs every command it sends under its display text.
        if (row.issuedBy == IssuedBy::Console || row.issuedBy == IssuedBy::ConsoleAndHost) {
            EXPECT_FALSE(row.displayText.empty());
        }
    }
}

TEST(CommandTable, CommandsWithoutIssuer) {
    for (auto code : {CommandCode::CheckWriteCard, CommandCode::SetDateTime, CommandCode::GetDateTime,
                      CommandCode::CyclicCheckSelf}) {
        EXPECT_FALSE(FindCommand(code)->HasIssuer()) << FindCommand(code)->identifier;
    }
    EXPECT_EQ(CommandName(0xB2), "设置日期时间");
    EXPECT_EQ(CommandName(0xB9), "循环自动自检");
}

TEST(SelfTestMask, CheckBoxesMapToItemBits) {
    struct Case {
        std::array<bool, 5> boxes;
        std::uint8_t mask;
        std::uint8_t widened;
    };
    const Case cases[] = {
        {{false, false, false, false, false}, 0x00, 0x00},
        {{true, false, false, false, false}, 0x01, 0x01},
        {{false, true, false, false, false}, 0x02, 0x02},
        {{false, false, true, false, false}, 0x04, 0x1C},
        {{false, false, false, true, false}, 0x20, 0x60},
        {{false, false, false, false, true}, 0x80, 0x80},
        {{true, true, true, true, true}, 0xA7, 0xFF},
    };
    for (const Case& c : cases) {
        const std::uint8_t mask = GetCheckselfMask(c.boxes);
        EXPECT_EQ(mask, c.mask);
        EXPECT_EQ(WidenCheckselfMask(mask), c.widened);
    }
}

TEST(SelfTestMask, NextItemNameIsTheNextSelectedHigherBit) {
    struct Case {
        std::uint8_t mask;
        int reported;
        const char* name;
    };
    const Case cases[] = {
        {0xFF, 0x01, "ROM代码校验和"}, {0xFF, 0x02, "RAM地址奇偶法"}, {0xFF, 0x04, "RAM步进法"},
        {0xFF, 0x08, "RAM走步法"},     {0xFF, 0x10, "发票存储器"},    {0xFF, 0x20, "税控存储器"},
        {0xFF, 0x40, "LED指示灯"},     {0xFF, 0x80, ""},             {0x1C, 0x04, "RAM步进法"},
        {0x1C, 0x10, ""},              {0x81, 0x01, "LED指示灯"},     {0x9D, 0x01, "RAM地址奇偶法"},
        {0x01, 0x01, ""},              {0x00, 0x00, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(NextCheckselfItemName(c.mask, c.reported), c.name)
            << "mask " << int(c.mask) << " reported " << c.reported;
    }
}

}  // namespace
}  // namespace karvex
