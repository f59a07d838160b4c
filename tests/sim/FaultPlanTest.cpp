// Fault rules: which transfer they hit.

#include "sim/FaultPlan.h"

#include <gtest/gtest.h>

namespace tyvo::sim {
namespace {

TransferRequest vendor(uint8_t request, bool in) {
    TransferRequest r;
    r.setup.bmRequestType = in ? 0xC0 : 0x40;
    r.setup.bRequest = request;
    return r;
}

TEST(FaultPlan, CountsOnlyMatchingTransfersAndFiresOnTheNth) {
    FaultPlan plan;
    plan.add(FaultRule{FaultKind::Stall, 2, 0xA0, false, false});
    EXPECT_FALSE(plan.next(vendor(0xA0, false)));
    EXPECT_FALSE(plan.next(vendor(0xA0, true)));   // other direction: not counted
    EXPECT_FALSE(plan.next(vendor(0xC2, false)));  // other request: not counted
    EXPECT_EQ(plan.next(vendor(0xA0, false)), FaultKind::Stall);
    EXPECT_FALSE(plan.next(vendor(0xA0, false)));  // once only
}

TEST(FaultPlan, FromThenOnKeepsFiringAndTheFirstRuleWins) {
    FaultPlan plan;
    plan.add(FaultRule{FaultKind::Timeout, 1, {}, {}, false});
    plan.add(FaultRule{FaultKind::Garbage, 1, {}, {}, true});
    EXPECT_EQ(plan.next(vendor(1, true)), FaultKind::Timeout);
    EXPECT_EQ(plan.next(vendor(1, true)), FaultKind::Garbage);
    EXPECT_EQ(plan.next(vendor(2, false)), FaultKind::Garbage);
    plan.clear();
    EXPECT_FALSE(plan.next(vendor(1, true)));
}

}  // namespace
}  // namespace tyvo::sim
