#include "platform/CStopLatch.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Clock = std::chrono::steady_clock;

TEST(CStopLatchTest, AWaitRunsOutUnlessStoppedAndAStopBeforeTheWaitIsNeverMissed) {
  platform::CStopLatch latch;
  EXPECT_FALSE(latch.IsStopped());
  EXPECT_FALSE(latch.WaitFor(20));
  EXPECT_FALSE(latch.WaitFor(-5)) << "a negative wait is no wait";
  latch.Stop();
  EXPECT_TRUE(latch.IsStopped());
  const auto start = Clock::now();
  EXPECT_TRUE(latch.WaitFor(600000));
  EXPECT_TRUE(latch.WaitFor(600000)) << "the stop is not used up by a waiter";
  EXPECT_TRUE(latch.WaitFor(0));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));
  latch.Stop();  // a second stop changes nothing
  EXPECT_TRUE(latch.IsStopped());
}

TEST(CStopLatchTest, OneStopWakesEveryWaiterAtOnce) {
  platform::CStopLatch latch;
  constexpr int kWaiters = 16;
  std::atomic<int> waiting{0};
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&] {
      ++waiting;
      if (latch.WaitFor(600000)) ++woken;
    });
  }
  // Some waiters may only begin their wait after the stop: they must see it all the same.
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  while (waiting < kWaiters / 2 && Clock::now() < deadline) std::this_thread::yield();
  const auto start = Clock::now();
  latch.Stop();
  for (std::thread& waiter : waiters) waiter.join();
  EXPECT_EQ(woken, kWaiters);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(30)) << "no waiter sat out its ten minutes";
}

}  // namespace
