#include "platform/CMarkerWatch.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "testsupport/ScratchDir.h"

namespace {

constexpr int kLongWaitMs = 600000;

TEST(CMarkerWatchTest, AWaitEndsWhenTheNameAppearsOrOnAnInterruptAndRunsOutOtherwise) {
  testsupport::ScratchDir scratch;
  platform::CMarkerWatch watch(scratch.File(""), "_stop_");
  ASSERT_TRUE(watch.IsWatching());
  EXPECT_FALSE(watch.Wait(20)) << "nothing happened";
  scratch.Write("other.txt", "");
  EXPECT_FALSE(watch.Wait(20)) << "another name";

  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    scratch.Write("_stop_", "");
  });
  EXPECT_TRUE(watch.Wait(kLongWaitMs));
  writer.join();
  boost::filesystem::remove(scratch.File("_stop_"));

  // Moved in under the name, as an editor saves it.
  scratch.Write("draft", "");
  std::rename(scratch.File("draft").c_str(), scratch.File("_stop_").c_str());
  EXPECT_TRUE(watch.Wait(kLongWaitMs));

  // An interrupt given before the wait is not lost; one from another thread ends a wait.
  watch.Interrupt();
  EXPECT_TRUE(watch.Wait(kLongWaitMs));
  EXPECT_FALSE(watch.Wait(20)) << "taken once";
  std::thread interrupter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    watch.Interrupt();
  });
  EXPECT_TRUE(watch.Wait(kLongWaitMs));
  interrupter.join();
}

TEST(CMarkerWatchTest, AMissingOrVanishedDirectoryLeavesTheLookingToTheCaller) {
  testsupport::ScratchDir scratch;
  EXPECT_FALSE(platform::CMarkerWatch(scratch.File("missing"), "_stop_").IsWatching());
  boost::filesystem::create_directories(scratch.File("program"));
  platform::CMarkerWatch watch(scratch.File("program"), "_stop_");
  ASSERT_TRUE(watch.IsWatching());
  boost::filesystem::remove(scratch.File("program"));
  EXPECT_TRUE(watch.Wait(kLongWaitMs)) << "the caller looks for itself";
  EXPECT_FALSE(watch.IsWatching());
}

}  // namespace
