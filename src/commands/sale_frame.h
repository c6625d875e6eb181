#pragma once
// A sale's one check and its one frame.
//
// Every way a host hands over a sale (the typed call, the fixed-width texts, the C interface, Python, the
// tool, the service) ends in a `Sale`; CheckSale is where its values are judged and BuildSaleFrame where
// it becomes bytes, so the ways cannot drift apart.
//
//     const BuiltFrame built = BuildSaleFrame(sale);   // built.code: CheckSale's code, else the frame
#include <cstdint>

#include "karvex/sale.h"
#include "link/frame_codec.h"

namespace karvex {

// The command byte of a sale's kind: MakeInvoice (52) or ReturnInvoice (53).
std::uint8_t SaleCommand(SaleKind kind);

// 0 when the sale can go out as it is, else the first fault found, in this order:
//   168 goods not 1 to 6 lines; 102 fhNumber outside 0-65535;
//   a return only: returnedInvoice 144 empty, 105 not digits only, 103 over 10 digits, 148 above 4294967295;
//   payer: 98 a character without a GBK form, 98-101 a text the print-data decoder would not read back, 103
//       over 40 GBK bytes;
//   then per line, in line order: 164 quantity below 1, 102 above 65535; 165 price below 1; 166 amount below
//       1, 110 above 4294967295; 167 tax index 0, 224 below 0 or above 9; 104 empty name, 99 a name
//       character without a GBK form, 103 over 20 GBK bytes, 98-100 a name the print-data decoder would
//       refuse (a control byte, "€", a GBK character whose second byte is below 0xA0).
ResultCode CheckSale(const Sale& sale);

// The frame record of a sale: texts as given, money and quantities as they are.
InvoiceRequest InvoiceRecordOf(const Sale& sale);

// The sale a record holds: its first SalesNum items, under `kind`.
Sale SaleOf(const InvoiceRequest& record, SaleKind kind);

// CheckSale, then the frame: CheckSale's code and no frame when the sale is refused.
BuiltFrame BuildSaleFrame(const Sale& sale);

}  // namespace karvex
