#include "commands/catalogue.h"

#include <gtest/gtest.h>

#include <array>
#include <set>

namespace karvex {
namespace {

// Values that each builder kind accepts, so that every row the library sends can be built once.
const FactoryData kFactory{"1234567890123456", "20240131", std::string(18, 'H'), std::string(18, 'S')};
InvoiceRequest OneItemSale() {
    InvoiceRequest sale;
    sale.OInvNum = "12";
    sale.PayUnit = std::string(40, ' ');
    sale.SalesNum = 1;
    sale.ItemName[0] = std::string(20, 'A');
    sale.ItemQuantity[0] = 100;
    sale.ItemTaxIndex[0] = 1;
    sale.ItemSumFen[0] = 250;
    return sale;
}

RequestArgs SampleArgs(CommandCode code, const InvoiceRequest& sale) {
    using C = CommandCode;
    switch (code) {
    case C::SetTime: return TimeText{"12:30:45"};
    case C::InvalidateInvoice:
    case C::InvoiceSum: return TwoValues{kNoFirstValue, "0000000012"};
    case C::WriteCard:
    case C::DeclareData:
    case C::InvoiceData: return TwoValues{kNoFirstValue, "20240131"};
    case C::PrintDataByNumber:
    case C::CheckCardByNumber: return TwoValues{"0000000001", "0000000012"};
    case C::PrintDataByDate:
    case C::DayTrade:
    case C::CheckCardByDate:
    case C::CheckCardDayTrade:
    case C::CheckCardDeclare: return TwoValues{"20240101", "20240131"};
    case C::Idiograph:
    case C::SendStr: return TypedBytes{"1 2 3", kByteListDecimal, 0};
    case C::SetMD: return std::cref(kFactory);
    case C::CheckSelf: return OneByte{0x01};
    case C::InstallInv: return RollStart{"12345678901234567890", "0000000001"};
    case C::MakeInvoice:
    case C::ReturnInvoice: return std::cref(sale);
    default: return NoPayload{};
    }
}

Sender AnySenderOf(const CommandInfo& row) { return row.MaySend(Sender::Console) ? Sender::Console : Sender::Host; }

// A row whose builder, values or length disagree would have every one of its sends refused at run time.
TEST(CommandTable, EverySentRowBuildsItsFrameAtItsLength) {
    const InvoiceRequest sale = OneItemSale();
    for (const CommandInfo& row : CommandTable()) {
        if (row.build == nullptr) continue;
        SCOPED_TRACE(std::string(row.name));
        const BuiltFrame built = BuildRequest(row.code, SampleArgs(row.code, sale), AnySenderOf(row));
        ASSERT_TRUE(built.ok()) << built.code;
        EXPECT_EQ(built.frame[2], ToByte(row.code));
    }
}

TEST(CommandTable, RequestsTheRowDoesNotAllowAreNotBuilt) {
    using C = CommandCode;
    const InvoiceRequest sale = OneItemSale();
    struct Case {
        const char* what;
        C code;
        RequestArgs args;
        Sender by;
        ResultCode expected;
    };
    const Case cases[] = {
        {"the console issuing an invoice", C::MakeInvoice, std::cref(sale), Sender::Console, result::kSenderNotAllowed},
        {"a host setting factory data", C::SetMD, std::cref(kFactory), Sender::Host, result::kSenderNotAllowed},
        {"a host installing a roll", C::InstallInv, RollStart{"12345678901234567890", "1"}, Sender::Host,
         result::kSenderNotAllowed},
        {"a command nobody sends", C::GetDateTime, NoPayload{}, Sender::Console, result::kCommandTypeError},
        {"a code outside the table", static_cast<C>(0x01), NoPayload{}, Sender::Host, result::kCommandTypeError},
        {"values of another builder", C::SetTime, NoPayload{}, Sender::Console, result::kCommandTypeError},
        {"one number where a range is asked", C::PrintDataByNumber, TwoValues{kNoFirstValue, "12"}, Sender::Host,
         result::kRequestLengthMismatch},
        {"a range where one number is asked", C::InvalidateInvoice, TwoValues{"1", "12"}, Sender::Host,
         result::kRequestLengthMismatch},
        {"the builder's own refusal", C::SetTime, TimeText{"ab:cd:ef"}, Sender::Console, result::kNotDigits},
    };
    for (const Case& c : cases) {
        const BuiltFrame built = BuildRequest(c.code, c.args, c.by);
        EXPECT_EQ(built.code, c.expected) << c.what;
        EXPECT_TRUE(built.frame.empty()) << c.what;
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

TEST(CommandTable, EveryCodeOfTheFiveGroupsIsPresent) {
    std::set<int> expected{0x00, 0x86};
    for (int c = 0x30; c <= 0x47; ++c) expected.insert(c);
    for (int c = 0xA5; c <= 0xA7; ++c) expected.insert(c);
    for (int c = 0xB0; c <= 0xBA; ++c) expected.insert(c);
    std::set<int> seen;
    for (const CommandInfo& row : CommandTable()) seen.insert(ToByte(row.code));
    EXPECT_EQ(seen, expected);
}

// What the control sends on its own must build without values for the sender it goes out as: a menu entry
// for the console and for a host that runs it, a follow-up for the caller its chain names.
TEST(CommandTable, MenuEntriesAndFollowUpsGoOutWithoutValues) {
    for (const CommandInfo& row : CommandTable()) {
        SCOPED_TRACE(std::string(row.name));
        if (row.menuDirect) {
            EXPECT_TRUE(BuildRequest(row.code, NoPayload{}, Sender::Console).ok());
            EXPECT_TRUE(BuildRequest(row.code, NoPayload{}, Sender::Host).ok());
        }
        for (const FollowUp& next : {row.afterSuccess, row.afterChain}) {
            if (!next.Present()) continue;
            // A follow-up for the same caller goes out as whoever sent this row; the others as a host call.
            const Sender by = next.caller == FollowCaller::Same ? AnySenderOf(row) : Sender::Host;
            EXPECT_TRUE(BuildRequest(next.next, NoPayload{}, by).ok()) << CommandName(ToByte(next.next));
        }
        // The console logs every command it sends under its display text.
        if (row.MaySend(Sender::Console)) {
            EXPECT_FALSE(row.displayText.empty());
        }
        if (!row.store.alsoOpens.empty()) {
            EXPECT_FALSE(row.store.table.empty());
        }
    }
}

TEST(CommandTable, CommandsWithoutIssuer) {
    for (auto code : {CommandCode::CheckWriteCard, CommandCode::SetDateTime, CommandCode::GetDateTime,
                      CommandCode::CyclicCheckSelf}) {
        const CommandInfo* row = FindCommand(code);
        EXPECT_FALSE(row->MaySend(Sender::Console) || row->MaySend(Sender::Host)) << row->name;
        EXPECT_EQ(row->build, nullptr) << row->name;
    }
    EXPECT_EQ(CommandName(0xB2), "设置日期时间");
    EXPECT_EQ(CommandName(0xB9), "循环自动自检");
}

// Every code with its display name and, for the commands the console or the host sends, the text the send
// cue logs; commands nobody sends log under their name.
TEST(CommandTable, EveryNameAndDisplayText) {
    struct Row {
        std::uint8_t code;
        const char* name;
        const char* display;
    };
    const Row rows[] = {
        {0x00, "联机", "联机"},                                          // Online
        {0x30, "初始化", "税控器初始化"},                                // Initialize
        {0x31, "分发发票号", "分发发票号"},                              // DispenseInvoice
        {0x32, "已分发发票号", "已分发发票号"},                          // AlreadyInvoice
        {0x33, "获取当前发票号", "当前发票号"},                          // CurrentInvoice
        {0x34, "开票", "开票"},                                          // MakeInvoice
        {0x35, "退票", "退票"},                                          // ReturnInvoice
        {0x36, "废票", "废票"},                                          // InvalidateInvoice
        {0x37, "获取机器出厂数据", "获取出厂数据"},                      // GetMachineData
        {0x38, "获取用户信息", "获取用户信息"},                          // UserInformation
        {0x39, "获取税种税目信息", "获取税目信息"},                      // TaxInformation
        {0x3A, "获取日期时间", "获取税控器时间"},                        // GetTime
        {0x3B, "设置时间", "设置时间"},                                  // SetTime
        {0x3C, "获取单卷发票使用汇总数据", "单卷发票汇总"},              // InvoiceSum
        {0x3D, "申报数据和发票打印数据写卡", "申报数据写卡"},            // WriteCard
        {0x3E, "申报数据上传", "申报数据上传"},                          // DeclareData
        {0x3F, "发票数据上传", "发票数据上传"},                          // InvoiceData
        {0x40, "回送监控信息", "监控信息回送"},                          // ManageEchoplex
        {0x41, "获取税控器状态", "获取税控器状态"},                      // MachineState
        {0x42, "按起止号码获取发票打印数据", "起止号发票打印数据"},      // PrintDataByNumber
        {0x43, "获取指定日期段内的发票打印数据", "日期段发票打印数据"},  // PrintDataByDate
        {0x44, "获取日期段日交易数据", "获取日交易数据"},                // DayTrade
        {0x45, "核查数据写卡", "核查数据写卡"},                          // CheckWriteCard
        {0x46, "数据签名", "数据签名"},                                  // Idiograph
        {0x47, "更新分户开票编号文件", "更新分户编号"},                  // UpdateCondo
        {0x86, "设置出厂数据", "设置出厂数据"},                          // SetMD
        {0xA5, "卡操作：发送字符串", "字符串"},                          // SendStr
        {0xA6, "IC卡上电", "IC卡上电"},                                  // CardPowerOn
        {0xA7, "IC卡下电", "IC卡下电"},                                  // CardPowerOff
        {0xB0, "税控器自检", "税控器自检"},                              // CheckSelf
        {0xB1, "获取最后一个发票打印数据", "获取最后发票打印数据"},      // LastInvData
        {0xB2, "设置日期时间", "设置日期时间"},                          // SetDateTime
        {0xB3, "获取日期时间", "获取日期时间"},                          // GetDateTime
        {0xB4, "安装发票", "安装发票"},                                  // InstallInv
        {0xB5, "按发票段明细核查数据写卡", "明细发票段核查"},            // CheckCardByNumber
        {0xB6, "按日期段明细核查数据写卡", "明细日期段核查"},            // CheckCardByDate
        {0xB7, "日交易核查数据写卡", "日交易核查"},                      // CheckCardDayTrade
        {0xB8, "申报数据核查", "申报数据核查"},                          // CheckCardDeclare
        {0xB9, "循环自动自检", "循环自动自检"},                          // CyclicCheckSelf
        {0xBA, "获取累计金额", "获取累计金额"},                          // GetTotalSum
    };
    ASSERT_EQ(std::size(rows), CommandTable().size());
    for (const Row& r : rows) {
        SCOPED_TRACE(static_cast<int>(r.code));
        EXPECT_EQ(CommandName(r.code), r.name);
        EXPECT_EQ(CommandDisplayText(r.code), r.display);
    }
}

// A command that changes the processor and is not marked would go out while a sale is in doubt; a query the
// settling needs, marked, would keep the sale in doubt for ever.
TEST(CommandTable, CommandsThatChangeTheProcessorAreHeldBackWhileASaleIsInDoubt) {
    using C = CommandCode;
    for (C code : {C::Initialize, C::DispenseInvoice, C::MakeInvoice, C::ReturnInvoice, C::InvalidateInvoice,
                   C::WriteCard, C::DeclareData, C::SendStr, C::InstallInv, C::SetMD}) {
        EXPECT_TRUE(FindCommand(code)->changesProcessor) << FindCommand(code)->name;
    }
    for (C code : {C::Online, C::CurrentInvoice, C::LastInvData, C::PrintDataByNumber, C::InvoiceSum}) {
        EXPECT_FALSE(FindCommand(code)->changesProcessor) << FindCommand(code)->name;
    }
}

TEST(SelfTestMask, CheckBoxesMapToItemBits) {
    struct Case {
        std::array<bool, 5> boxes;
        std::uint8_t mask;
        std::uint8_t widened;
    };
    const Case cases[] = {
        {{false, false, false, false, false}, 0x00, 0x00}, {{true, false, false, false, false}, 0x01, 0x01},
        {{false, true, false, false, false}, 0x02, 0x02},  {{false, false, true, false, false}, 0x04, 0x1C},
        {{false, false, false, true, false}, 0x20, 0x60},  {{false, false, false, false, true}, 0x80, 0x80},
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
        {0xFF, 0x01, "ROM代码校验和"},
        {0xFF, 0x02, "RAM地址奇偶法"},
        {0xFF, 0x04, "RAM步进法"},
        {0xFF, 0x08, "RAM走步法"},
        {0xFF, 0x10, "发票存储器"},
        {0xFF, 0x20, "税控存储器"},
        {0xFF, 0x40, "LED指示灯"},
        {0xFF, 0x80, ""},
        {0x1C, 0x04, "RAM步进法"},
        {0x1C, 0x10, ""},
        {0x81, 0x01, "LED指示灯"},
        {0x9D, 0x01, "RAM地址奇偶法"},
        {0x01, 0x01, ""},
        {0x00, 0x00, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(NextCheckselfItemName(c.mask, c.reported), c.name)
            << "mask " << int(c.mask) << " reported " << c.reported;
    }
}

}  // namespace
}  // namespace karvex
