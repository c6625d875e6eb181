// The query and maintenance calls: invoice-number checks, the request each sends, and the reply copies.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control/host_calls.h"
#include "convert/conversions.h"

namespace karvex {
namespace {

Bytes WithCrc(std::initializer_list<std::uint8_t> bytes) {
    Bytes frame(bytes);
    AppendFrameCrc(frame);
    return frame;
}

// Records every frame handed to the serial line.
struct Wire {
    std::vector<Bytes> frames;
    FrameSink Sink() {
        return [this](const Bytes& frame) {
            frames.push_back(frame);
            return 0;
        };
    }
};

struct NumberCase {
    std::string inv_num;
    ResultCode code;
    std::string rewritten;  // FiscalInvalidateInv's InvNum afterwards
    bool stored;            // the code also goes into the shared result word
};

const std::vector<NumberCase> kBadNumbers = {
    {"", 144, "", true},
    {"12a", 105, "", true},
    {" 123", 105, "", true},
    {"12345678901", 103, "", true},
    // Ten digits pass the check; the 4-byte field refuses them as a send failure, which is not stored.
    {"4294967296", 148, "4294967296", false},
};

TEST(FiscalInvalidateInv, BadNumbersAreStoredAndEmptyTheArgument) {
    for (const NumberCase& c : kBadNumbers) {
        std::string inv = c.inv_num;
        const HostRequest request = PrepareFiscalInvalidateInv(inv);
        EXPECT_EQ(request.code, c.code) << c.inv_num;
        EXPECT_EQ(request.store, c.stored) << c.inv_num;
        EXPECT_EQ(request.kind, RequestKind::kNone);
        EXPECT_EQ(inv, c.rewritten) << c.inv_num;
    }
}

TEST(FiscalInvalidateInv, SendsTheNumberAndRewritesItAsTenDigits) {
    std::string inv = "123";
    const HostRequest request = PrepareFiscalInvalidateInv(inv);
    ASSERT_EQ(request.code, 0);
    EXPECT_EQ(inv, "0000000123");
    EXPECT_EQ(request.command, 0x36);
    EXPECT_EQ(request.caller_mode, 2);
    EXPECT_FALSE(request.through_chain);
    Wire wire;
    ASSERT_EQ(SendHostRequest(wire.Sink(), request), 0);
    ASSERT_EQ(wire.frames.size(), 1u);
    EXPECT_EQ(wire.frames[0], WithCrc({0x1B, 0x10, 0x36, 0x00, 0x09, 0x00, 0x00, 0x00, 0x7B}));
    EXPECT_EQ(SendHostRequest(FrameSink{}, request), 132);
}

TEST(GetPrintInv, RequestPerCommandNumber) {
    HostReply reply;
    Wire wire;
    HostRequest last = PrepareGetPrintInv(177, "", reply);
    ASSERT_EQ(last.code, 0);
    EXPECT_EQ(last.caller_mode, 6);
    EXPECT_TRUE(last.through_chain);
    ASSERT_EQ(SendHostRequest(wire.Sink(), last), 0);

    const std::string inv = "123";
    HostRequest by_number = PrepareGetPrintInv(66, inv, reply);
    ASSERT_EQ(by_number.code, 0);
    EXPECT_EQ(by_number.caller_mode, 6);
    ASSERT_EQ(SendHostRequest(wire.Sink(), by_number), 0);

    ASSERT_EQ(wire.frames.size(), 2u);
    EXPECT_EQ(wire.frames[0], WithCrc({0x1B, 0x10, 0xB1, 0x00, 0x05}));
    EXPECT_EQ(wire.frames[1], WithCrc({0x1B, 0x10, 0x42, 0x00, 0x0D, 0x00, 0x00, 0x00, 0x7B, 0x00, 0x00, 0x00, 0x7B}));
}

TEST(GetPrintInv, RefusalsSendNothing) {
    struct Case {
        std::int32_t command;
        std::string inv;
        ResultCode code;
        bool store;
    };
    const std::vector<Case> cases = {
        {67, "123", 32, false},
        {0, "", 32, false},
        {66, "", 144, true},
        {66, "x1", 105, false},
        {66, "12345678901", 103, false},
        {66, "9999999999", 148, false},
    };
    for (const Case& c : cases) {
        HostReply reply;
        reply.goods[0].name = "kept";
        const HostRequest request = PrepareGetPrintInv(c.command, c.inv, reply);
        EXPECT_EQ(request.code, c.code) << c.command << " " << c.inv;
        EXPECT_EQ(request.store, c.store) << c.command << " " << c.inv;
        Wire wire;
        EXPECT_EQ(SendHostRequest(wire.Sink(), request), c.code);
        EXPECT_TRUE(wire.frames.empty());
        EXPECT_EQ(reply.goods[0].name, "kept");
    }
}

TEST(GetInvUseSum, ChecksTheNumberAndSendsItAsGiven) {
    for (const NumberCase& c : kBadNumbers) {
        const HostRequest request = PrepareGetInvUseSum(c.inv_num);
        EXPECT_EQ(request.code, c.code) << c.inv_num;
        EXPECT_EQ(request.store, c.stored) << c.inv_num;
        EXPECT_EQ(request.kind, RequestKind::kNone) << c.inv_num;
    }
    const HostRequest request = PrepareGetInvUseSum("0000000123");
    ASSERT_EQ(request.code, 0);
    EXPECT_EQ(request.caller_mode, 8);
    EXPECT_TRUE(request.through_chain);
    Wire wire;
    ASSERT_EQ(SendHostRequest(wire.Sink(), request), 0);
    ASSERT_EQ(wire.frames.size(), 1u);
    EXPECT_EQ(wire.frames[0], WithCrc({0x1B, 0x10, 0x3C, 0x00, 0x09, 0x00, 0x00, 0x00, 0x7B}));
}

HostReply PrintReply() {
    HostReply r;
    r.inv_num = "0000000123";
    r.o_inv_num = "0000000000";
    r.pay_unit = "付款人";
    r.print_date = "20240102";
    r.tax_code = "12345678901234567890";
    r.inv_type = 2;
    r.sale_unit = "销售方";
    r.tax_number = "440100";
    r.machine_number = "1234567890123456";
    return r;
}

TEST(GetPrintInv, GoodsOutputsAreSixFixedSlices) {
    HostReply reply = PrintReply();
    reply.goods[0] = {"苹果", "2.5", "4", "10"};
    PrintInvOutputs out;
    ASSERT_EQ(CopyGetPrintInvReply(0, reply, out), 0);
    EXPECT_EQ(GbkByteLength(out.SalesName), 120u);
    EXPECT_EQ(out.SalesAmount.size(), 66u);
    EXPECT_EQ(out.SalesPrice.size(), 66u);
    EXPECT_EQ(out.SalesSum.size(), 66u);
    EXPECT_EQ(out.SalesName, "苹果" + std::string(16 + 100, ' '));
    EXPECT_EQ(out.SalesAmount.substr(0, 11), "2.5" + std::string(8, ' '));
    EXPECT_EQ(out.SalesSum.substr(0, 12), "10" + std::string(10, ' '));
    EXPECT_EQ(out.InvNum, "0000000123");
    EXPECT_EQ(out.SaleUnit, "销售方");
    EXPECT_EQ(out.MachineNumber, "1234567890123456");
    EXPECT_EQ(out.InvType, 2);

    // A host that passes text in gets the slices appended to it; an over-long name is cut to its slice.
    reply.goods[0].name = std::string(25, 'N');
    PrintInvOutputs appended;
    appended.SalesName = "X";
    ASSERT_EQ(CopyGetPrintInvReply(0, reply, appended), 0);
    EXPECT_EQ(appended.SalesName.size(), 121u);
    EXPECT_EQ(appended.SalesName.substr(0, 21), "X" + std::string(20, 'N'));
}

TEST(GetPrintInv, EarlierInvoiceGoodsNeverLeakIntoALaterOne) {
    HostReply reply = PrintReply();
    for (GoodsReply& g : reply.goods) g = {"旧商品", "1", "1", "1"};
    PrintInvOutputs first;
    ASSERT_EQ(CopyGetPrintInvReply(0, reply, first), 0);

    ASSERT_EQ(PrepareGetPrintInv(177, "", reply).code, 0);
    // The later invoice's answer has a single goods line.
    reply.goods[0] = {"新商品", "3", "2", "6"};
    PrintInvOutputs second;
    ASSERT_EQ(CopyGetPrintInvReply(0, reply, second), 0);
    EXPECT_EQ(second.SalesName.find("旧商品"), std::string::npos);
    EXPECT_EQ(second.SalesName.substr(GbkByteLength("新商品") + 3), std::string(100 + 20 - 6, ' '));
    EXPECT_EQ(second.SalesSum, "6" + std::string(65, ' '));
}

TEST(ReplyCopies, FailedCallsLeaveOutputsAlone) {
    HostReply reply = PrintReply();
    reply.user_name = "用户";
    PrintInvOutputs print;
    print.InvNum = "mine";
    EXPECT_EQ(CopyGetPrintInvReply(128, reply, print), 128);
    EXPECT_EQ(print.InvNum, "mine");
    EXPECT_TRUE(print.SalesName.empty());

    InvUseSumOutputs sum;
    sum.UserName = "mine";
    EXPECT_EQ(CopyGetInvUseSumReply(128, reply, sum), 128);
    EXPECT_EQ(sum.UserName, "mine");

    std::string inv = "mine";
    EXPECT_EQ(CopyFiscalGetInvNum(17, "0000000009", inv), 17);
    EXPECT_EQ(inv, "mine");
    EXPECT_EQ(CopyFiscalGetInvNum(0, "0000000009", inv), 0);
    EXPECT_EQ(inv, "0000000009");
}

TEST(ReplyCopies, RollSummaryCountsWidenWithoutSign) {
    HostReply reply;
    reply.normal_inv = 255;
    reply.return_inv = 7;
    reply.invalidate_inv = 200;
    reply.normal_sum = 1234.56;
    reply.return_sum = 0.5;
    reply.begin_inv_num = "0000000001";
    reply.end_inv_num = "0000000100";
    reply.inv_code = "12345678901234567890";
    reply.user_name = "用户";
    reply.machine_number = "1234567890123456";
    InvUseSumOutputs out;
    ASSERT_EQ(CopyGetInvUseSumReply(0, reply, out), 0);
    EXPECT_EQ(out.NormalInv, 255);
    EXPECT_EQ(out.InvalidateInv, 200);
    EXPECT_EQ(out.ReturnInv, 7);
    EXPECT_DOUBLE_EQ(out.NormalSum, 1234.56);
    EXPECT_DOUBLE_EQ(out.ReturnSum, 0.5);
    EXPECT_EQ(out.EndInvNum, "0000000100");
    EXPECT_EQ(out.InvCode, "12345678901234567890");
    EXPECT_EQ(out.MachineNumber, "1234567890123456");
}

TEST(ReplyCopies, ReturnInvInfoBeforeAnyInvoiceIsEmpty) {
    ReturnInvInfoOutputs out{"x", "x", "x", "x", "x"};
    EXPECT_EQ(CopyFiscalReturnInvInfo(IssueReply{}, out), 0);
    EXPECT_EQ(out.MachineNum + out.UserName + out.TaxNumber + out.TaxCode + out.DateTime, "");
    IssueReply issued{"1234567890123456", "用户", "440100", "12345678900000000001", "202401021530"};
    EXPECT_EQ(CopyFiscalReturnInvInfo(issued, out), 0);
    EXPECT_EQ(out.UserName, "用户");
    EXPECT_EQ(out.DateTime, "202401021530");
}

}  // namespace
}  // namespace karvex
