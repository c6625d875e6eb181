// A request read back from its frame, and the comparison with the print data of an invoice: literal frames
// written by hand, literal records.
#include <gtest/gtest.h>

#include "journal/sale_request.h"
#include "support/hex.h"

namespace karvex {
namespace {

using testing::Hex;

// Household 1, payer "某某公司" and 32 blanks, one line: "大米" and 16 blanks, 2.50, tax index 1, 10.00.
std::string Blanks(int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += " 20";
    return out;
}
const std::string kBody =
    "00 01 | C4 B3 C4 B3 B9 AB CB BE" + Blanks(32) + " | 01 | B4 F3 C3 D7" + Blanks(16) + " | 00 FA | 01 | 00 00 03 E8";
const std::vector<std::uint8_t> kIssue = Hex("1B 10 34 00 4B | " + kBody + " | 00 00");
const std::vector<std::uint8_t> kReturn = Hex("1B 10 35 00 4F | 00 00 00 07 | " + kBody + " | 00 00");

InvPrintDataRecord PrintData() {
    InvPrintDataRecord r;
    r.issue_date = "20240315";
    r.invoice_number = "0000000042";
    r.invoice_type = 1;
    r.total = 10.0;
    r.tax_code = "00000001234567890123";
    r.original_number = "0000000000";
    r.payer = "某某公司";
    r.goods[0] = GoodsLine{"大米", 2.5, 1, 10.0};
    return r;
}

TEST(SaleRequest, ReadsTheFrameAsItWentOnTheWire) {
    SaleRequest sale;
    ASSERT_EQ(ReadSaleRequest(kIssue, sale), 0);
    EXPECT_FALSE(sale.IsReturn());
    EXPECT_EQ(sale.household, 1);
    EXPECT_EQ(sale.payer, "某某公司");
    ASSERT_EQ(sale.lines.size(), 1u);
    EXPECT_EQ(sale.lines[0].name, "大米");
    EXPECT_EQ(sale.lines[0].quantity, 250u);
    EXPECT_EQ(sale.lines[0].amount, 1000u);
    EXPECT_EQ(SaleGoodsText(sale), "大米\t2.50\t1\t10.00");

    ASSERT_EQ(ReadSaleRequest(kReturn, sale), 0);
    EXPECT_TRUE(sale.IsReturn());
    EXPECT_EQ(sale.returned, "0000000007");

    // Not an invoice request: another command, a count the length disagrees with, a name that is no GBK.
    for (const std::string& bad : std::vector<std::string>{
             "1B 10 33 00 05 | 00 00", "1B 10 34 00 4B | " + kBody + " 00 | 00 00",
             "1B 10 34 00 4B | 00 01" + Blanks(40) + " 01 | FF" + Blanks(19) + " 00 FA 01 00 00 03 E8 | 00 00"}) {
        EXPECT_EQ(ReadSaleRequest(Hex(bad), sale), result::kWrongAnswerLength) << bad;
    }
}

TEST(SaleRequest, PrintDataIsTheRequestsOnlyWhenEverythingSentComesBack) {
    SaleRequest issue, ret;
    ASSERT_EQ(ReadSaleRequest(kIssue, issue), 0);
    ASSERT_EQ(ReadSaleRequest(kReturn, ret), 0);
    struct Case {
        const char* what;
        const SaleRequest* sale;
        void (*change)(InvPrintDataRecord&);
        SaleMatch expected;
    };
    const Case cases[] = {
        {"the same", &issue, [](InvPrintDataRecord&) {}, SaleMatch::kSame},
        {"payer padded by the processor", &issue, [](InvPrintDataRecord& r) { r.payer += "   "; }, SaleMatch::kSame},
        {"a return", &issue, [](InvPrintDataRecord& r) { r.invoice_type = 2; }, SaleMatch::kOtherKind},
        {"voided since", &issue, [](InvPrintDataRecord& r) { r.invoice_type = 3; }, SaleMatch::kOtherKind},
        {"another payer", &issue, [](InvPrintDataRecord& r) { r.payer = "某某"; }, SaleMatch::kOtherPayer},
        {"another name", &issue, [](InvPrintDataRecord& r) { r.goods[0]->name = "小米"; }, SaleMatch::kOtherGoods},
        {"a hundredth less", &issue, [](InvPrintDataRecord& r) { r.goods[0]->quantity = 2.49; },
         SaleMatch::kOtherGoods},
        {"another tax index", &issue, [](InvPrintDataRecord& r) { r.goods[0]->tax_index = 2; }, SaleMatch::kOtherGoods},
        {"another amount", &issue, [](InvPrintDataRecord& r) { r.goods[0]->amount = 10.01; }, SaleMatch::kOtherGoods},
        {"a line more", &issue, [](InvPrintDataRecord& r) { r.goods[1] = r.goods[0]; }, SaleMatch::kOtherGoods},
        {"another total", &issue, [](InvPrintDataRecord& r) { r.total = 20.0; }, SaleMatch::kOtherTotal},
        {"the return asked", &ret,
         [](InvPrintDataRecord& r) {
             r.invoice_type = 2;
             r.original_number = "0000000007";
         },
         SaleMatch::kSame},
        {"a return of another invoice", &ret,
         [](InvPrintDataRecord& r) {
             r.invoice_type = 2;
             r.original_number = "0000000008";
         },
         SaleMatch::kOtherReturnedNumber},
    };
    for (const Case& c : cases) {
        InvPrintDataRecord record = PrintData();
        c.change(record);
        EXPECT_EQ(MatchPrintData(*c.sale, record), c.expected) << c.what;
    }
}

TEST(SaleRequest, PrintDataTaxCodeTakesTheIssueAnswersForm) {
    EXPECT_EQ(IssueFormTaxCode("00000001234567890123"), "1234567890123");
    EXPECT_EQ(IssueFormTaxCode("00000000000000000042"), "00000000042");
    EXPECT_EQ(IssueFormTaxCode("41000000010000000001"), "41000000010000000001");
}

}  // namespace
}  // namespace karvex
