#pragma once
// Karvex: a sale as one typed value, the invoice an issue or a return asks the processor for.
//
// Quantities are in hundredths and money in fen, as integers: 2.5 kg is 250, 12.34 yuan is 1234, so no
// binary fraction stands between what the host means and what goes on the wire. Texts are UTF-8 and reach
// the processor in GBK. Fiscal::FiscalMakeInv(saleId, sale) and karvex_FiscalMakeInvGoods take it; the
// fixed-width text form of FiscalMakeInv is read into the same value.
//
//     karvex::Sale sale;
//     sale.payer = "某某公司";
//     sale.goods.push_back({"大米", 250, 400, 1000, 1});   // 2.50 x 4.00 = 10.00, tax index 1
//     fiscal.FiscalMakeInv("POS1-000123", sale);
#include <cstdint>
#include <string>
#include <vector>

namespace karvex {

// Goods lines one invoice holds at most.
inline constexpr int kMaxSaleGoods = 6;

enum class SaleKind : std::uint8_t {
    Issue,   // a new invoice
    Return,  // a return of the invoice `returnedInvoice`
};

struct SaleGoods {
    std::string name;           // at most 20 GBK bytes, not empty; blanks fill it on the invoice
    std::int64_t quantity = 0;  // hundredths: 1 to 65535 (0.01 to 655.35)
    std::int64_t price = 0;     // unit price in fen, at least 1; kept with the request, the processor is not told
    std::int64_t amount = 0;    // fen: 1 to 4294967295
    std::int32_t taxIndex = 0;  // the processor's tax item, 1 to 9
};

struct Sale {
    SaleKind kind = SaleKind::Issue;
    std::string returnedInvoice;   // a return only: the returned invoice's number, 1 to 10 digits
    std::int32_t fhNumber = 0;     // 分户 number, 0 to 65535
    std::int32_t invMode = 0;      // kept with the request for the host; the processor is not told
    std::string payer;             // at most 40 GBK bytes; empty: none
    std::vector<SaleGoods> goods;  // 1 to kMaxSaleGoods lines
};

}  // namespace karvex
