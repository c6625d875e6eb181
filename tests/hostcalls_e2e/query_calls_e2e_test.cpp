// The query and maintenance calls over the pseudo-terminal: current number, voiding, print data and roll
// summaries with their three-command chains, the refusals that never reach the line, and a chain that
// breaks half way.
#include "support/fiscal_fixture.h"
#include "wire_helpers.h"

#include "link/result_codes.h"

namespace karvex::testing {
namespace {

using sim::Fault;
using sim::FaultKind;

std::string TenDigits(std::uint32_t n) {
    std::string s = std::to_string(n);
    return std::string(10 - s.size(), '0') + s;
}

// GetPrintInv's outputs, all set to a marker so that a test can tell "unchanged" from "emptied".
struct PrintOut {
    QString invNum, oInvNum = "m", machine = "m", saleUnit = "m", payUnit = "m", taxNumber = "m", taxCode = "m",
                    date = "m", names, quantities, prices, sums;
    std::int32_t type = -1;
};

// GetInvUseSum's outputs, marked the same way.
struct SumOut {
    QString begin = "m", end = "m", first = "m", last = "m", code = "m", taxNumber = "m", user = "m", machine = "m";
    std::int32_t voided = -1, normal = -1, returned = -1;
    double normalSum = -1, returnSum = -1;
};

class QueryCallsE2E : public FiscalFixture {
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

    // Issues an invoice of `count` goods named 商品1, 商品2, ... (1.5 each at 2.00, tax item 1); its number.
    std::uint32_t Issue(int count) {
        std::string names, quantities, prices, sums, taxes;
        for (int i = 1; i <= count; ++i) {
            names += Slice("商品" + std::to_string(i), 20);
            quantities += Slice("1.5", 11);
            prices += Slice("2", 11);
            sums += Slice("3.00", 11);
            taxes += "1";
        }
        const std::size_t sent = sim_->requests_handled();
        EXPECT_EQ(
            fiscal_->FiscalMakeInv(52, 0, 0, "", QString::fromUtf8("付款人"), count, QString::fromStdString(names),
                                   QString::fromStdString(quantities), QString::fromStdString(prices),
                                   QString::fromStdString(sums), QString::fromStdString(taxes)),
            0);
        // The processor counts a request once its answer is out, which can be after the call has returned:
        // a later count taken too early would still move.
        EXPECT_TRUE(sim_->wait_handled(sent + 1, 5000));
        return sim_->state().invoices.back().number;
    }

    int Print(int command, PrintOut& o) {
        return fiscal_->GetPrintInv(command, o.invNum, o.oInvNum, o.machine, o.saleUnit, o.payUnit, o.taxNumber,
                                    o.taxCode, o.date, o.names, o.quantities, o.prices, o.sums, o.type);
    }

    int Summary(const QString& number, SumOut& o) {
        return fiscal_->GetInvUseSum(number, o.begin, o.end, o.first, o.last, o.voided, o.normal, o.normalSum,
                                     o.returned, o.returnSum, o.code, o.taxNumber, o.user, o.machine);
    }

    // The commands sent since `from` requests. Baselines come from the requests the processor logged as it
    // took them: its count of answered requests may lag behind an answer the control has already read.
    std::vector<int> CommandsSince(std::size_t from) {
        auto all = RequestCommands(*sim_);
        return {all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())), all.end()};
    }
};

TEST_F(QueryCallsE2E, CurrentNumberIsReadAndLeftAloneOnFailure) {
    QString number("keep");
    ASSERT_EQ(fiscal_->FiscalGetInvNum(number), 0);
    EXPECT_EQ(number.toStdString(), TenDigits(*sim_->state().current_number()));

    number = "keep";
    sim_->inject({.command = 0x33, .kind = FaultKind::Error, .arg = 35});
    EXPECT_EQ(fiscal_->FiscalGetInvNum(number), 35);
    EXPECT_EQ(number, QString("keep"));
    sim_->inject({.command = 0x33, .kind = FaultKind::Silent});
    EXPECT_EQ(WithShortTicks([&] { return fiscal_->FiscalGetInvNum(number); }), result::kTimeout);
    EXPECT_EQ(number, QString("keep"));
}

TEST_F(QueryCallsE2E, VoidingSendsTheFourByteNumberAndRewritesItAsTenDigits) {
    // Put the blank form 123 next on the current roll, so that voiding it spoils that form.
    sim_->update_state([](sim::MachineState& s) {
        for (auto& roll : s.rolls) {
            if (roll.state != sim::RollState::Installed) continue;
            if (123 >= roll.first && 123 <= roll.last) {
                roll.next = 123;
            } else {
                roll.next = roll.last + 1;
            }
        }
    });
    ASSERT_EQ(sim_->state().current_number(), 123u);
    QString number("123");
    EXPECT_EQ(fiscal_->FiscalInvalidateInv(number), 0);
    EXPECT_EQ(number, QString("0000000123"));
    EXPECT_EQ(Hex(LastPayload(*sim_, 0x36)), "00 00 00 7B");
    ASSERT_FALSE(sim_->state().invoices.empty());
    EXPECT_EQ(sim_->state().invoices.back().kind, sim::InvoiceKind::Void);

    // Voiding it again is the processor's refusal, not ours.
    number = "123";
    EXPECT_EQ(fiscal_->FiscalInvalidateInv(number), 46);
    EXPECT_EQ(fiscal_->Status(), 46);
}

TEST_F(QueryCallsE2E, BadNumbersAndCommandsAreRefusedWithoutSending) {
    struct Case {
        const char* what;
        ResultCode code;
        bool stored;
        std::function<int()> call;
    };
    PrintOut p;
    SumOut s;
    QString text;
    const auto voiding = [&](const char* n) {
        return [&, n] {
            text = QString::fromUtf8(n);
            return fiscal_->FiscalInvalidateInv(text);
        };
    };
    const auto printing = [&](int command, const char* n) {
        return [&, command, n] {
            p.invNum = QString::fromUtf8(n);
            return Print(command, p);
        };
    };
    const auto summing = [&](const char* n) { return [&, n] { return Summary(QString::fromUtf8(n), s); }; };
    // Each number's code is in the checks' own tables (hostcalls); here each call shows a code it stores and
    // one it does not, and that neither sends anything.
    const Case cases[] = {
        {"void: eleven digits", 103, true, voiding("12345678901")},
        {"void: beyond four bytes", 148, false, voiding("4294967296")},
        {"print: other command", 32, false, printing(67, "1")},
        {"print: empty number", 144, true, printing(66, "")},
        {"print: letter", 105, false, printing(66, "1 2")},
        {"summary: empty", 144, true, summing("")},
        {"summary: beyond four bytes", 148, false, summing("4294967296")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ModuleOf(*fiscal_).SetCommandResult(0);
        EXPECT_EQ(c.call(), c.code);
        EXPECT_EQ(fiscal_->Status(), c.stored ? c.code : 0);
        if (std::string(c.what) == "void: eleven digits") {
            EXPECT_EQ(text, QString()) << "a number that is no 10-digit number is emptied for the host";
        }
    }
    EXPECT_EQ(text, QString("4294967296")) << "ten digits come back as they were checked";
    EXPECT_EQ(p.machine, QString("m"));
    EXPECT_EQ(s.machine, QString("m"));
    EXPECT_EQ(sim_->requests_handled(), loaded_);
    EXPECT_EQ(ReadLog(), loadLog_);
}

TEST_F(QueryCallsE2E, LastInvoicePrintDataRunsTheChainAndFillsFixedWidthGoods) {
    const std::uint32_t number = Issue(2);
    const std::size_t before = RequestCommands(*sim_).size();
    PrintOut o;
    ASSERT_EQ(Print(177, o), 0);
    EXPECT_EQ(CommandsSince(before), (std::vector<int>{0xB1, 0x38, 0x37}));
    EXPECT_EQ(fiscal_->Status(), 0);

    EXPECT_EQ(o.invNum.toStdString(), TenDigits(number));
    EXPECT_EQ(o.machine, QString("1100000000000001"));
    EXPECT_FALSE(o.saleUnit.isEmpty());
    EXPECT_FALSE(o.taxNumber.isEmpty());
    EXPECT_TRUE(o.payUnit.startsWith(QString::fromUtf8("付款人")));
    EXPECT_TRUE(o.date.startsWith("20240315")) << o.date.toStdString();
    EXPECT_EQ(o.type, 1);

    // Six slices each, however many goods the invoice has.
    EXPECT_EQ(GbkByteLength(o.names.toStdString()), 120u);
    EXPECT_EQ(GbkByteLength(o.quantities.toStdString()), 66u);
    EXPECT_EQ(GbkByteLength(o.prices.toStdString()), 66u);
    EXPECT_EQ(GbkByteLength(o.sums.toStdString()), 66u);
    EXPECT_EQ(o.names.toStdString(), Slice("商品1", 20) + Slice("商品2", 20) + std::string(80, ' '));
    EXPECT_EQ(o.quantities.left(11).trimmed().toDouble(), 1.5);
    EXPECT_EQ(o.prices.left(11).trimmed().toDouble(), 2.0);
    EXPECT_EQ(o.sums.mid(11, 11).trimmed().toDouble(), 3.0);
    EXPECT_EQ(o.sums.mid(22).trimmed(), QString());

    // The goods outputs grow from what the host passed in.
    PrintOut again;
    again.names = "X";
    again.sums = "Y";
    ASSERT_EQ(Print(177, again), 0);
    EXPECT_EQ(GbkByteLength(again.names.toStdString()), 121u);
    EXPECT_TRUE(again.sums.startsWith("Y"));
}

TEST_F(QueryCallsE2E, PrintDataByNumberAsksForThatInvoiceOnlyAndShowsOnlyItsGoods) {
    const std::uint32_t three = Issue(3);
    const std::uint32_t one = Issue(1);

    PrintOut o;
    o.invNum = QString::number(three);
    ASSERT_EQ(Print(66, o), 0);
    const auto p = LastPayload(*sim_, 0x42);
    ASSERT_EQ(p.size(), 8u) << "L = 13: the number as start and end of the range";
    EXPECT_EQ(Hex(p, 0, 4), Hex(p, 4, 4));
    EXPECT_EQ(p[3], three & 0xFF);
    EXPECT_EQ(o.invNum.toStdString(), TenDigits(three));
    EXPECT_EQ(o.names.toStdString(),
              Slice("商品1", 20) + Slice("商品2", 20) + Slice("商品3", 20) + std::string(60, ' '));

    // The one-item invoice after it shows nothing of the three-item one in slots 2 to 6.
    PrintOut later;
    later.invNum = QString::number(one);
    ASSERT_EQ(Print(66, later), 0);
    EXPECT_EQ(later.names.toStdString(), Slice("商品1", 20) + std::string(100, ' '));
    EXPECT_EQ(later.sums.mid(11).trimmed(), QString());

    // A number the processor never issued is its refusal, and the outputs stay as they were.
    PrintOut missing;
    missing.invNum = "99999";
    EXPECT_EQ(Print(66, missing), 44);
    EXPECT_EQ(missing.machine, QString("m"));
    EXPECT_EQ(missing.invNum, QString("99999"));
}

TEST_F(QueryCallsE2E, RollSummaryRunsTheChainAndCopiesTheCounts) {
    const std::uint32_t first = Issue(1);
    Issue(2);
    QString voided = QString::number(first);
    ASSERT_EQ(fiscal_->FiscalInvalidateInv(voided), 0);

    const std::size_t before = RequestCommands(*sim_).size();
    SumOut o;
    ASSERT_EQ(Summary(QString::number(first), o), 0);
    EXPECT_EQ(CommandsSince(before), (std::vector<int>{0x3C, 0x38, 0x37}));
    EXPECT_EQ(Hex(LastPayload(*sim_, 0x3C)), Hex({0, 0, 0, static_cast<std::uint8_t>(first)}));

    EXPECT_EQ(o.normal, 1);
    EXPECT_EQ(o.voided, 1);
    EXPECT_EQ(o.returned, 0);
    EXPECT_DOUBLE_EQ(o.normalSum, 6.0);
    EXPECT_DOUBLE_EQ(o.returnSum, 0.0);
    EXPECT_EQ(o.code.size(), 20);
    EXPECT_EQ(o.first.toStdString(), TenDigits(first));
    EXPECT_EQ(o.machine, QString("1100000000000001"));
    EXPECT_FALSE(o.user.isEmpty());
    EXPECT_FALSE(o.taxNumber.isEmpty());
}

TEST_F(QueryCallsE2E, ChainWhoseUserInformationStepTimesOutLeavesTheOutputs) {
    const std::uint32_t number = Issue(1);

    sim_->inject({.command = 0x38, .kind = FaultKind::Silent});
    std::size_t before = RequestCommands(*sim_).size();
    SumOut s;
    EXPECT_EQ(WithShortTicks([&] { return Summary(QString::number(number), s); }), result::kTimeout);
    EXPECT_EQ(fiscal_->Status(), result::kTimeout);
    EXPECT_EQ(CommandsSince(before), (std::vector<int>{0x3C, 0x38}));
    EXPECT_EQ(s.machine, QString("m"));
    EXPECT_EQ(s.code, QString("m"));
    EXPECT_EQ(s.normal, -1);
    EXPECT_EQ(s.normalSum, -1);

    sim_->inject({.command = 0x38, .kind = FaultKind::Silent});
    PrintOut p;
    EXPECT_EQ(WithShortTicks([&] { return Print(177, p); }), result::kTimeout);
    EXPECT_EQ(p.machine, QString("m"));
    EXPECT_EQ(p.names, QString());
    EXPECT_EQ(p.type, -1);

    // The broken chain leaves nothing behind: the next query runs through.
    before = RequestCommands(*sim_).size();
    ASSERT_EQ(Print(177, p), 0);
    EXPECT_EQ(CommandsSince(before), (std::vector<int>{0xB1, 0x38, 0x37}));
}

TEST_F(QueryCallsE2E, ProcessorRefusalInTheLastStepEndsTheChainWithItsCode) {
    Issue(1);
    sim_->inject({.command = 0x37, .kind = FaultKind::Error, .arg = 16});
    PrintOut p;
    EXPECT_EQ(Print(177, p), 16);
    EXPECT_EQ(fiscal_->Status(), 16);
    EXPECT_EQ(p.machine, QString("m"));
}

}  // namespace
}  // namespace karvex::testing

namespace karvex::testing {
namespace {

TEST_F(QueryCallsE2E, AnAnswerThatCameAfterItsTimeOutIsNeverTakenForTheNextQuery) {
    const std::uint32_t first = Issue(1);
    const std::uint32_t second = Issue(2);
    std::vector<std::uint32_t> rolls;
    for (const auto& r : sim_->state().rolls) {
        if (r.state == sim::RollState::Installed) rolls.push_back(r.first);
    }
    ASSERT_GE(rolls.size(), 2u);

    // Each query's first answer comes 900 ms late, after its 620 ms time-out, while the next query is
    // already out: that one gets its own answer (when the late one came while the line was left to settle)
    // or a refusal (or, on a machine too busy to keep these times, its own time-out), never the earlier
    // query's data.
    ModuleOf(*fiscal_).SetTickInterval(std::chrono::milliseconds(20));
    struct Query {
        std::uint8_t command;
        std::function<int(std::uint32_t, std::string&)> ask;  // the call's result and the number it reports
        std::uint32_t late, next;
    };
    const Query queries[] = {
        {0x42,
         [&](std::uint32_t n, std::string& reported) {
             PrintOut p;
             p.invNum = QString::number(n);
             const int r = Print(66, p);
             reported = p.invNum.toStdString();
             return r;
         },
         first, second},
        {0x3C,
         [&](std::uint32_t n, std::string& reported) {
             SumOut s;
             const int r = Summary(QString::number(n), s);
             reported = s.first.toStdString();
             return r;
         },
         rolls[0], rolls[1]},
    };
    for (const auto& q : queries) {
        SCOPED_TRACE(q.command);
        const std::size_t sent = RequestCommands(*sim_).size();
        sim_->inject({.command = q.command, .kind = FaultKind::Late, .arg = 900});
        std::string reported;
        EXPECT_EQ(q.ask(q.late, reported), result::kTimeout);
        const int r = q.ask(q.next, reported);
        if (r == 0) {
            EXPECT_EQ(reported, TenDigits(q.next));
        } else if (r != result::kTimeout) {
            EXPECT_EQ(r, result::kAnswerMismatch);
            EXPECT_EQ(fiscal_->Description(), QString::fromUtf8("0x89：税控器应答与所发命令不符，已拒收"));
        }
        // Once everything sent has been answered, the query comes through.
        ASSERT_TRUE(sim_->wait_handled(sent + (r == 0 ? 4 : 2), 10000));
        EXPECT_EQ(q.ask(q.next, reported), 0);
        EXPECT_EQ(reported, TenDigits(q.next));
    }
}

}  // namespace
}  // namespace karvex::testing
