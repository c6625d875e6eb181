// The processor's counter decides what became of a sale, where content alone would be fooled: a refusal
// owed to an earlier request, a void while a sale is in doubt, another day's identical invoice, a store
// restored from a copy, a roll numbered from 1 again. Each case ends with one invoice per sale.
#include <filesystem>

#include <sqlcipher/sqlite3.h>

#include "commands/catalogue.h"
#include "store/journal_names.h"
#include "link/result_codes.h"
#include "store/store_connection.h"
#include "store/store_service.h"
#include "support/fiscal_fixture.h"

namespace karvex::testing {
namespace {

namespace fs = std::filesystem;
using sim::FaultKind;

constexpr int kIssue = ToByte(CommandCode::MakeInvoice);
constexpr int kCounter = ToByte(CommandCode::CurrentInvoice);
constexpr int kLastInvoice = ToByte(CommandCode::LastInvData);
constexpr int kVoid = ToByte(CommandCode::InvalidateInvoice);

std::string Slice(const std::string& utf8, std::size_t width) {
    const std::size_t used = GbkByteLength(utf8);
    return utf8 + std::string(used < width ? width - used : 0, ' ');
}

class CounterE2E : public FiscalFixture {
protected:
    void SetUp() override {
        FiscalFixture::SetUp();
        ASSERT_EQ(fiscal_->LoadFiscalForm(), 0);
    }

    // Every sale has the same content: only the counter can tell them apart.
    int Make(const QString& id, const QString& returned = {}) {
        return fiscal_->FiscalMakeInv(
            id, returned.isEmpty() ? 52 : 53, 0, 0, returned, QString::fromUtf8("某某商贸有限公司"), 1,
            QString::fromStdString(Slice("苹果", 20)), QString::fromStdString(Slice("1", 11)),
            QString::fromStdString(Slice("10.00", 11)), QString::fromStdString(Slice("10.00", 11)), "1");
    }
    int MakeLosing(const QString& id) {
        return WithShortTicks([&] { return Make(id); }, 30);
    }
    QString State(const QString& id) {
        QString state, number, code, when;
        fiscal_->FiscalGetSale(id, state, number, code, when);
        return state;
    }
    QString Number(const QString& id) {
        QString state, number, code, when;
        fiscal_->FiscalGetSale(id, state, number, code, when);
        return number;
    }
    // A program that ends and the next one that loads the same store.
    int Reload() {
        fiscal_->UnloadFicalForm(0);
        return fiscal_->LoadFiscalForm();
    }
    std::size_t Invoices() const { return sim_->state().invoices.size(); }
    std::size_t Sent(int command) const {
        const auto codes = RequestCommands(*sim_);
        return static_cast<std::size_t>(std::count(codes.begin(), codes.end(), command));
    }
    std::string Column(const std::string& sql) {
        const auto conn = ModuleOf(*fiscal_).Store().Connection();
        if (!conn) return "no store";
        Statement st(*conn, sql);
        if (st.PrepareResult() != SQLITE_OK || sqlite3_step(st.get()) != SQLITE_ROW) return "no row";
        const unsigned char* text = sqlite3_column_text(st.get(), 0);
        return text != nullptr ? reinterpret_cast<const char*>(text) : "";
    }
};

TEST_F(CounterE2E, ARefusalOwedToAnEarlierRequestIsNeverTakenForTheIssuesOwn) {
    // A program asks the counter, its answer is held back, and it ends; its "NP" comes once the next
    // program's first request is on the line.
    sim_->inject({.command = kCounter, .kind = FaultKind::Owed});
    QString number;
    EXPECT_EQ(WithShortTicks([&] { return fiscal_->FiscalGetInvNum(number); }, 30), result::kTimeout);
    ASSERT_EQ(Reload(), 0);
    EXPECT_EQ(Make("N1"), 0) << fiscal_->Description().toStdString();
    EXPECT_EQ(Make("N1"), 0) << "the retry of an issued sale";
    EXPECT_EQ(Invoices(), 1u);
}

TEST_F(CounterE2E, NothingThatChangesTheProcessorGoesOutWhileASaleIsInDoubt) {
    ASSERT_EQ(Make("V0"), 0);
    QString counter;
    ASSERT_EQ(fiscal_->FiscalGetInvNum(counter), 0) << "so the sale need not read it";
    sim_->inject({.command = kIssue, .kind = FaultKind::Lost});
    sim_->inject({.command = kCounter, .kind = FaultKind::Lost, .persistent = true});
    sim_->inject({.command = kLastInvoice, .kind = FaultKind::Lost, .persistent = true});
    EXPECT_EQ(MakeLosing("V1"), result::kSaleInDoubt);
    ASSERT_EQ(Invoices(), 2u);

    QString issued = QString("%1").arg(sim_->state().invoices.back().number, 10, 10, QChar('0'));
    EXPECT_EQ(fiscal_->FiscalInvalidateInv(issued), result::kSaleInDoubt);
    EXPECT_EQ(fiscal_->Status(), result::kSaleInDoubt);
    EXPECT_EQ(Sent(kVoid), 0u);

    sim_->clear_faults();
    EXPECT_EQ(Make("V1"), 0);
    EXPECT_EQ(State("V1"), "issued");
    EXPECT_EQ(Invoices(), 2u) << "the sale in doubt was issued once";
    EXPECT_EQ(fiscal_->FiscalInvalidateInv(issued), 0) << "once settled, the void goes out";
    EXPECT_EQ(Column("SELECT State || ' ' || InvNum FROM SalesJournal WHERE Kind = 54"),
              "voided " + issued.toStdString());
}

TEST_F(CounterE2E, ALostRequestIsNeverMatchedToAnInvoiceTheStoreDoesNotKnow) {
    const std::string store = dir_ + "/FiscalMachine.mdb";
    const std::string copy = dir_ + "/copy.mdb";
    struct Case {
        const char* what;
        std::size_t elsewhere;  // rows of invoices the journal did not know, after this case
        std::function<void()> makeStoreBehind;
    } const cases[] = {
        {"a new store, the processor's last invoice from the day before", 1,
         [&] {
             sim_->set_clock(sim::DateTime{2024, 3, 16, 9, 0, 0});
             fiscal_->UnloadFicalForm(0);
             for (const char* tail : {"", "-wal", "-shm"}) fs::remove(store + tail);
         }},
        {"a store restored from a copy made before the last three sales", 1 + 3,
         [&] {
             fiscal_->UnloadFicalForm(0);
             fs::copy_file(store, copy, fs::copy_options::overwrite_existing);
             ASSERT_EQ(fiscal_->LoadFiscalForm(), 0);
             for (const char* id : {"Later1", "Later2", "Later3"}) ASSERT_EQ(Make(id), 0);
             fiscal_->UnloadFicalForm(0);
             for (const char* tail : {"-wal", "-shm"}) fs::remove(store + tail);
             fs::copy_file(copy, store, fs::copy_options::overwrite_existing);
         }},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const QString early = QString("E%1").arg(++n), lost = QString("L%1").arg(n);
        ASSERT_EQ(Make(early), 0);
        c.makeStoreBehind();
        const std::size_t before = Invoices();
        ASSERT_EQ(fiscal_->LoadFiscalForm(), 0);
        EXPECT_EQ(fiscal_->Status(), result::kStoreBehindProcessor);

        sim_->inject({.command = kIssue, .kind = FaultKind::Drop});
        EXPECT_EQ(MakeLosing(lost), result::kTimeout) << "nothing was issued";
        EXPECT_EQ(Column("SELECT COUNT(*) FROM SalesJournal WHERE State = 'elsewhere'"), std::to_string(c.elsewhere));
        EXPECT_EQ(State(lost), "not-issued");
        EXPECT_EQ(Make(lost), 0);
        EXPECT_EQ(Invoices(), before + 1);
    }
}

TEST_F(CounterE2E, ASaleInDoubtInARestoredCopyIsSettledByTheInvoiceAtItsNumber) {
    const std::string store = dir_ + "/FiscalMachine.mdb";
    QString counter;
    ASSERT_EQ(fiscal_->FiscalGetInvNum(counter), 0);
    sim_->inject({.command = kIssue, .kind = FaultKind::Lost});
    sim_->inject({.command = kCounter, .kind = FaultKind::Lost, .persistent = true});
    EXPECT_EQ(MakeLosing("D1"), result::kSaleInDoubt);
    fiscal_->UnloadFicalForm(0);
    fs::copy_file(store, dir_ + "/copy.mdb");
    sim_->clear_faults();
    ASSERT_EQ(fiscal_->LoadFiscalForm(), 0);
    ASSERT_EQ(Make("D2"), 0);
    ASSERT_EQ(Make("D3"), 0);
    fiscal_->UnloadFicalForm(0);
    for (const char* tail : {"-wal", "-shm"}) fs::remove(store + tail);
    fs::copy_file(dir_ + "/copy.mdb", store, fs::copy_options::overwrite_existing);

    ASSERT_EQ(fiscal_->LoadFiscalForm(), 0);
    EXPECT_EQ(State("D1"), "issued") << "its invoice is the one at its anchor, not the newest";
    EXPECT_EQ(Number("D1"), counter);
    EXPECT_EQ(Make("D1"), 0);
    EXPECT_EQ(Invoices(), 3u);
}

TEST_F(CounterE2E, ANumberSeenOnAnEarlierRollIsAnotherInvoice) {
    sim_->update_state([](sim::MachineState& s) {
        s.rolls = {sim::Roll{"00000000000000000011", 1, 1, sim::RollState::Installed, 1},
                   sim::Roll{"00000000000000000012", 1, 100, sim::RollState::Installed, 1}};
    });
    ASSERT_EQ(Reload(), 0);
    for (const QString id : {"K1", "K2"}) {
        sim_->inject({.command = kIssue, .kind = FaultKind::Lost});
        EXPECT_EQ(MakeLosing(id), 0) << id.toStdString();
        EXPECT_EQ(State(id), "issued");
        EXPECT_EQ(Number(id), "0000000001");
        EXPECT_EQ(Make(id), 0);
    }
    EXPECT_EQ(Invoices(), 2u);
}

TEST_F(CounterE2E, EveryIssuedRowHoldsItsNumberAndAReturnNamesItsSale) {
    ASSERT_EQ(Make("A1"), 0);
    EXPECT_EQ(Number("A1"), "0000000001") << "the counter read before the issue";
    ASSERT_EQ(Make("A2", "0000000001"), 0);
    EXPECT_EQ(Number("A2"), "0000000002");
    EXPECT_EQ(Column("SELECT r.ReturnsRow = s.karvex_row FROM SalesJournal r, SalesJournal s "
                     "WHERE r.SaleId = 'A2' AND s.SaleId = 'A1'"),
              "1");
    EXPECT_EQ(Column("SELECT TotalFen || ' ' || IssueDate FROM SalesJournal WHERE SaleId = 'A1'"), "1000 2024-03-15");
}

}  // namespace
}  // namespace karvex::testing
