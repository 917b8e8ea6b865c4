#include "platform/CEvent.h"

#include <thread>

#include <gtest/gtest.h>

TEST(CEventTest, ASetIsNeverLostAndIsConsumedOnce) {
  platform::CEvent event;
  event.Set();
  EXPECT_TRUE(event.Wait(0));
  EXPECT_FALSE(event.Wait(0));
  std::thread setter([&] { event.Set(); });
  EXPECT_TRUE(event.Wait(60000));
  setter.join();
}
