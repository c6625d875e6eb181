#pragma once
// The host calls' argument checks and the mapping between the host's arguments and the module's records.
//
// Plain functions, no Qt and no serial line: the Fiscal control converts its QString arguments to UTF-8,
// calls a Prepare... function, stores the code in the shared result word when the answer says so, sends the
// request, waits, and on success hands the reply values to the matching Copy... function.
//
//     InvoiceCheck check = PrepareFiscalMakeInv(args, module.HostInvoice());   // may throw ArgumentOverflow
//     if (check.code != 0) { if (check.store) SetCommandResult(check.code); return check.code; }
//     const Sale sale = SaleOf(module.HostInvoice(), kind);   // then the sale's one check and frame
//     ...
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include <karvex/errors.h>

#include "commands/answer_records.h"
#include "commands/caller_modes.h"
#include "commands/catalogue.h"
#include "link/frame_codec.h"
#include "link/result_codes.h"

namespace karvex {

// The command numbers a host passes (kHostIssueInvoice, ...) are the catalogue's.

// Commands the query and maintenance calls start.
inline constexpr std::uint8_t kCommandCurrentInvoice = ToByte(CommandCode::CurrentInvoice);
inline constexpr std::uint8_t kCommandInvalidateInvoice = ToByte(CommandCode::InvalidateInvoice);
inline constexpr std::uint8_t kCommandInvoiceSum = ToByte(CommandCode::InvoiceSum);
inline constexpr std::uint8_t kCommandPrintDataByNumber = ToByte(CommandCode::PrintDataByNumber);
inline constexpr std::uint8_t kCommandLastInvData = ToByte(CommandCode::LastInvData);

// The caller mode of a plain host call; the chain modes come from the one shared table of caller modes, so
// that this header and the console's can be included together.
inline constexpr std::uint16_t kCallerHostCall = kCallerHost;

// Widths of the fixed slices of the goods texts.
inline constexpr std::size_t kGoodsNameWidth = 20;    // GBK bytes per name
inline constexpr std::size_t kGoodsNumberWidth = 11;  // characters (bytes) per quantity, price or amount
inline constexpr std::size_t kPayerWidth = 40;        // GBK bytes of the payer

// ---------------------------------------------------------------------------------------------------------
// FiscalMakeInv

// The host's arguments of FiscalMakeInv, texts as UTF-8. The goods texts hold one fixed-width slice per item:
// names 20 GBK bytes, quantities, prices and amounts 11 characters, tax indexes 1 character.
struct MakeInvArgs {
    std::int32_t CommandNum = kHostIssueInvoice;
    std::int32_t FhNumber = 0;
    std::int32_t InvMode = 0;
    std::string OInvNum;
    std::string PayUnit;
    std::int32_t SalesNum = 0;
    std::string SalesName;
    std::string SalesAmount;
    std::string SalesPrice;
    std::string SalesSum;
    std::string TaxIndex;
};

// What a check decided. `store`: the code also goes into the shared result word (SetCommandResult).
struct InvoiceCheck {
    ResultCode code = result::kSuccess;
    bool store = false;
    std::uint8_t command = 0;  // on success: the command byte to send (`MakeInvoice` or `ReturnInvoice`)
};

// The one reader of the fixed-width goods texts: validates the arguments and fills `request`, whose sale
// (SaleOf, commands/sale_frame.h) then goes out as any typed sale does. Quantities, prices and amounts are
// taken in hundredths from the typed digits, never through a binary fraction.
//
// Throws ArgumentOverflow, with `request` untouched, when CommandNum or SalesNum is outside 0-255, FhNumber
// outside 0-65535, or an item quantity x 100 above 65535. Otherwise returns, stored in every case:
//   32  CommandNum other than 52 or 53 (nothing is sent for a command that is not an invoice);
//   for a return (53) only: OInvNum as the void call checks an invoice number: 144 empty, 105 not digits
//       only ("9.5" included), 103 more than 10 digits, 148 above 4294967295;
//   98 a payer character that has no GBK form; 98-101, 144 a payer text the print-data decoder would not
//       read back (a control character, say; it would otherwise go out as 40 blanks);
//   168 SalesNum not 1 to 6;
//   107 / 144 SalesAmount, SalesPrice, SalesSum (in that order) with a character other than digits, "."
//       and blanks / empty; 105 / 144 TaxIndex with a non-digit / empty;
//   99 a name character that has no GBK form;
//   then per item, in item order: 164 quantity x 100 below 1, 165 price x 100 below 1, 166 amount x 100
//       below 1 (each rounded half to even on the typed digits; 107 for any of the three when its slice
//       holds a second "."), 167 tax index 0 or missing, 100 a name slice that starts or ends inside a
//       two-byte character, 98-100 a name slice the print-data decoder would refuse (a control byte 98,
//       "€" or a lead byte 0x81-0x9F 99, a second byte below 0xA0 100).
// A validation failure leaves the fields stored up to the failing one (FhNumber, InvMode, OInvNum first, then
// PayUnit, SalesNum and the items in order); items beyond SalesNum keep the values of earlier calls.
InvoiceCheck PrepareFiscalMakeInv(const MakeInvArgs& args, InvoiceRequest& request);

// ---------------------------------------------------------------------------------------------------------
// Query and maintenance calls

enum class RequestKind : std::uint8_t {
    kNone,        // nothing to send: `code` says why
    kBare,        // no payload
    kNumberPair,  // two numbers, `first` and `second` (kNoFirstValue leaves the first out)
};

// The request a query or maintenance call sends, and how it waits.
struct HostRequest {
    ResultCode code = result::kSuccess;
    bool store = false;  // a failing `code` also goes into the shared result word
    RequestKind kind = RequestKind::kNone;
    std::uint8_t command = 0;  // the code of the command it starts
    std::string first;         // number-pair texts
    std::string second;
    std::uint16_t caller_mode = kCallerHostCall;
    bool through_chain = false;  // keep waiting while the result word says 4130
};

// Sends a prepared request, built by the command table as the host's: the send's code (132 without a port),
// the build's, or the request's own code when there is nothing to send.
ResultCode SendHostRequest(const FrameSink& sink, const HostRequest& request);

// FiscalInvalidateInv: InvNum is rewritten as its 10-digit form, or emptied when it is not 1 to 10 digits.
// Stored failures: 144 empty, 105 non-digit, 103 more than 10 digits. 148 (above 4294967295, InvNum then
// holds its 10 digits) is a send failure and leaves the shared word alone.
// Success: `InvalidateInvoice` with "Null" and the padded number (one 4-byte number), caller mode 2.
HostRequest PrepareFiscalInvalidateInv(std::string& InvNum);

// GetPrintInv: 177 asks for the last invoice (`LastInvData`, no payload); 66 for invoice InvNum
// (`PrintDataByNumber`, the padded number as start and end of the range; InvNum itself is left as passed).
// Failures: 144 empty InvNum (stored); 105, 103, 148 bad number and 32 any other CommandNum (returned only).
// On success the goods slots of `reply` are cleared, so that goods of an earlier invoice never show up in
// this one's outputs; the call waits through the chain in caller mode 6.
HostRequest PrepareGetPrintInv(std::int32_t CommandNum, std::string_view InvNum, HostReply& reply);

// GetInvUseSum: stored failures 144 empty, 105 non-digit, 103 more than 10 digits; 148 above 4294967295 is a
// send failure, returned only.
// Success: `InvoiceSum` with "Null" and InvNum as passed; the call waits through the chain in caller mode 8.
HostRequest PrepareGetInvUseSum(std::string_view InvNum);

// ---------------------------------------------------------------------------------------------------------
// Reply copies. Each takes the call's final code and copies only when it is 0; it returns that code.

// FiscalGetInvNum: InvNum = the current invoice number on 0, unchanged otherwise.
ResultCode CopyFiscalGetInvNum(ResultCode final_code, const std::string& current_inv_number, std::string& InvNum);

// FiscalReturnInvInfo: always 0, the five values of the last accepted issue or return (empty before any).
struct ReturnInvInfoOutputs {
    std::string MachineNum, UserName, TaxNumber, TaxCode, DateTime;
};
ResultCode CopyFiscalReturnInvInfo(const IssueReply& reply, ReturnInvInfoOutputs& out);

// GetPrintInv's outputs. The four goods texts come in as the host passed them and grow by six slices each:
// names fitted to 20 GBK bytes, quantity, unit-price and amount texts to 11, so empty inputs come back as
// 120 and 66 GBK bytes.
struct PrintInvOutputs {
    std::string InvNum, OInvNum, MachineNumber, SaleUnit, PayUnit, TaxNumber, TaxCode, PrintDate;
    std::string SalesName, SalesAmount, SalesPrice, SalesSum;
    std::int32_t InvType = 0;
};
ResultCode CopyGetPrintInvReply(ResultCode final_code, const HostReply& reply, PrintInvOutputs& out);

// GetInvUseSum's outputs; counts widened from bytes.
struct InvUseSumOutputs {
    std::string BeginDate, EndDate, BeginInvNum, EndInvNum;
    std::int32_t InvalidateInv = 0;
    std::int32_t NormalInv = 0;
    double NormalSum = 0;
    std::int32_t ReturnInv = 0;
    double ReturnSum = 0;
    std::string InvCode, TaxNumber, UserName, MachineNumber;
};
ResultCode CopyGetInvUseSumReply(ResultCode final_code, const HostReply& reply, InvUseSumOutputs& out);

// Empties the six goods slots of the print-data reply.
void ClearGoodsSlots(HostReply& reply);

}  // namespace karvex
