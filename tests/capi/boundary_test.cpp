// Every exception a control method can throw must come out of the C interface as a status and a reason.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "capi/boundary.h"

namespace karvex::capi {
namespace {

TEST(BoundaryTest, MapsEachFailureToItsStatusAndReason) {
    std::string reason = "left over from an earlier call";
    EXPECT_EQ(Guard(reason, [] { return 17; }), 17);
    EXPECT_EQ(reason, "") << "a call that returns normally leaves no reason behind";

    EXPECT_EQ(Guard(reason, []() -> int { throw ArgumentOverflow("SalesNum 300 does not fit a byte"); }),
              KARVEX_ERR_ARGUMENT_OVERFLOW);
    EXPECT_NE(reason.find("SalesNum 300 does not fit a byte"), std::string::npos) << reason;

    EXPECT_EQ(Guard(reason, []() -> int { throw std::bad_alloc(); }), KARVEX_ERR_OUT_OF_MEMORY);
    EXPECT_EQ(reason, "out of memory");

    EXPECT_EQ(Guard(reason, []() -> int { throw std::runtime_error("disk gone"); }), KARVEX_ERR_INTERNAL);
    EXPECT_NE(reason.find("disk gone"), std::string::npos) << reason;

    EXPECT_EQ(Guard(reason, []() -> int { throw 42; }), KARVEX_ERR_INTERNAL);
    EXPECT_FALSE(reason.empty());
}

TEST(BoundaryTest, StatusesAreDistinctAndNegative) {
    const int statuses[] = {
        KARVEX_ERR_ARGUMENT_OVERFLOW, KARVEX_ERR_NULL_ARGUMENT, KARVEX_ERR_INVALID_TEXT, KARVEX_ERR_OUT_OF_MEMORY,
        KARVEX_ERR_INTERNAL,          KARVEX_ERR_WRONG_THREAD,  KARVEX_ERR_BUSY};
    for (int a : statuses) {
        EXPECT_LT(a, 0);
        int same = 0;
        for (int b : statuses) same += (a == b);
        EXPECT_EQ(same, 1) << a;
    }
}

}  // namespace
}  // namespace karvex::capi
