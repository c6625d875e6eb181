// FiscalMakeInv's checks: which code, in which order, what the record keeps, and the bytes that go out.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "control/host_calls.h"
#include "convert/conversions.h"
#include "support/hex.h"

namespace karvex {
namespace {

using karvex::testing::Hex;

// Goods numbers the way a host lays them out: right-aligned in 11 characters.
std::string Num(std::string_view value) { return std::string(11 - value.size(), ' ') + std::string(value); }

std::string Name(std::string_view name) {
    std::string out;
    FormatTextField(name, 20, ' ', kPadBehind, kKeepLong, out);
    return out;
}

MakeInvArgs TwoItems() {
    MakeInvArgs a;
    a.CommandNum = 52;
    a.FhNumber = 1;
    a.InvMode = 3;
    a.PayUnit = "ACME";
    a.SalesNum = 2;
    a.SalesName = Name("Apple") + Name("Pear");
    a.SalesAmount = Num("1") + Num("2.5");
    a.SalesPrice = Num("3") + Num("4");
    a.SalesSum = Num("3") + Num("10");
    a.TaxIndex = "12";
    return a;
}

struct Case {
    const char* what;
    std::function<void(MakeInvArgs&)> change;
    ResultCode code;
};

TEST(FiscalMakeInvChecks, EachFailureHasItsCodeAndIsStored) {
    const std::vector<Case> cases = {
        {"no items", [](MakeInvArgs& a) { a.SalesNum = 0; }, 168},
        {"seven items", [](MakeInvArgs& a) { a.SalesNum = 7; }, 168},
        {"command that is no invoice", [](MakeInvArgs& a) { a.CommandNum = 0x36; }, 32},
        {"letter in a quantity", [](MakeInvArgs& a) { a.SalesAmount[3] = 'a'; }, 107},
        {"letter in a price", [](MakeInvArgs& a) { a.SalesPrice += "x"; }, 107},
        {"comma in an amount", [](MakeInvArgs& a) { a.SalesSum = Num("3,5") + Num("1"); }, 107},
        {"point in the tax indexes", [](MakeInvArgs& a) { a.TaxIndex = "1."; }, 105},
        {"empty quantities", [](MakeInvArgs& a) { a.SalesAmount.clear(); }, 144},
        {"empty prices", [](MakeInvArgs& a) { a.SalesPrice.clear(); }, 144},
        {"empty tax indexes", [](MakeInvArgs& a) { a.TaxIndex.clear(); }, 144},
        {"quantity checked before price",
         [](MakeInvArgs& a) {
             a.SalesAmount += "a";
             a.SalesPrice.clear();
         },
         107},
        {"number texts checked before tax",
         [](MakeInvArgs& a) {
             a.SalesSum.clear();
             a.TaxIndex = "x";
         },
         144},
        {"quantity rounding to 0", [](MakeInvArgs& a) { a.SalesAmount = Num("0.004") + Num("1"); }, 164},
        {"quantity tie rounding to even 0", [](MakeInvArgs& a) { a.SalesAmount = Num("0.005") + Num("1"); }, 164},
        {"quantity slice of blanks", [](MakeInvArgs& a) { a.SalesAmount = Num("1") + Num(""); }, 164},
        {"quantity text too short", [](MakeInvArgs& a) { a.SalesAmount = Num("1"); }, 164},
        {"price 0", [](MakeInvArgs& a) { a.SalesPrice = Num("1") + Num("0.00"); }, 165},
        {"amount blank", [](MakeInvArgs& a) { a.SalesSum = Num("1") + Num(""); }, 166},
        {"tax index 0", [](MakeInvArgs& a) { a.TaxIndex = "10"; }, 167},
        {"one tax index for two items", [](MakeInvArgs& a) { a.TaxIndex = "1"; }, 167},
        {"item 1 fails before item 2",
         [](MakeInvArgs& a) {
             a.TaxIndex = "02";
             a.SalesAmount = Num("1") + Num("0");
         },
         167},
        {"price before tax within an item",
         [](MakeInvArgs& a) {
             a.TaxIndex = "02";
             a.SalesPrice = Num("0") + Num("1");
         },
         165},
        {"thousands written with points", [](MakeInvArgs& a) { a.SalesSum = Num("1.000.00") + Num("1"); }, 107},
        {"payer with a control character", [](MakeInvArgs& a) { a.PayUnit = "AC\tME"; }, 98},
        {"name slices out of step", [](MakeInvArgs& a) { a.SalesName = std::string(19, 'A') + "中" + Name("Pear"); },
         100},
        // It would go out as "?" on the printed invoice.
        {"name character without a GBK form",
         [](MakeInvArgs& a) { a.SalesName = Name("Apple") + "\xF0\x9F\x8D\x90" + std::string(16, ' '); }, 99},
        {"name checked before the items",
         [](MakeInvArgs& a) {
             a.SalesName = "\xF0\x9F\x8D\x90";
             a.TaxIndex = "0";
         },
         99},
        // It would go out as "?" on the printed invoice.
        {"payer character without a GBK form", [](MakeInvArgs& a) { a.PayUnit = "P\xF0\x9F\x98\x80"; }, 98},
        // Names the print-data decoder could never read back.
        {"control byte in a name",
         [](MakeInvArgs& a) { a.SalesName = Name("Apple") + "AB\x01" + std::string(17, ' '); }, 98},
        {"euro sign in a name",
         [](MakeInvArgs& a) { a.SalesName = Name("Apple") + "\xE2\x82\xAC" + std::string(19, ' '); }, 99},
        {"GBK lead byte below 0xA0", [](MakeInvArgs& a) { a.SalesName = "丂" + std::string(18, ' ') + Name("Pear"); },
         99},
        {"GBK second byte below 0xA0",
         [](MakeInvArgs& a) { a.SalesName = Name("Apple") + "镕" + std::string(18, ' '); }, 100},
        // Read as 10 it would return another invoice.
        {"returned number with a point",
         [](MakeInvArgs& a) {
             a.CommandNum = 53;
             a.OInvNum = "9.5";
         },
         105},
        {"returned number empty",
         [](MakeInvArgs& a) {
             a.CommandNum = 53;
             a.OInvNum.clear();
         },
         144},
        // They would go out as 0 fen.
        {"amount rounding to 0 fen", [](MakeInvArgs& a) { a.SalesSum = Num("1") + Num("0.005"); }, 166},
        {"price rounding to 0 fen", [](MakeInvArgs& a) { a.SalesPrice = Num("0.004") + Num("1"); }, 165},
    };
    for (const Case& c : cases) {
        MakeInvArgs args = TwoItems();
        c.change(args);
        InvoiceRequest request;
        const InvoiceCheck check = PrepareFiscalMakeInv(args, request);
        EXPECT_EQ(check.code, c.code) << c.what;
        EXPECT_TRUE(check.store) << c.what;
    }
}

TEST(FiscalMakeInvChecks, AcceptedInvoiceFillsTheRecord) {
    InvoiceRequest request;
    const InvoiceCheck check = PrepareFiscalMakeInv(TwoItems(), request);
    ASSERT_EQ(check.code, 0);
    EXPECT_FALSE(check.store);
    EXPECT_EQ(check.command, 0x34);
    EXPECT_EQ(request.FhNumber, 1);
    EXPECT_EQ(request.InvMode, 3);
    EXPECT_EQ(request.PayUnit, "ACME" + std::string(36, ' '));
    EXPECT_EQ(request.SalesNum, 2);
    EXPECT_EQ(request.ItemName[0], Name("Apple"));  // not trimmed
    EXPECT_EQ(request.ItemQuantity[1], 250);
    EXPECT_EQ(request.ItemTaxIndex[1], 2);
    EXPECT_EQ(request.ItemPriceFen[1], 400);
    EXPECT_EQ(request.ItemSumFen[1], 1000);
}

TEST(FiscalMakeInvChecks, QuantityIsRoundedOnTheTypedDigits) {
    const std::vector<std::pair<std::string, std::int32_t>> cases = {
        {"2.675", 268},                                                   // the binary product is 267.4999...
        {"0.015", 2},                                                     // tie goes to the even neighbour
        {"0.025", 2},      {"0.0251", 3}, {"0.006", 1}, {" 1 2 ", 1200},  // blanks inside are ignored
        {"655.35", 65535}, {".5", 50},
    };
    for (const auto& [text, expected] : cases) {
        MakeInvArgs args = TwoItems();
        args.SalesAmount = Num(text) + Num("1");
        InvoiceRequest request;
        ASSERT_EQ(PrepareFiscalMakeInv(args, request).code, 0) << text;
        EXPECT_EQ(request.ItemQuantity[0], expected) << text;
    }
}

TEST(FiscalMakeInvChecks, FailureKeepsWhatWasStoredBeforeIt) {
    InvoiceRequest request;
    MakeInvArgs three = TwoItems();
    three.SalesNum = 3;
    three.SalesName += Name("Plum");
    three.SalesAmount += Num("7");
    three.SalesPrice += Num("1");
    three.SalesSum += Num("7");
    three.TaxIndex += "3";
    ASSERT_EQ(PrepareFiscalMakeInv(three, request).code, 0);

    MakeInvArgs bad = TwoItems();
    bad.FhNumber = 9;
    bad.PayUnit = "Other";
    bad.SalesAmount = Num("5") + Num("6");
    bad.SalesPrice = Num("1") + Num("0");
    EXPECT_EQ(PrepareFiscalMakeInv(bad, request).code, 165);
    EXPECT_EQ(request.FhNumber, 9);
    EXPECT_EQ(request.PayUnit.substr(0, 5), "Other");
    EXPECT_EQ(request.ItemQuantity[0], 500);
    EXPECT_EQ(request.ItemQuantity[1], 600);       // stored before its price failed
    EXPECT_EQ(request.ItemTaxIndex[1], 2);         // from the earlier call: never reached
    EXPECT_EQ(request.ItemName[2], Name("Plum"));  // beyond the count: kept
    EXPECT_EQ(request.ItemQuantity[2], 700);
}

void ExpectSameRecord(const InvoiceRequest& a, const InvoiceRequest& b) {
    EXPECT_EQ(a.OInvNum, b.OInvNum);
    EXPECT_EQ(a.FhNumber, b.FhNumber);
    EXPECT_EQ(a.PayUnit, b.PayUnit);
    EXPECT_EQ(a.SalesNum, b.SalesNum);
    EXPECT_EQ(a.InvMode, b.InvMode);
    EXPECT_EQ(a.ItemName, b.ItemName);
    EXPECT_EQ(a.ItemQuantity, b.ItemQuantity);
    EXPECT_EQ(a.ItemTaxIndex, b.ItemTaxIndex);
    EXPECT_EQ(a.ItemSumFen, b.ItemSumFen);
    EXPECT_EQ(a.ItemPriceFen, b.ItemPriceFen);
}

TEST(FiscalMakeInvChecks, ArgumentTooWideForItsFieldThrowsAndChangesNothing) {
    const std::vector<Case> cases = {
        {"CommandNum 300", [](MakeInvArgs& a) { a.CommandNum = 300; }, 0},
        {"CommandNum -1", [](MakeInvArgs& a) { a.CommandNum = -1; }, 0},
        {"SalesNum 256", [](MakeInvArgs& a) { a.SalesNum = 256; }, 0},
        {"SalesNum -1", [](MakeInvArgs& a) { a.SalesNum = -1; }, 0},
        {"FhNumber 70000", [](MakeInvArgs& a) { a.FhNumber = 70000; }, 0},
        {"FhNumber -1", [](MakeInvArgs& a) { a.FhNumber = -1; }, 0},
        {"second quantity 655.36", [](MakeInvArgs& a) { a.SalesAmount = Num("1") + Num("655.36"); }, 0},
        {"quantity of 11 nines", [](MakeInvArgs& a) { a.SalesAmount = Num("99999999999") + Num("1"); }, 0},
    };
    InvoiceRequest before;
    MakeInvArgs first = TwoItems();
    first.PayUnit = "Before";
    first.SalesAmount = Num("8") + Num("9");
    ASSERT_EQ(PrepareFiscalMakeInv(first, before).code, 0);
    for (const Case& c : cases) {
        MakeInvArgs args = TwoItems();
        args.FhNumber = 77;
        c.change(args);
        InvoiceRequest request = before;
        EXPECT_THROW(PrepareFiscalMakeInv(args, request), ArgumentOverflow) << c.what;
        ExpectSameRecord(request, before);
    }
}

// The frame of a checked record is the builder's own test (codec); the bytes of a checked invoice on the
// wire, issue and return, are the end-to-end tests'. Here: what the checks make of the texts.
TEST(FiscalMakeInvFrame, PayerIsFittedToFortyBytes) {
    struct PayerCase {
        std::string payer;
        Bytes field;
    };
    const std::vector<PayerCase> cases = {
        {"", Bytes(40, 0x20)},
        {std::string(45, 'B'), Bytes(40, 'B')},
        // The 40th byte would be half of 中: it becomes a blank.
        {std::string(39, 'C') + "中文",
         [] {
             Bytes b(39, 'C');
             b.push_back(0x20);
             return b;
         }()},
        {std::string(38, 'D') + "中文",
         [] {
             Bytes b(38, 'D');
             b.push_back(0xD6);
             b.push_back(0xD0);
             return b;
         }()},
    };
    for (const PayerCase& c : cases) {
        MakeInvArgs args = TwoItems();
        args.PayUnit = c.payer;
        InvoiceRequest request;
        ASSERT_EQ(PrepareFiscalMakeInv(args, request).code, 0);
        const BuiltFrame built = BuildInvoiceCommand(0x34, InvoiceLayout::Issue, request);
        ASSERT_EQ(built.code, 0) << c.payer;
        EXPECT_EQ(Bytes(built.frame.begin() + 7, built.frame.begin() + 47), c.field) << c.payer;
    }
}

TEST(FiscalMakeInvFrame, ChineseNameSliceGoesOutAsItsTwentyBytes) {
    MakeInvArgs args = TwoItems();
    args.SalesName = "苹果香蕉" + std::string(12, ' ') + Name("中文名字");
    InvoiceRequest request;
    ASSERT_EQ(PrepareFiscalMakeInv(args, request).code, 0);
    const BuiltFrame built = BuildInvoiceCommand(0x34, InvoiceLayout::Issue, request);
    ASSERT_EQ(built.code, 0);
    const std::size_t first_name = 5 + 2 + 40 + 1;
    EXPECT_EQ(Bytes(built.frame.begin() + first_name, built.frame.begin() + first_name + 20),
              Hex("C6 BB B9 FB CF E3 BD B6 20 20 20 20 20 20 20 20 20 20 20 20"));
    EXPECT_EQ(request.ItemName[1], "中文名字" + std::string(12, ' '));
}

}  // namespace
}  // namespace karvex
