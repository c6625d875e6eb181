// The journal's rows in a store of their own: written before the send, found by sale id, settled, and the
// rows a verdict must not take for its own.
#include <gtest/gtest.h>

#include "journal/sale_flow.h"
#include "store/journal_names.h"
#include "journal/sales_journal.h"
#include "store/store_access.h"
#include "support/hex.h"
#include "support/temp_dir.h"

namespace karvex {
namespace {

using testing::Hex;

std::vector<std::uint8_t> Frame(std::uint8_t amountLow) {
    std::string body = "1B 10 34 00 4B | 00 00";
    for (int i = 0; i < 40; ++i) body += " 20";
    body += " 01 | B4 F3 C3 D7";
    for (int i = 0; i < 16; ++i) body += " 20";
    char tail[40];
    std::snprintf(tail, sizeof tail, " 00 64 01 00 00 00 %02X | 00 00", amountLow);
    return Hex(body + tail);
}

class SalesJournalTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(store_.Open(), 0) << store_.LastErrorText();
        journal_ = std::make_unique<SalesJournal>(*store_.Connection());
    }

    std::int64_t Open(const std::string& saleId, std::uint8_t amount = 1) {
        const auto frame = Frame(amount);
        SaleRequest sale;
        EXPECT_EQ(ReadSaleRequest(frame, sale), 0);
        std::int64_t row = 0;
        EXPECT_EQ(journal_->Open(saleId, frame, sale, "0000000001", row), 0) << journal_->LastErrorText();
        return row;
    }

    testing::TempDir dir_{"karvex-journal"};
    StoreAccess store_{dir_.path()};
    std::unique_ptr<SalesJournal> journal_;
};

TEST_F(SalesJournalTest, ARowIsSentUntilSettledAndItsSaleIdFindsIt) {
    SaleRecord row;
    EXPECT_EQ(journal_->FindLast(row), result::kNoSuchSale);
    EXPECT_EQ(journal_->FindSale("A1", row), result::kNoSuchSale);

    const std::int64_t a = Open("A1");
    const std::int64_t b = Open("");
    const std::int64_t c = Open("");  // sales without an id do not clash
    ASSERT_EQ(journal_->FindSale("A1", row), 0);
    EXPECT_EQ(row.row, a);
    EXPECT_EQ(row.state, journal::kSent);
    ASSERT_EQ(journal_->FindLast(row), 0);
    EXPECT_EQ(row.row, c);
    ASSERT_EQ(journal_->FindUnresolved(row), 0);
    EXPECT_EQ(row.row, a) << "the oldest first";

    IssueReply reply{"1100000000000001", "某某商贸", "TAX1", "12345678900000000001", "202403151030"};
    ASSERT_EQ(journal_->Settle(a, {journal::kAnswered, 0, &reply}), 0);
    ASSERT_EQ(journal_->Settle(b, {journal::kInDoubt, result::kSaleInDoubt}), 0);
    ASSERT_EQ(journal_->FindSale("A1", row), 0);
    EXPECT_EQ(row.state, journal::kAnswered);
    EXPECT_EQ(row.reply.user_name, "某某商贸");
    EXPECT_EQ(row.dateTime, "202403151030");
    ASSERT_EQ(journal_->FindUnresolved(row), 0);
    EXPECT_EQ(row.row, b) << "in doubt stays unresolved";
    EXPECT_EQ(row.result, result::kSaleInDoubt);
}

TEST_F(SalesJournalTest, ASaleThatWasNotIssuedGetsItsRowBackForTheNextAttempt) {
    const std::int64_t a = Open("A1");
    ASSERT_EQ(journal_->Settle(a, {journal::kNotIssued, 17}), 0);
    EXPECT_EQ(Open("A1", 2), a);
    SaleRecord row;
    ASSERT_EQ(journal_->FindSale("A1", row), 0);
    EXPECT_EQ(row.state, journal::kSent);
    EXPECT_EQ(row.result, 0);
    EXPECT_NE(row.request.find("02"), std::string::npos);
}

TEST_F(SalesJournalTest, AnInvoiceHeldByAnotherRowIsKnownByItsTaxCodeNeverByItsNumberAlone) {
    const std::int64_t a = Open("A1");
    const std::int64_t b = Open("B1");
    IssueReply reply;
    reply.tax_code = "777";
    ASSERT_EQ(journal_->Settle(a, {journal::kAnswered, 0, &reply, "0000000005"}), 0);
    EXPECT_TRUE(journal_->HoldsInvoice(b, "777"));
    EXPECT_FALSE(journal_->HoldsInvoice(a, "777")) << "its own row does not count";
    EXPECT_FALSE(journal_->HoldsInvoice(b, "778")) << "number 5 of a roll numbered from 1 again is another invoice";
    EXPECT_FALSE(journal_->HoldsInvoice(b, "")) << "an unknown code is nobody's";
}

// A refusal ("NP", "ER") may be owed to an earlier request, and a line that looked clean cannot tell: the sale
// is settled through the counter like a lost answer, never taken as "not issued" on its face.
TEST_F(SalesJournalTest, ARefusalIsSettledByTheCounter) {
    struct Case {
        const char* what;
        bool processorIssued;  // the processor did act on the request
        ResultCode expected;
        std::string_view state;
    } const cases[] = {
        {"a refusal owed to an earlier request, the processor issued", true, result::kSuccess, journal::kIssued},
        {"a refusal of this request, nothing issued", false, result::kAnswerNextCommand, journal::kNotIssued},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto frame = Frame(static_cast<std::uint8_t>(++n));
        SaleRequest sale;
        ASSERT_EQ(ReadSaleRequest(frame, sale), 0);
        const std::string anchor = "000000000" + std::to_string(n);
        bool issued = false;
        int reads = 0;
        InvPrintDataRecord invoice;
        invoice.invoice_number = anchor;
        invoice.invoice_type = 1;
        invoice.issue_date = "20240315";
        invoice.tax_code = "0000000000" + std::string(9, '0') + std::to_string(n);
        invoice.payer = sale.payer;
        for (std::size_t k = 0; k < sale.lines.size(); ++k) {
            const SaleItem& item = sale.lines[k];
            invoice.goods[k] = GoodsLine{item.name, item.quantity / 100.0, item.taxIndex, item.amount / 100.0};
        }
        invoice.total = static_cast<double>(sale.Total()) / 100.0;

        SaleLine line;
        line.send = [&] {
            issued = c.processorIssued;
            return SentRequest{true, result::kAnswerNextCommand};
        };
        line.counter = [&](std::string& number, bool& certain) {
            ++reads;
            certain = false;
            number = issued ? "000000000" + std::to_string(n + 1) : anchor;
            return result::kSuccess;
        };
        line.lastInvoice = [&](LastInvoice& last) {
            if (issued) last.record = invoice;
            return issued ? result::kSuccess : ResultCode{48};
        };
        line.invoiceAt = [&](const std::string&, LastInvoice& last) { return line.lastInvoice(last); };
        line.processorChecked = true;
        IssueReply reply;
        EXPECT_EQ(RunSale(*journal_, "U" + std::to_string(n), frame, line, reply), c.expected);
        SaleRecord row;
        ASSERT_EQ(journal_->FindSale("U" + std::to_string(n), row), 0);
        EXPECT_EQ(row.state, c.state);
        EXPECT_EQ(reads, 2) << "the counter is read again to settle";
    }
}

}  // namespace
}  // namespace karvex
