// A typed sale's check and the exact reading of goods numbers: one case per way a value could reach the
// processor other than the host meant it.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "commands/sale_frame.h"
#include "convert/decimal_text.h"

namespace karvex {
namespace {

Sale GoodSale() {
    Sale sale;
    sale.fhNumber = 1;
    sale.payer = "某某公司";
    sale.goods = {{"大米", 250, 400, 1000, 1}, {"食用油", 100, 5990, 5990, 2}};
    return sale;
}

TEST(SaleCheck, EachFaultHasItsCode) {
    const struct {
        const char* what;
        std::function<void(Sale&)> change;
        ResultCode code;
    } cases[] = {
        {"accepted as it is", [](Sale&) {}, 0},
        {"return of the largest number", [](Sale& s) { s.kind = SaleKind::Return, s.returnedInvoice = "4294967295"; },
         0},
        {"no goods", [](Sale& s) { s.goods.clear(); }, 168},
        {"seven goods", [](Sale& s) { s.goods.resize(7, s.goods[0]); }, 168},
        {"分户 above 16 bits", [](Sale& s) { s.fhNumber = 65536; }, 102},
        {"negative 分户", [](Sale& s) { s.fhNumber = -1; }, 102},
        {"return without a number", [](Sale& s) { s.kind = SaleKind::Return; }, 144},
        // Read as 10 it would return another invoice.
        {"returned number with a point", [](Sale& s) { s.kind = SaleKind::Return, s.returnedInvoice = "9.5"; }, 105},
        {"returned number of 11 digits", [](Sale& s) { s.kind = SaleKind::Return, s.returnedInvoice = "12345678901"; },
         103},
        {"returned number above 32 bits", [](Sale& s) { s.kind = SaleKind::Return, s.returnedInvoice = "4294967296"; },
         148},
        {"payer over 40 bytes", [](Sale& s) { s.payer = std::string(39, 'P') + "中"; }, 103},
        {"payer without a GBK form", [](Sale& s) { s.payer = "P\xF0\x9F\x98\x80"; }, 98},
        {"payer print data could not read back", [](Sale& s) { s.payer = "镕"; }, 100},
        {"quantity 0", [](Sale& s) { s.goods[1].quantity = 0; }, 164},
        {"quantity above 16 bits", [](Sale& s) { s.goods[1].quantity = 65536; }, 102},
        {"price 0", [](Sale& s) { s.goods[1].price = 0; }, 165},
        {"amount 0", [](Sale& s) { s.goods[1].amount = 0; }, 166},
        {"negative amount", [](Sale& s) { s.goods[1].amount = -100; }, 166},
        {"amount above 32 bits", [](Sale& s) { s.goods[1].amount = 4294967296; }, 110},
        {"tax index 0", [](Sale& s) { s.goods[1].taxIndex = 0; }, 167},
        {"tax index 10", [](Sale& s) { s.goods[1].taxIndex = 10; }, 224},
        {"negative tax index", [](Sale& s) { s.goods[1].taxIndex = -1; }, 224},
        {"empty name", [](Sale& s) { s.goods[1].name.clear(); }, 104},
        // It would be printed as "?".
        {"name without a GBK form", [](Sale& s) { s.goods[1].name = "\xF0\x9F\x8D\x90"; }, 99},
        {"name over 20 bytes", [](Sale& s) { s.goods[1].name = std::string(19, 'N') + "中"; }, 103},
        {"control byte in a name", [](Sale& s) { s.goods[1].name = "A\x01"; }, 98},
        {"euro sign in a name", [](Sale& s) { s.goods[1].name = "\xE2\x82\xAC"; }, 99},
        {"first fault in line order", [](Sale& s) { s.goods[0].price = 0, s.goods[1].quantity = 0; }, 165},
    };
    for (const auto& c : cases) {
        Sale sale = GoodSale();
        c.change(sale);
        EXPECT_EQ(CheckSale(sale), c.code) << c.what;
        const BuiltFrame built = BuildSaleFrame(sale);
        EXPECT_EQ(built.code, c.code) << c.what;
        EXPECT_EQ(built.frame.empty(), c.code != 0) << c.what;
    }
}

TEST(SaleCheck, GoodsNumbersAreReadExactly) {
    constexpr ResultCode kBelow = 165;
    const struct {
        const char* text;
        ResultCode code;
        std::int64_t hundredths;
    } cases[] = {
        {"2.5", 0, 250},       {"12", 0, 1200},
        {".05", 0, 5},         {"0.01", 0, 1},
        {"007.10", 0, 710},    {"42949672.95", 0, 4294967295},  // one binary step off would be another fen
        {"2.675", 107, 0},                                      // a third decimal is never rounded away
        {"1.2.3", 107, 0},     {".", 107, 0},
        {"1,5", 107, 0},       {" 1", 107, 0},
        {"-1", 107, 0},        {"", 144, 0},
        {"0", kBelow, 0},      {"0.004", kBelow, 0},
        {"00.000", kBelow, 0}, {"1234567890123456", 110, 0},
    };
    for (const auto& c : cases) {
        std::int64_t value = 0;
        EXPECT_EQ(ParseGoodsNumber(c.text, kBelow, value), c.code) << c.text;
        if (c.code == 0) {
            EXPECT_EQ(value, c.hundredths) << c.text;
        }
    }
}

}  // namespace
}  // namespace karvex
