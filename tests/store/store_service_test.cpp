// The store service's roll bookkeeping for an installation: which rolls it drops and which it lists.
#include "store/store_service.h"

#include "link/result_codes.h"
#include "store_test_support.h"

namespace karvex {
namespace {

using testing::StoreDirTest;

class StoreServiceRolls : public StoreDirTest {
protected:
    void SetUp() override {
        StoreDirTest::SetUp();
        ASSERT_EQ(store_.Open(dir_, BuiltInStoreKey()), 0);
    }
    void AddRoll(const char* code, const char* first, int state) {
        RecordSet rs;
        ASSERT_EQ(rs.Open(store_.Connection(), Selection::Of("InvoiceNumber")), 0);
        ASSERT_EQ(rs.AddNew(), 0);
        ASSERT_EQ(rs.SetText("发票代码", code), 0);
        ASSERT_EQ(rs.SetText("单卷发票起始号", first), 0);
        ASSERT_EQ(rs.SetText("单卷发票终止号", std::string(first).replace(8, 2, "50")), 0);
        ASSERT_EQ(rs.SetInteger("发票使用状态", state), 0);
        ASSERT_EQ(rs.SetText("发票代码单卷发票起始号", std::string(code) + first), 0);
        ASSERT_EQ(rs.Update(), 0) << rs.LastErrorText();
    }
    std::vector<std::string> Firsts() {
        std::vector<StoreService::Roll> rolls;
        EXPECT_EQ(store_.UnusedRolls(rolls), 0);
        std::vector<std::string> out;
        for (const auto& r : rolls) out.push_back(r.code + "/" + r.first + "-" + r.last);
        return out;
    }
    StoreService store_;
};

// Only rolls not yet in use go; a roll being issued from (2) or used up (3) is the processor's record of
// sales and must survive an installation.
TEST_F(StoreServiceRolls, InstallationDropsOnlyUnusedRollsAndListsThemInStoreOrder) {
    AddRoll("1111", "0000000001", 1);
    AddRoll("1111", "0000000101", 2);
    AddRoll("2222", "0000000001", 3);
    AddRoll("2222", "0000000101", 1);
    EXPECT_EQ(Firsts(), (std::vector<std::string>{"1111/0000000001-0000000050", "2222/0000000101-0000000150"}));
    ASSERT_EQ(store_.DropUnusedRolls(), 0);
    EXPECT_TRUE(Firsts().empty());
    RecordSet rs;
    std::int64_t left = 0;
    ASSERT_EQ(rs.Open(store_.Connection(), Selection::Of("InvoiceNumber")), 0);
    ASSERT_EQ(rs.RecordCount(left), 0);
    EXPECT_EQ(left, 2);
    // Nothing to drop is no failure.
    EXPECT_EQ(store_.DropUnusedRolls(), 0);
}

TEST_F(StoreServiceRolls, ClosedStoreIsRefusedWithItsCode) {
    ASSERT_EQ(store_.Close(), 0);
    std::vector<StoreService::Roll> rolls{{"x", "y", "z"}};
    EXPECT_EQ(store_.UnusedRolls(rolls), result::kStoreOpenFailed);
    EXPECT_TRUE(rolls.empty());
    EXPECT_EQ(store_.DropUnusedRolls(), result::kStoreOpenFailed);
}

}  // namespace
}  // namespace karvex
