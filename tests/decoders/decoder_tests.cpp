#include <gtest/gtest.h>

#include <functional>
#include <variant>

#include "answer_frames.h"
#include "commands/answer_match.h"
#include "commands/decoders.h"
#include "convert/conversions.h"

namespace karvex {
namespace {

using test::Answer;
using test::Payload;
using test::Recrc;

// ---- Hand-written answers, one per kind ------------------------------------------------------------------

Bytes RollAnswer(bool list) {  // 0x31 (list = false) or 0x32 (one leading byte more, P may be above 0)
    Payload p;
    if (list) p.Add({0x07});
    p.Add({0x12, 0x34, 0x56, 0x78, 0x90, 0x12, 0x34, 0x56, 0x78, 0x90})  // 发票代码
        .Add({0x00, 0x00, 0x00, 0x01})                                   // 单卷发票起始号 1
        .Add({0x00, 0x00, 0x03, 0xE8});                                  // 单卷发票终止号 1000
    return Answer(p, list ? 1 : 0);
}

Bytes IssueAnswer() {
    Payload p;
    p.Add({0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88})  // machine number
        .Add({0xD6, 0xD0})
        .Text("", 38)                                           // "中" and blanks
        .Text("123456789012345", 20)                            // tax number
        .Add({0x00, 0x00, 0x00, 0x7B, 0x00, 0x00, 0x01, 0xC8})  // tax code 123 | 456
        .Add({0x20, 0x05, 0x03, 0x15, 0x15, 0x30});             // 200503151530
    return Answer(p);
}

Bytes MachineAnswer() {
    Payload p;
    p.Add({0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88})
        .Add({0x20, 0x04, 0x01, 0x02})
        .Text("HW1.0", 18)
        .Text("SW2.0", 18);
    return Answer(p);
}

Bytes UserAnswer() {
    Payload p;
    p.Add({0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xAB})     // 税控卡编号: unchecked, keeps "AB"
        .Add({0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x12, 0x34})  // 税控卡使用口令
        .Add({0x20, 0x05, 0x01, 0x01})                          // 应用起用日期
        .Add({0x20, 0x10, 0x12, 0x31})                          // 应用有效日期
        .Text("ACME", 40)                                       // 纳税人名称
        .Add({0x99, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22})  // 纳税人编码
        .Text("TAX-42", 20)                                     // 税号
        .Add({0x44, 0x03, 0x00, 0x01})                          // 主管分局代码
        .Add({0x02})                                            // 申报方式
        .Add({0x20, 0x06, 0x06, 0x30})                          // 开票截止日期
        .Add({0x00, 0x00, 0x27, 0x10})                          // 100.00
        .Add({0x00, 0x0F, 0x42, 0x40})                          // 10000.00
        .Add({0x00, 0x00, 0x00, 0x05});                         // 0.05
    return Answer(p);
}

Bytes TaxItemAnswer(int index, int packets_to_follow) {
    Payload p;
    p.Add({0x00, index, 0x01, 0x02, 0x03, 0x04, 0x00, 0x11}).Text("FOOD", 20).Text("Food", 20);
    return Answer(p, packets_to_follow);
}

Bytes RollSummaryAnswer() {
    Payload p;
    p.Add({0x12, 0x34, 0x56, 0x78, 0x90, 0x12, 0x34, 0x56, 0x78, 0x90})
        .Add({0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x03, 0xE8})
        .Add({10, 2, 1})
        .Add({0x00, 0x01, 0xE2, 0x40})  // 1234.56
        .Add({0x00, 0x00, 0x00, 0x64})  // 1.00
        .Add({0x20, 0x05, 0x01, 0x01, 0x20, 0x05, 0x03, 0x15});
    return Answer(p);
}

Bytes DeclareAnswer() {
    Payload p;
    p.Add({0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80})
        .Add({0x20, 0x05, 0x01, 0x01, 0x20, 0x05, 0x01, 0x31})
        .Add({0x00, 0x01, 0x00, 0x00})  // 65536 normal invoices
        .Add({0x00, 0x03, 0x00, 0x04})
        .Add({1, 2, 0, 0, 0, 9});
    for (int k = 0; k < 6; ++k) p.Add({0x00, 0x00, 0x00, 100 * (k + 1) % 256});
    for (int k = 0; k < 6; ++k) p.Add({0x00, 0x00, 0x01, k});
    p.Add({0x00, 0x00, 0x30, 0x39, 0x00, 0x00, 0x00, 0x01})
        .Add({0xFE})
        .Add({0xDE, 0xAD, 0xBE, 0xEF})
        .Fill(0xA5, 128)
        .Add({0x07});
    return Answer(p);
}

// One invoice with goods in slots 1 and 2; slot 3 has a name of NUL bytes and a stray quantity.
Bytes PrintAnswer(int packets_to_follow = 0) {
    Payload p;
    p.Add({0x00})
        .Add({0x20, 0x05, 0x03, 0x15})
        .Add({0x00, 0x00, 0x04, 0xD2})
        .Add({0x01})
        .Add({0x00, 0x00, 0x04, 0xB0})                          // 12.00
        .Add({0x00, 0x00, 0x00, 0x7B, 0x00, 0x00, 0x01, 0xC8})  // 123 | 456
        .Add({0x00, 0x00, 0x00, 0x00})
        .Add({0xAB, 0xCD})
        .Text("PAYER", 40);
    p.Add({0xC3, 0xD7}).Fill(0, 18).Add({0x01, 0x2C, 0x03, 0x00, 0x00, 0x01, 0x2C});  // 米 3.00 x, 3.00
    p.Text("TEA", 20).Add({0x00, 0x00, 0x01, 0x00, 0x00, 0x03, 0x84});                // TEA qty 0, 9.00
    p.Fill(0, 20).Add({0x00, 0x64, 0x02, 0x00, 0x00, 0x00, 0x64});
    p.Fill(0, 27 * 3);
    return Answer(p, packets_to_follow);
}

Bytes DayAnswer() {
    Payload p;
    p.Add({0x00, 0x20, 0x05, 0x03, 0x15, 0x00, 0x0A, 0x00, 0x01, 0x00, 0x02}).Add({1, 2, 3, 4, 5, 6});
    for (int k = 0; k < 6; ++k) p.Add({0x00, 0x00, 0x00, 0x0A});
    for (int k = 0; k < 6; ++k) p.Add({0x00, 0x00, 0x00, 0x00});
    p.Fill(0x5A, 128);
    return Answer(p);
}

Bytes SignatureAnswer() { return Answer(Payload().Fill(0xC3, 127).Add({0x01})); }
Bytes TotalsAnswer() {
    return Answer(Payload()
                      .Add({0x00, 0x01, 0xE2, 0x32})    // 1234.42
                      .Add({0x00, 0x01, 0xE2, 0x3C})    // 1234.52 -> shows as "1234.52"
                      .Add({0x00, 0x01, 0xE2, 0x3A})    // 1234.50 -> "1234.5"
                      .Add({0x00, 0x00, 0x00, 0x00}));  // 0
}

// ---- Decoding ----------------------------------------------------------------------------------------

TEST(Decoders, CurrentInvoiceNumberIsTenDigits) {
    const Bytes frame = BytesOf({0x4F, 0x4B, 0x00, 0x08, 0x00, 0x00, 0x04, 0xD2, 0x27, 0x25});
    CurrentInvoiceRecord rec;
    ASSERT_EQ(AcceptData_CurrentInv(frame, rec), 0);
    EXPECT_EQ(rec.number, "0000001234");
    EXPECT_EQ(CurrentInvoiceText(rec), "当前发票号：0000001234");
}

TEST(Decoders, InvoiceRollOfBothCommands) {
    SetClock([] { return LocalTime{2005, 3, 15, 9, 5, 7}; });
    for (bool list : {false, true}) {
        SCOPED_TRACE(list ? "0x32" : "0x31");
        InvoiceRollRecord rec;
        ASSERT_EQ(AcceptData_InvoiceRoll(RollAnswer(list), list ? 0x32 : 0x31, rec), 0);
        EXPECT_EQ(rec.invoice_code, "12345678901234567890");
        EXPECT_EQ(rec.first_number, "0000000001");
        EXPECT_EQ(rec.last_number, "0000001000");
        EXPECT_EQ(rec.key, "123456789012345678900000000001");
        EXPECT_EQ(rec.current_number, " ");
        EXPECT_EQ(rec.use_state, 1);
        EXPECT_EQ(rec.start_time, " ");
        EXPECT_EQ(rec.used_up_time, " ");
        EXPECT_EQ(rec.dispensed_time, "20050315 09：05：07");
    }
    SetClock({});
}

TEST(Decoders, IssueReply) {
    IssueReply rec;
    ASSERT_EQ(AcceptData_MakeInvoice(IssueAnswer(), rec), 0);
    EXPECT_EQ(rec.machine_num, "1122334455667788");
    EXPECT_EQ(rec.user_name, "中" + std::string(38, ' '));
    EXPECT_EQ(rec.tax_number, "123456789012345     ");
    EXPECT_EQ(rec.tax_code, "1230000000456");
    EXPECT_EQ(rec.date_time, "200503151530");
}

TEST(Decoders, MachineAndUserData) {
    MachineDataRecord machine;
    ASSERT_EQ(AcceptData_MachineData(MachineAnswer(), machine), 0);
    EXPECT_EQ(machine.machine_number, "1122334455667788");
    EXPECT_EQ(machine.production_date, "20040102");
    EXPECT_EQ(machine.hardware_version, "HW1.0" + std::string(13, ' '));
    EXPECT_EQ(machine.software_version, "SW2.0" + std::string(13, ' '));

    UserInformationRecord user;
    ASSERT_EQ(AcceptData_UserInformation(UserAnswer(), user), 0);
    EXPECT_EQ(user.card_number, "10000000000000AB");
    EXPECT_EQ(user.card_password, "0000000000001234");
    EXPECT_EQ(user.start_date, "20050101");
    EXPECT_EQ(user.valid_date, "20101231");
    EXPECT_EQ(user.taxpayer_name, "ACME" + std::string(36, ' '));
    EXPECT_EQ(user.taxpayer_code, "9988776655443322");
    EXPECT_EQ(user.tax_number, "TAX-42" + std::string(14, ' '));
    EXPECT_EQ(user.tax_office_code, "44030001");
    EXPECT_EQ(user.declare_method, 2);
    EXPECT_EQ(user.invoice_end_date, "20060630");
    EXPECT_DOUBLE_EQ(user.single_invoice_limit, 100.0);
    EXPECT_DOUBLE_EQ(user.invoice_total_limit, 10000.0);
    EXPECT_DOUBLE_EQ(user.return_total_limit, 0.05);
}

TEST(Decoders, TaxItemAndRollSummary) {
    TaxItemRecord item;
    ASSERT_EQ(AcceptData_TaxInformation(TaxItemAnswer(3, 2), item), 0);
    EXPECT_EQ(item.index, 3);
    EXPECT_EQ(item.item_code, "01020304");
    EXPECT_EQ(item.tax_rate, 17);
    EXPECT_EQ(item.name_cn, "FOOD" + std::string(16, ' '));

    InvUseSumRecord sum;
    ASSERT_EQ(AcceptData_InvUseSum(RollSummaryAnswer(), sum), 0);
    EXPECT_EQ(sum.invoice_code, "12345678901234567890");
    EXPECT_EQ(sum.first_number, "0000000001");
    EXPECT_EQ(sum.last_number, "0000001000");
    EXPECT_EQ(sum.normal_count, 10);
    EXPECT_EQ(sum.return_count, 2);
    EXPECT_EQ(sum.void_count, 1);
    EXPECT_DOUBLE_EQ(sum.normal_total, 1234.56);
    EXPECT_DOUBLE_EQ(sum.return_total, 1.0);
    EXPECT_EQ(sum.first_date, "20050101");
    EXPECT_EQ(sum.last_date, "20050315");
}

TEST(Decoders, DeclareData) {
    DeclareDataRecord rec;
    ASSERT_EQ(AcceptData_DeclareData(DeclareAnswer(), rec), 0);
    EXPECT_EQ(rec.card_number, "1020304050607080");
    EXPECT_EQ(rec.start_date, "20050101");
    EXPECT_EQ(rec.end_date, "20050131");
    EXPECT_EQ(rec.normal_count, 65536u);
    EXPECT_EQ(rec.return_count, 3);
    EXPECT_EQ(rec.void_count, 4);
    EXPECT_EQ(rec.slots[1].tax_index, 2);
    EXPECT_EQ(rec.slots[5].tax_index, 9);
    EXPECT_DOUBLE_EQ(rec.slots[0].normal_total, 1.0);
    EXPECT_DOUBLE_EQ(rec.slots[2].normal_total, 300 % 256 / 100.0);
    EXPECT_DOUBLE_EQ(rec.slots[5].return_total, 2.61);
    EXPECT_DOUBLE_EQ(rec.card_normal_total, 123.45);
    EXPECT_DOUBLE_EQ(rec.card_return_total, 0.01);
    EXPECT_EQ(rec.status_text, "254");
    EXPECT_EQ(rec.mac1, "DEADBEEF");
    EXPECT_EQ(rec.signature.size(), 256u);
    EXPECT_EQ(rec.signature.substr(0, 4), "A5A5");
    EXPECT_EQ(rec.xor_check_text, "7");
}

TEST(Decoders, PrintDataLeavesEmptyGoodsSlotsUnset) {
    InvPrintDataRecord rec;
    ASSERT_EQ(AcceptData_InvPrintData(PrintAnswer(), rec), 0);
    EXPECT_EQ(rec.issue_date, "20050315");
    EXPECT_EQ(rec.invoice_number, "0000001234");
    EXPECT_EQ(rec.key, "200503150000001234");
    EXPECT_EQ(rec.invoice_type, 1);
    EXPECT_DOUBLE_EQ(rec.total, 12.0);
    EXPECT_EQ(rec.tax_code, "00000001230000000456");
    EXPECT_EQ(rec.original_number, "0000000000");
    EXPECT_EQ(rec.reserved, "ABCD");
    EXPECT_EQ(rec.payer, "PAYER" + std::string(35, ' '));
    ASSERT_TRUE(rec.goods[0]);
    EXPECT_EQ(rec.goods[0]->name, "米");
    EXPECT_DOUBLE_EQ(rec.goods[0]->quantity, 3.0);
    EXPECT_EQ(rec.goods[0]->tax_index, 3);
    EXPECT_DOUBLE_EQ(rec.goods[0]->amount, 3.0);
    ASSERT_TRUE(rec.goods[1]);
    EXPECT_EQ(rec.goods[1]->name, "TEA" + std::string(17, ' '));
    for (int k = 2; k < 6; ++k) EXPECT_FALSE(rec.goods[k]) << "slot " << k + 1;
}

TEST(Decoders, DayTradeSignatureTotalsAndTimes) {
    DayTradeRecord day;
    ASSERT_EQ(AcceptData_DayTrade(DayAnswer(), day), 0);
    EXPECT_EQ(day.date, "20050315");
    EXPECT_EQ(day.normal_count, 10);
    EXPECT_EQ(day.return_count, 1);
    EXPECT_EQ(day.void_count, 2);
    EXPECT_EQ(day.slots[5].tax_index, 6);
    EXPECT_DOUBLE_EQ(day.slots[5].normal_total, 0.1);
    std::string expected_signature;
    for (int i = 0; i < 128; ++i) expected_signature += "5A";
    EXPECT_EQ(day.signature, expected_signature);

    SignatureRecord sig;
    ASSERT_EQ(AcceptData_DataIdiograph(SignatureAnswer(), sig), 0);
    EXPECT_EQ(sig.signature.size(), 256u);
    EXPECT_EQ(sig.signature.substr(250), "C3C301");

    TotalSumRecord totals;
    ASSERT_EQ(AcceptData_TotalSum(TotalsAnswer(), totals), 0);
    EXPECT_EQ(TotalSumText(totals),
              "完税后正常发票累计金额：1234.42\n\n完税后退票累计金额：1234.52\n\n"
              "总正常发票累计金额：1234.5\n\n总退票累计金额：0");

    DateTimeRecord time;
    ASSERT_EQ(
        AcceptData_DateTime(BytesOf({0x4F, 0x4B, 0x00, 0x0A, 0x20, 0x05, 0x03, 0x15, 0x15, 0x30, 0xCC, 0x88}), time),
        0);
    EXPECT_EQ(ProcessorTimeText(time), "税控器时间：2005-03-15 15：30");
    ASSERT_EQ(AcceptData_DateTimeSec(
                  BytesOf({0x4F, 0x4B, 0x00, 0x0B, 0x20, 0x05, 0x03, 0x15, 0x15, 0x30, 0x45, 0x1B, 0x33}), time),
              0);
    EXPECT_EQ(ProcessorTimeText(time), "税控器时间：2005-03-15 15：30：45");
}

TEST(Decoders, ProcessorStateTexts) {
    const struct {
        int state;
        const char* text;
    } cases[] = {{1, "税控器状态：自检"},     {2, "税控器状态：发票用完"}, {3, "税控器状态：锁机"},
                 {4, "税控器状态：正常工作"}, {5, "错误的状态字"},         {0, "错误的状态字"}};
    for (const auto& c : cases) {
        ProcessorStateRecord rec;
        ASSERT_EQ(AcceptData_ProcessorState(Answer(Payload().Add({c.state})), rec), 0) << c.state;
        EXPECT_EQ(rec.text, c.text);
    }
}

TEST(Decoders, CardAnswers) {
    CardAnswerRecord card;
    ASSERT_EQ(AcceptData_CardAnswer(BytesOf({0x4F, 0x4B, 0x00, 0x06, 0x90, 0x00, 0xD5, 0x72}), card), 0);
    EXPECT_EQ(CardAnswerText(card), "响应报文数据： 90 00\n状态码： 0090");

    // Shorter payloads show only payload bytes in the status, never the frame's header bytes.
    ASSERT_EQ(AcceptData_CardAnswer(Answer(Payload().Add({0x6A})), card), 0);
    EXPECT_EQ(CardAnswerText(card), "响应报文数据： 6A\n状态码： 6A");
    ASSERT_EQ(AcceptData_CardAnswer(Answer(Payload()), card), 0);
    EXPECT_EQ(CardAnswerText(card), "响应报文数据： \n状态码： ");

    CardPowerOnRecord atr;
    ASSERT_EQ(AcceptData_CardPowerOn(Answer(Payload().Add({0x3B, 0x02, 0x14})), atr), 0);
    EXPECT_EQ(CardPowerOnText(atr), "响应报文数据： 3B 02 14");
}

TEST(Decoders, YuanTextIsShortest) {
    EXPECT_EQ(YuanText(0), "0");
    EXPECT_EQ(YuanText(1234.5), "1234.5");
    EXPECT_EQ(YuanText(12.34), "12.34");
    EXPECT_EQ(YuanText(4294967295 / 100.0), "42949672.95");
    EXPECT_EQ(YuanText(10.0 / 3.0), "3.33333333333333");
}

// ---- Altered copies ------------------------------------------------------------------------------------

struct ShapeCase {
    std::uint8_t command;
    std::function<Bytes()> frame;
    bool last_only;  // P must be 0
};

std::vector<ShapeCase> ShapeCases() {
    const auto ack = [] { return BytesOf({0x4F, 0x4B, 0x00, 0x04, 0xC9, 0x9A}); };
    return {
        {0x31, [] { return RollAnswer(false); }, true},
        {0x32, [] { return RollAnswer(true); }, false},
        {0x33,
         [] {
             return BytesOf({0x4F, 0x4B, 0x00, 0x08, 0x00, 0x00, 0x04, 0xD2, 0x27, 0x25});
         },
         true},
        {0x34, IssueAnswer, true},
        {0x35, IssueAnswer, true},
        {0x37, MachineAnswer, true},
        {0x38, UserAnswer, true},
        {0x39, [] { return TaxItemAnswer(1, 0); }, false},
        {0x3A,
         [] {
             return BytesOf({0x4F, 0x4B, 0x00, 0x0A, 0x20, 0x05, 0x03, 0x15, 0x15, 0x30, 0xCC, 0x88});
         },
         true},
        {0x3C, RollSummaryAnswer, false},
        {0x3E, DeclareAnswer, true},
        {0x3F, [] { return PrintAnswer(); }, false},
        {0x42, [] { return PrintAnswer(); }, false},
        {0x43, [] { return PrintAnswer(); }, false},
        {0xB1, [] { return PrintAnswer(); }, false},
        {0x41,
         [] {
             return BytesOf({0x4F, 0x4B, 0x00, 0x05, 0x05, 0x1E, 0xAB});
         },
         true},
        {0x44, DayAnswer, false},
        {0x46, SignatureAnswer, true},
        {0xB0,
         [] {
             return BytesOf({0x4F, 0x4B, 0x00, 0x06, 0x10, 0x00, 0x55, 0x7B});
         },
         false},
        {0xB3,
         [] {
             return BytesOf({0x4F, 0x4B, 0x00, 0x0B, 0x20, 0x05, 0x03, 0x15, 0x15, 0x30, 0x45, 0x1B, 0x33});
         },
         true},
        {0xBA, TotalsAnswer, true},
        {0x30, ack, true},
        {0x36, ack, true},
        {0xB4, ack, true},
        {0xB9, ack, true},
    };
}

TEST(DecoderShapes, EveryDecoderChecksLengthAndPackets) {
    for (const ShapeCase& c : ShapeCases()) {
        SCOPED_TRACE(testing::Message() << "command 0x" << std::hex << int(c.command));
        const Bytes good = c.frame();
        AnswerRecord rec;
        ASSERT_EQ(DecodeAnswer(c.command, good, rec), 0);
        ASSERT_EQ(ExpectedAnswerLength(c.command), good[3]);

        Bytes short_by_one = good;
        short_by_one.pop_back();
        EXPECT_EQ(DecodeAnswer(c.command, short_by_one, rec), 129);

        Bytes one_too_many = good;
        one_too_many.push_back(0x00);
        EXPECT_EQ(DecodeAnswer(c.command, one_too_many, rec), 129);

        // A payload one byte longer, with its length byte and CRC to match.
        Bytes longer(good.begin(), good.end() - 2);
        longer.push_back(0x00);
        longer[3] = static_cast<std::uint8_t>(longer[3] + 1);
        AppendFrameCrc(longer);
        EXPECT_EQ(DecodeAnswer(c.command, longer, rec), 129);

        if (good[3] > 4) {  // a payload one byte shorter, length byte and CRC to match
            Bytes shorter(good.begin(), good.end() - 3);
            shorter[3] = static_cast<std::uint8_t>(shorter[3] - 1);
            AppendFrameCrc(shorter);
            EXPECT_EQ(DecodeAnswer(c.command, shorter, rec), 129);
        }

        Bytes follows = good;
        follows[2] = 1;
        EXPECT_EQ(DecodeAnswer(c.command, Recrc(follows), rec), c.last_only ? 129 : 0);

        // Truncations to every shorter size must never read out of bounds.
        for (std::size_t n = 0; n < good.size(); ++n) {
            EXPECT_EQ(DecodeAnswer(c.command, FrameView(good).first(n), rec), 129) << "size " << n;
        }
    }
}

TEST(DecoderShapes, RollListOneByteShortIsWrongLength) {
    // An AlreadyInvoice answer with the DispenseInvoice length.
    InvoiceRollRecord rec;
    rec.invoice_code = "unchanged";
    EXPECT_EQ(AcceptData_InvoiceRoll(RollAnswer(false), 0x32, rec), 129);
    EXPECT_EQ(rec.invoice_code, "unchanged");
}

// A nibble above 9 in a checked BCD field fails the decoder with 105; unchecked fields keep the hex letter.
TEST(DecoderShapes, BadBcdNibble) {
    const struct {
        std::uint8_t command;
        std::function<Bytes()> frame;
        std::size_t offset;
        ResultCode expected;
    } cases[] = {
        {0x31, [] { return RollAnswer(false); }, 4, 105},
        {0x32, [] { return RollAnswer(true); }, 14, 105},
        {0x34, IssueAnswer, 4, 105},
        {0x34, IssueAnswer, 85, 105},
        {0x37, MachineAnswer, 12, 105},
        {0x38, UserAnswer, 20, 0},
        {0x39, [] { return TaxItemAnswer(1, 0); }, 6, 0},
        {0x3A,
         [] {
             return BytesOf({0x4F, 0x4B, 0x00, 0x0A, 0x20, 0x05, 0x03, 0x15, 0x15, 0x30, 0xCC, 0x88});
         },
         9, 105},
        {0x3C, RollSummaryAnswer, 4, 0},
        {0x3C, RollSummaryAnswer, 36, 105},
        {0x3E, DeclareAnswer, 19, 105},
        {0x3F, [] { return PrintAnswer(); }, 6, 105},
        {0x44, DayAnswer, 5, 0},
        {0xB3,
         [] {
             return BytesOf({0x4F, 0x4B, 0x00, 0x0B, 0x20, 0x05, 0x03, 0x15, 0x15, 0x30, 0x45, 0x1B, 0x33});
         },
         10, 105},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "command 0x" << std::hex << int(c.command) << " offset " << std::dec
                                        << c.offset);
        Bytes frame = c.frame();
        frame[c.offset] = static_cast<std::uint8_t>((frame[c.offset] & 0x0F) | 0xA0);
        AnswerRecord rec = std::monostate{};
        EXPECT_EQ(DecodeAnswer(c.command, Recrc(frame), rec), c.expected);
        if (c.expected != 0) {
            EXPECT_TRUE(std::holds_alternative<std::monostate>(rec));
        }
    }
}

TEST(DecoderShapes, UncheckedDigitsKeepHexLetters) {
    Bytes frame = DayAnswer();
    frame[5] = 0x2A;
    DayTradeRecord rec;
    ASSERT_EQ(AcceptData_DayTrade(Recrc(frame), rec), 0);
    EXPECT_EQ(rec.date, "2A050315");
}

TEST(DecoderShapes, BadGbkTextFailsTheRecord) {
    Bytes frame = MachineAnswer();
    frame[16] = 0x01;  // control byte in the hardware version
    MachineDataRecord rec;
    EXPECT_EQ(AcceptData_MachineData(Recrc(frame), rec), 98);
    frame[16] = 0x85;
    EXPECT_EQ(AcceptData_MachineData(Recrc(frame), rec), 99);
}

TEST(DecoderShapes, GoodsNameEndsAtItsFirstNul) {
    // Bytes after the NUL are padding, even when they would not be valid text.
    Bytes frame = PrintAnswer();
    frame[72 + 27 * 1 + 3] = 0x00;
    frame[72 + 27 * 1 + 4] = 0x01;
    InvPrintDataRecord rec;
    ASSERT_EQ(AcceptData_InvPrintData(Recrc(frame), rec), 0);
    ASSERT_TRUE(rec.goods[1]);
    EXPECT_EQ(rec.goods[1]->name, "TEA");
}

TEST(DecoderShapes, TableCoversLengthRulesOfCardAnswers) {
    AnswerRecord rec;
    // SendStr needs L >= 4 only; CardPowerOn takes any L; both only with P = 0 (else quiet).
    EXPECT_EQ(DecodeAnswer(0xA5, Answer(Payload().Fill(0x11, 200)), rec), 0);
    EXPECT_EQ(DecodeAnswer(0xA6, Answer(Payload()), rec), 0);
    const Bytes follows = Answer(Payload().Add({0x90, 0x00}), 1);
    EXPECT_TRUE(IsQuietCardFollow(FindAnswerLayout(0xA5), follows));
    EXPECT_FALSE(IsQuietCardFollow(FindAnswerLayout(0xA5), Answer(Payload().Add({0x90, 0x00}))));
    // Online and codes outside the table accept anything, even nothing.
    EXPECT_EQ(DecodeAnswer(0x00, Bytes{}, rec), 0);
    EXPECT_EQ(DecodeAnswer(0x99, BytesOf({1, 2}), rec), 0);
    EXPECT_EQ(FindAnswerLayout(0x99).command, 0x99);
    EXPECT_EQ(PacketKindLabel(0x44), "日交易数据");
    EXPECT_EQ(PacketKindLabel(0x3C), "");
}

// ---- Self-test items ----------------------------------------------------------------------------------

TEST(Checkself, GroupLabelsAndMemo) {
    const std::uint8_t mask = 0x01 | 0x02 | 0x04 | 0x08 | 0x10 | 0x20 | 0x40 | 0x80;
    bool memo = false;
    // RAM parity failed, RAM step passed, RAM walk passed: the RAM label shows the group's failure.
    CheckselfReport r = DescribeCheckselfItem({0x04, 1}, mask, true, memo);
    EXPECT_EQ(r.item_text, "RAM地址奇偶法自检失败");
    EXPECT_FALSE(r.box);
    EXPECT_EQ(r.next_line, "正在RAM步进法检查...");
    EXPECT_TRUE(memo);
    r = DescribeCheckselfItem({0x08, 0}, mask, true, memo);
    EXPECT_TRUE(memo);
    r = DescribeCheckselfItem({0x10, 0}, mask, true, memo);
    EXPECT_EQ(r.item_text, "RAM走步法自检成功");
    EXPECT_EQ(r.box, SelfTestBox::Ram);
    EXPECT_EQ(r.label_text, "自检失败");
    EXPECT_FALSE(memo);
    // The memory group starts clean.
    r = DescribeCheckselfItem({0x40, 0}, mask, true, memo);
    EXPECT_EQ(r.box, SelfTestBox::Memory);
    EXPECT_EQ(r.label_text, "自检成功");
    r = DescribeCheckselfItem({0x80, 5}, mask, false, memo);
    EXPECT_EQ(r.item_text, "LED指示灯检查完成");
    EXPECT_EQ(r.label_text, "检查完成");
    EXPECT_EQ(r.next_line, "");
    r = DescribeCheckselfItem({0x01, 1}, mask, false, memo);
    EXPECT_EQ(r.item_text, "CPU自检失败");
    EXPECT_EQ(r.box, SelfTestBox::Cpu);
    EXPECT_EQ(r.label_text, "自检失败");
}

TEST(Checkself, UnknownItemAndNextNames) {
    bool memo = true;
    const CheckselfReport r = DescribeCheckselfItem({0x03, 0}, 0xFF, false, memo);
    EXPECT_EQ(r.result, 145);
    EXPECT_EQ(r.item_text, "");
    EXPECT_FALSE(r.box);
    EXPECT_TRUE(memo);
    EXPECT_EQ(CheckselfItemAfter(0x1C | 0x80, 0x01), "RAM地址奇偶法");
    EXPECT_EQ(CheckselfItemAfter(0x1C | 0x80, 0x10), "LED指示灯");
    EXPECT_EQ(CheckselfItemAfter(0x1C, 0x10), "");
}

// Answers that name an invoice, a date or a roll must name one the request asked for; the others pass.
TEST(AnswerMatch, NamedAnswersMustLieWithinTheRequest) {
    auto request = [](std::uint8_t command, Bytes payload) { return BuildRequestFrame(command, payload).frame; };
    const Bytes invoice = PrintAnswer();     // invoice 1234 of 2005-03-15
    const Bytes roll = RollSummaryAnswer();  // the roll 1 to 1000
    const struct {
        Bytes request;
        Bytes answer;
        ResultCode expected;
    } cases[] = {
        {request(0x42, {0, 0, 0x04, 0xD2, 0, 0, 0x04, 0xD2}), invoice, 0},
        {request(0x42, {0, 0, 0, 5, 0, 0, 0, 5}), invoice, 137},
        {request(0x42, {0, 0, 0, 5, 0, 0, 0, 5}), PrintAnswer(3), 137},  // a packet of a queued upload
        {request(0x43, {0x20, 0x05, 0x03, 0x01, 0x20, 0x05, 0x03, 0x31}), invoice, 0},
        {request(0x43, {0x20, 0x05, 0x04, 0x01, 0x20, 0x05, 0x04, 0x30}), invoice, 137},
        {request(0x3F, {0x20, 0x05, 0x03, 0x15}), invoice, 0},
        {request(0x3F, {0x20, 0x05, 0x03, 0x14}), invoice, 137},
        {request(0x3C, {0, 0, 0x03, 0xE8}), roll, 0},
        {request(0x3C, {0, 0, 0x03, 0xE9}), roll, 137},
        {request(0xB1, {}), invoice, 0},  // the last invoice, whichever
        {request(0x42, {0, 0, 0, 5, 0, 0, 0, 5}), Answer(Payload().Add({44}), 0, "ER"), 0},  // names nothing
        {request(0x42, {0, 0, 0, 5, 0, 0, 0, 5}), Recrc(Bytes(invoice.begin(), invoice.end() - 3)), 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MatchAnswer(ExpectedAnswer(c.request), c.answer), c.expected)
            << std::hex << int(c.request[2]) << " " << c.request.size();
    }
}

}  // namespace
}  // namespace karvex
