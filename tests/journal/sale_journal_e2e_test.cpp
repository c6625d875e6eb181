// Every way an issue's answer can be lost, over the pseudo-terminal against the virtual processor: the call
// ends with what the processor did, never with a guess, and no sale is ever on two invoices.
#include <QTimer>

#include <algorithm>

#include "commands/catalogue.h"
#include "link/result_codes.h"
#include "support/fiscal_fixture.h"

namespace karvex::testing {
namespace {

using sim::FaultKind;

constexpr int kIssue = ToByte(CommandCode::MakeInvoice);
constexpr int kLastInvoice = ToByte(CommandCode::LastInvData);

// `utf8` padded with blanks to `width` GBK bytes.
std::string Slice(const std::string& utf8, std::size_t width) {
    const std::size_t used = GbkByteLength(utf8);
    return utf8 + std::string(used < width ? width - used : 0, ' ');
}

struct Sale {
    Sale(QString saleId, std::string each = "10.00", QString original = {})
        : id(std::move(saleId)), amount(std::move(each)), returned(std::move(original)) {}
    QString id;
    std::string amount;  // each test changes what it is about
    QString returned;    // a return of this invoice when not empty
};

struct Known {
    QString state, invNum, taxCode, dateTime;
    int code = -1;
};

class SaleJournalE2E : public FiscalFixture {
protected:
    void SetUp() override {
        FiscalFixture::SetUp();
        ASSERT_EQ(fiscal_->LoadFiscalForm(), 0);
    }

    int Make(const Sale& s) {
        return fiscal_->FiscalMakeInv(
            s.id, s.returned.isEmpty() ? 52 : 53, 0, 0, s.returned, QString::fromUtf8("某某商贸有限公司"), 1,
            QString::fromStdString(Slice("苹果", 20)), QString::fromStdString(Slice("1", 11)),
            QString::fromStdString(Slice(s.amount, 11)), QString::fromStdString(Slice(s.amount, 11)), "1");
    }
    // The same with ticks short enough for a time-out the test expects.
    int MakeLosing(const Sale& s) {
        return WithShortTicks([&] { return Make(s); }, 30);
    }

    Known Ask(const QString& id) {
        Known k;
        k.code = fiscal_->FiscalGetSale(id, k.state, k.invNum, k.taxCode, k.dateTime);
        return k;
    }

    std::size_t Invoices() const { return sim_->state().invoices.size(); }
    std::string LastNumber() const {
        char text[16];
        std::snprintf(text, sizeof text, "%010u", sim_->state().invoices.back().number);
        return text;
    }
    std::size_t Sent(int command) const {
        const auto codes = RequestCommands(*sim_);
        return static_cast<std::size_t>(std::count(codes.begin(), codes.end(), command));
    }
};

TEST_F(SaleJournalE2E, AnAnswerLostAfterTheProcessorIssuedEndsInZeroWithTheNumberReadBack) {
    struct Case {
        const char* what;
        FaultKind kind;
    } const cases[] = {
        {"no answer", FaultKind::Lost},
        {"bad CRC", FaultKind::BadCrc},
        {"wrong length", FaultKind::BadLength},
        {"cut off", FaultKind::Cut},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Sale sale{QString("L%1").arg(++n)};
        sim_->inject({.command = kIssue, .kind = c.kind});
        const std::size_t before = Invoices();
        ASSERT_EQ(MakeLosing(sale), 0) << fiscal_->Description().toStdString();
        EXPECT_EQ(Invoices(), before + 1);
        const Known k = Ask(sale.id);
        EXPECT_EQ(k.state, "issued");
        EXPECT_EQ(k.invNum.toStdString(), LastNumber());
        QString machine, user, taxNumber, taxCode, when;
        EXPECT_EQ(fiscal_->FiscalReturnInvInfo(machine, user, taxNumber, taxCode, when), 0);
        EXPECT_EQ(machine, "1100000000000001");
        EXPECT_EQ(taxCode, k.taxCode);
        EXPECT_EQ(when, "20240315") << "print data keeps the day only";
    }
    EXPECT_EQ(Sent(kIssue), 4u);
    EXPECT_EQ(Sent(kLastInvoice), 5u) << "one per lost answer, and the load's look past a journal without invoices";

    // A return the same way: the processor's last invoice is the return of the invoice named.
    const Sale back{"R1", "10.00", QString::fromStdString(LastNumber())};
    sim_->inject({.command = ToByte(CommandCode::ReturnInvoice), .kind = FaultKind::Lost});
    ASSERT_EQ(MakeLosing(back), 0) << fiscal_->Description().toStdString();
    EXPECT_EQ(sim_->state().invoices.back().kind, sim::InvoiceKind::Return);
    EXPECT_EQ(Ask("R1").invNum.toStdString(), LastNumber());
}

TEST_F(SaleJournalE2E, ASaleIdIsIssuedOnceAndAnsweredFromTheJournalAfterwards) {
    const Sale first{"A1"};
    EXPECT_EQ(Ask("").code, result::kNoSuchSale);
    ASSERT_EQ(Make(first), 0);
    QString machine, user, taxNumber, taxCode, when;
    fiscal_->FiscalReturnInvInfo(machine, user, taxNumber, taxCode, when);
    EXPECT_EQ(Ask("A1").state, "answered");
    EXPECT_EQ(Ask("A1").taxCode, taxCode);

    // A repeat sends nothing and gives the recorded reply back.
    ModuleOf(*fiscal_).Replies().issue = IssueReply{};
    EXPECT_EQ(Make(first), 0);
    EXPECT_EQ(Sent(kIssue), 1u);
    QString again;
    fiscal_->FiscalReturnInvInfo(machine, user, taxNumber, again, when);
    EXPECT_EQ(again, taxCode);
    EXPECT_EQ(when.size(), 12);

    EXPECT_EQ(Make(Sale{"A1", "20.00"}), result::kSaleIdReused);
    EXPECT_EQ(fiscal_->Status(), result::kSaleIdReused);
    EXPECT_EQ(Ask("nobody").code, result::kNoSuchSale);

    // A refusal is no issue: the same sale id is sent again once the processor takes it.
    sim_->update_state([](sim::MachineState& s) { s.taxpayer.issue_cutoff = 20240314; });
    EXPECT_EQ(Make(Sale{"B1"}), 17);
    EXPECT_EQ(Ask("B1").state, "not-issued");
    sim_->update_state([](sim::MachineState& s) { s.taxpayer.issue_cutoff = 20991231; });
    EXPECT_EQ(Make(Sale{"B1"}), 0);
    EXPECT_EQ(Ask("").state, "answered") << "the last sale";
    EXPECT_EQ(Sent(kIssue), 3u);
    EXPECT_EQ(Invoices(), 2u);
}

TEST_F(SaleJournalE2E, TheSecondOfTwoIdenticalSalesIsToldApartByItsTaxCode) {
    ASSERT_EQ(Make(Sale{"T1"}), 0);
    sim_->inject({.command = kIssue, .kind = FaultKind::Lost});
    ASSERT_EQ(MakeLosing(Sale{"T2"}), 0);
    EXPECT_EQ(Invoices(), 2u);
    EXPECT_EQ(Ask("T2").invNum.toStdString(), LastNumber());
    EXPECT_NE(Ask("T1").taxCode, Ask("T2").taxCode);
}

TEST_F(SaleJournalE2E, ARequestLostOnItsWayFailsAndItsRetryIssuesOnce) {
    // A processor without any invoice says so.
    sim_->inject({.command = kIssue, .kind = FaultKind::Drop});
    EXPECT_EQ(MakeLosing(Sale{"D1"}), result::kTimeout);
    EXPECT_EQ(Ask("D1").state, "not-issued");
    EXPECT_EQ(Invoices(), 0u);
    ASSERT_EQ(Make(Sale{"D1"}), 0);

    // The same goods again: the processor's last invoice matches, but it is D1's.
    sim_->inject({.command = kIssue, .kind = FaultKind::Drop});
    EXPECT_EQ(MakeLosing(Sale{"D2"}), result::kTimeout);
    EXPECT_EQ(Ask("D2").state, "not-issued");
    EXPECT_EQ(Invoices(), 1u);
    ASSERT_EQ(Make(Sale{"D2"}), 0);
    EXPECT_EQ(Invoices(), 2u);
    EXPECT_EQ(Sent(kIssue), 4u);
}

TEST_F(SaleJournalE2E, WhileTheProcessorCannotBeAskedNothingIsIssuedAndALaterCallSettlesFirst) {
    sim_->inject({.command = kIssue, .kind = FaultKind::Lost});
    sim_->inject({.command = kLastInvoice, .kind = FaultKind::Lost, .persistent = true});
    EXPECT_EQ(MakeLosing(Sale{"U1"}), result::kSaleInDoubt);
    EXPECT_EQ(fiscal_->Status(), result::kSaleInDoubt);
    EXPECT_EQ(Ask("U1").state, "in-doubt");
    EXPECT_EQ(MakeLosing(Sale{"U2", "5.00"}), result::kSaleInDoubt);
    EXPECT_EQ(MakeLosing(Sale{"U1"}), result::kSaleInDoubt);
    EXPECT_EQ(Sent(kIssue), 1u) << "nothing more went out";

    sim_->clear_faults();
    EXPECT_EQ(Make(Sale{"U2", "5.00"}), 0);
    EXPECT_EQ(Ask("U1").state, "issued");
    EXPECT_EQ(Ask("U2").state, "answered");
    EXPECT_EQ(Invoices(), 2u);
    EXPECT_EQ(Make(Sale{"U1"}), 0);
    EXPECT_EQ(Sent(kIssue), 2u);
}

TEST_F(SaleJournalE2E, APulledPortLeavesTheSaleInDoubtUntilTheRestoredPortIsLoaded) {
    // A processor that keeps its memory across the pull.
    const std::string stateFile = dir_ + "/processor.state";
    auto start = [&] {
        sim::SimOptions options;
        options.state_file = stateFile;
        sim_ = StartProcessor(options);
        ASSERT_NE(sim_, nullptr);
        UseDevice(1, sim_->device_path());
    };
    sim_->stop();
    start();
    fiscal_->UnloadFicalForm(0);
    ASSERT_EQ(fiscal_->LoadFiscalForm(), 0);

    // The processor issues and its answer is late; the adapter is pulled meanwhile.
    sim_->inject({.command = kIssue, .kind = FaultKind::Late, .arg = 5000});
    QTimer pull;
    QObject::connect(&pull, &QTimer::timeout, [&] {
        if (Sent(kIssue) == 1) {
            pull.stop();
            sim_->stop();
        }
    });
    pull.start(5);
    EXPECT_EQ(Make(Sale{"P1"}), result::kSaleInDoubt);
    EXPECT_EQ(Ask("P1").state, "in-doubt");

    start();
    ASSERT_EQ(fiscal_->LoadFiscalForm(), 0);
    const Known k = Ask("P1");
    EXPECT_EQ(k.state, "issued");
    EXPECT_EQ(k.invNum.toStdString(), LastNumber());
    EXPECT_EQ(Invoices(), 1u);
}

}  // namespace
}  // namespace karvex::testing
