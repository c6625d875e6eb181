// FiscalMakeInv and FiscalReturnInvInfo over the pseudo-terminal against the virtual processor: the bytes
// the checked arguments become, the refusals that never reach the line, and the processor's own refusals.
#include "support/fiscal_fixture.h"
#include "wire_helpers.h"

#include "link/result_codes.h"

namespace karvex::testing {
namespace {

using sim::Fault;
using sim::FaultKind;

// A host's invoice as flat texts; each test changes what it is about.
struct Invoice {
    int command = 52;
    int household = 0;
    int mode = 0;
    QString original;
    QString payer = QString::fromUtf8("某某商贸有限公司");
    int count = 2;
    std::string names = Slice("苹果", 20) + Slice("梨", 20);
    std::string quantities = Slice("1", 11) + Slice("2.5", 11);
    std::string prices = Slice("10", 11) + Slice("4", 11);
    std::string sums = Slice("10.00", 11) + Slice("10.00", 11);
    std::string taxes = "12";
};

class MakeInvE2E : public FiscalFixture {
protected:
    void SetUp() override {
        FiscalFixture::SetUp();
        ASSERT_EQ(fiscal_->LoadFiscalForm(), 0);
        // The load reads the processor's counter (and its last invoice for a journal that knows none).
        loaded_ = sim_->requests_handled();
        loadLog_ = ReadLog();
    }
    std::size_t loaded_ = 0;
    std::string loadLog_;

    int Make(const Invoice& v) {
        return fiscal_->FiscalMakeInv(v.command, v.household, v.mode, v.original, v.payer, v.count,
                                      QString::fromStdString(v.names), QString::fromStdString(v.quantities),
                                      QString::fromStdString(v.prices), QString::fromStdString(v.sums),
                                      QString::fromStdString(v.taxes));
    }

    std::size_t CountInLog(const std::string& utf8) {
        Bytes gbk;
        Utf8ToGbk(utf8, gbk);
        const std::string needle(gbk.begin(), gbk.end());
        const std::string log = ReadLog();
        std::size_t n = 0;
        for (auto at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1)) ++n;
        return n;
    }
};

TEST_F(MakeInvE2E, TwoItemsGoOutWithTheirQuantitiesAndTheAnswerIsKept) {
    ASSERT_EQ(Make(Invoice{}), 0);
    EXPECT_EQ(fiscal_->Status(), 0);

    const auto p = LastPayload(*sim_, 0x34);
    ASSERT_EQ(p.size(), 43u + 27u * 2u) << "L = 48 + 27n";
    EXPECT_EQ(Hex(p, 0, 2), "00 00");  // household
    EXPECT_EQ(p[42], 2);
    // name 20, quantity x 100 (2), tax index (1), amount x 100 (4)
    EXPECT_EQ(Hex(p, 43 + 20, 7), "00 64 01 00 00 03 E8");
    EXPECT_EQ(Hex(p, 43 + 27 + 20, 7), "00 FA 02 00 00 03 E8");

    // The processor kept the invoice, and the one log line says it was sent once.
    ASSERT_EQ(sim_->state().invoices.size(), 1u);
    EXPECT_EQ(sim_->state().invoices[0].lines[1].quantity, 250);
    EXPECT_EQ(CountInLog("发送开票命令"), 1u);

    QString machine, user, taxNumber, taxCode, when;
    EXPECT_EQ(fiscal_->FiscalReturnInvInfo(machine, user, taxNumber, taxCode, when), 0);
    EXPECT_EQ(machine, QString("1100000000000001"));
    EXPECT_FALSE(taxCode.isEmpty());
    EXPECT_TRUE(when.startsWith("20240315")) << when.toStdString();
}

TEST_F(MakeInvE2E, ReturnCarriesTheReturnedNumberInFront) {
    ASSERT_EQ(Make(Invoice{}), 0);
    const std::uint32_t issued = sim_->state().invoices.back().number;
    Invoice v;
    v.command = 53;
    v.original = QString::number(issued);
    ASSERT_EQ(Make(v), 0);
    const auto p = LastPayload(*sim_, 0x35);
    ASSERT_EQ(p.size(), 47u + 27u * 2u) << "L = 52 + 27n";
    EXPECT_EQ(p[3], issued & 0xFF);
    EXPECT_EQ(sim_->state().invoices.back().kind, sim::InvoiceKind::Return);
}

// Every check's code is in the checks' own table (hostcalls); here one of each stage shows that the call
// stores it and sends nothing.
TEST_F(MakeInvE2E, EveryValidationFailureIsStoredAndNothingIsSent) {
    struct Case {
        const char* what;
        ResultCode code;
        void (*change)(Invoice&);
    };
    const Case cases[] = {
        {"no invoice command", 32, [](Invoice& v) { v.command = 54; }},
        {"seven goods", 168, [](Invoice& v) { v.count = 7; }},
        {"zero price of the second item", 165, [](Invoice& v) { v.prices = Slice("10", 11) + Slice("0", 11); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Invoice v;
        c.change(v);
        ModuleOf(*fiscal_).SetCommandResult(0);
        EXPECT_EQ(Make(v), c.code);
        EXPECT_EQ(fiscal_->Status(), c.code);
    }
    EXPECT_EQ(sim_->requests_handled(), loaded_);
    EXPECT_EQ(ReadLog(), loadLog_) << "nothing was sent, so nothing is logged";
}

TEST_F(MakeInvE2E, ProcessorRefusalsComeBackAsItsCodes) {
    sim_->update_state([](sim::MachineState& s) { s.taxpayer.issue_cutoff = 20240314; });
    EXPECT_EQ(Make(Invoice{}), 17);
    EXPECT_EQ(fiscal_->Status(), 17);
    EXPECT_TRUE(fiscal_->Description().contains(QString::fromUtf8("已过截止开票日期")))
        << fiscal_->Description().toStdString();

    sim_->update_state([](sim::MachineState& s) {
        s.taxpayer.issue_cutoff = 20991231;
        s.taxpayer.single_limit = 1999;  // fen: the invoice holds 20.00
    });
    EXPECT_EQ(Make(Invoice{}), 18);
    EXPECT_TRUE(fiscal_->Description().contains(QString::fromUtf8("已超过单张发票开票金额限额")));
    EXPECT_TRUE(sim_->state().invoices.empty());

    // A refused invoice leaves the reply of the last accepted one (none yet) in place.
    QString machine("x"), user("x"), taxNumber("x"), taxCode("x"), when("x");
    EXPECT_EQ(fiscal_->FiscalReturnInvInfo(machine, user, taxNumber, taxCode, when), 0);
    EXPECT_TRUE(machine.isEmpty() && user.isEmpty() && taxNumber.isEmpty() && taxCode.isEmpty() && when.isEmpty());
}

TEST_F(MakeInvE2E, ArgumentsTooWideForTheirFieldsThrowAndChangeNothing) {
    ASSERT_EQ(Make(Invoice{}), 0);
    // Requests as the processor took them: its answered count may lag behind an answer already read.
    const std::size_t handled = RequestCommands(*sim_).size();
    ControlModule& m = ModuleOf(*fiscal_);
    const InvoiceRequest before = m.HostInvoice();

    // Which arguments overflow is the checks' own table (hostcalls); one of them shows the call.
    Invoice v;
    v.count = 300;
    v.payer = QString::fromUtf8("另一家公司");
    EXPECT_THROW(Make(v), ArgumentOverflow);

    EXPECT_EQ(RequestCommands(*sim_).size(), handled);
    EXPECT_EQ(fiscal_->Status(), 0);
    EXPECT_EQ(m.HostInvoice().PayUnit, before.PayUnit);
    EXPECT_EQ(m.HostInvoice().SalesNum, before.SalesNum);
    EXPECT_EQ(m.HostInvoice().ItemQuantity, before.ItemQuantity);
}

TEST_F(MakeInvE2E, ClosedPortIsStoredAs132) {
    fiscal_->UnloadFicalForm(0);
    EXPECT_EQ(Make(Invoice{}), result::kNoOpenPort);
    EXPECT_EQ(fiscal_->Status(), result::kNoOpenPort);
    EXPECT_EQ(sim_->requests_handled(), loaded_);
}

}  // namespace
}  // namespace karvex::testing
