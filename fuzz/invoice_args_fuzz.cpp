// The host-argument checks of the invoice call (and the invoice-number checks of the query calls).
//
// Input: command selector, 分户 number, item count, then the texts (payer, returned number, names,
// quantities, prices, amounts, tax indexes), each a length byte and its bytes. Properties: an overflow is the
// documented exception and leaves the request untouched; arguments that pass the checks always make a frame
// of the invoice's length; every invoice number that passes is the 10 digits the wire takes.
#include <cstdint>
#include <string>

#include "control/host_calls.h"
#include "convert/conversions.h"
#include "fuzz_support.h"
#include "link/frame_codec.h"

using namespace karvex;

namespace {

bool SameRequest(const InvoiceRequest& a, const InvoiceRequest& b) {
    return a.OInvNum == b.OInvNum && a.FhNumber == b.FhNumber && a.PayUnit == b.PayUnit && a.SalesNum == b.SalesNum &&
           a.InvMode == b.InvMode && a.ItemName == b.ItemName && a.ItemQuantity == b.ItemQuantity &&
           a.ItemTaxIndex == b.ItemTaxIndex && a.ItemSumFen == b.ItemSumFen && a.ItemPriceFen == b.ItemPriceFen;
}

void TenDigits(const std::string& s) {
    FUZZ_CHECK(s.size() == 10 && s.find_first_not_of("0123456789") == std::string::npos, "\"%s\"", s.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::uint8_t selector = in.Byte();
    MakeInvArgs args;
    static constexpr std::int32_t kCommands[] = {kHostIssueInvoice, kHostReturnInvoice, 0, 300, -1, 66, 177, 52};
    args.CommandNum = kCommands[selector & 7];
    args.FhNumber = (selector & 8) ? in.I32() : in.U16();
    args.InvMode = in.Byte();
    args.SalesNum = (selector & 16) ? in.I32() : in.Byte() % 8;
    args.PayUnit = in.Text();
    args.OInvNum = in.Text();
    args.SalesName = in.Text();
    args.SalesAmount = in.Text();
    args.SalesPrice = in.Text();
    args.SalesSum = in.Text();
    args.TaxIndex = in.Text();

    InvoiceRequest request;
    request.PayUnit = "earlier";
    const InvoiceRequest before = request;
    InvoiceCheck check;
    try {
        check = PrepareFiscalMakeInv(args, request);
    } catch (const ArgumentOverflow&) {
        FUZZ_CHECK(SameRequest(request, before), "an overflow changed the request");
        check.code = -1;
    }
    if (check.code == 0) {
        FUZZ_CHECK(check.command == kHostIssueInvoice || check.command == kHostReturnInvoice);
        FUZZ_CHECK(request.SalesNum >= 1 && request.SalesNum <= kMaxInvoiceItems);
        const BuiltFrame built = BuildInvoiceCommand(check.command, InvoiceLayoutOf(check.command), request);
        if (!built.ok()) {
            // Three values pass the checks as the host gave them and are judged by the frame builder alone,
            // which refuses them with a code and sends nothing: the returned invoice's number, an amount whose
            // hundredths do not fit 32 bits, and an empty goods name.
            Bytes number;
            const int number_code = check.command == kHostReturnInvoice ? NumberToBytes(request.OInvNum, number) : 0;
            bool wide_amount = false, empty_name = false;
            for (int i = 0; i < request.SalesNum; ++i) {
                wide_amount |= request.ItemSumFen[i] > 4294967295;
                empty_name |= request.ItemName[i].empty();
            }
            FUZZ_CHECK((number_code != 0 && built.code == number_code) ||
                           (wide_amount && built.code == result::kNumberAbove32Bits) ||
                           (empty_name && built.code == result::kEmptyTextToBytes),
                       "checked arguments refused by the frame builder: %d", built.code);
            return 0;
        }
        const std::size_t length = (check.command == kHostIssueInvoice ? 48u : 52u) + 27u * request.SalesNum;
        FUZZ_CHECK(built.frame.size() == length + 2, "frame %zu for %u items", built.frame.size(), request.SalesNum);
    }

    // The invoice-number checks of the other calls, on the same texts.
    std::string number = args.OInvNum;
    const HostRequest invalidate = PrepareFiscalInvalidateInv(number);
    if (invalidate.code == 0 || invalidate.code == result::kInvoiceNumberTooLarge)
        TenDigits(number);
    else
        FUZZ_CHECK(number.empty(), "refused number kept as \"%s\"", number.c_str());
    HostReply reply;
    const HostRequest print = PrepareGetPrintInv(args.CommandNum, args.OInvNum, reply);
    if (print.code == 0 && print.kind == RequestKind::kNumberPair) {
        TenDigits(print.second);
    }
    PrepareGetInvUseSum(args.OInvNum);
    return 0;
}
