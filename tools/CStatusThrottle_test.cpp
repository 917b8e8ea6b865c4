#include "tools/CStatusThrottle.h"

#include <gtest/gtest.h>

TEST(StatusThrottleTest, WritesOncePerIntervalUnlessThePhaseChanges) {
  CStatusThrottle throttle(1000);
  EXPECT_TRUE(throttle.Due(5000, "watching"));
  EXPECT_FALSE(throttle.Due(5400, "watching"));
  EXPECT_TRUE(throttle.Due(5500, "stopping"));  // a new phase is written at once
  EXPECT_FALSE(throttle.Due(6499, "stopping"));
  EXPECT_TRUE(throttle.Due(6500, "stopping"));
  EXPECT_TRUE(throttle.Due(100, "stopping"));  // the clock went back: never held up for good
}
