#include "platform/CReadingMarker.h"

#include <chrono>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "testsupport/ScratchDir.h"

namespace {

TEST(CReadingMarkerTest, NamesWhatEachThreadWasReadingWhenTheRunEndedWithItsAttempt) {
  testsupport::ScratchDir dir;
  const std::string path = dir.File("_reading_");
  std::string error;
  platform::CReadingMarker& marker = platform::CReadingMarker::Process();
  ASSERT_TRUE(marker.Open(path, error)) << error;
  marker.Begin("/archive/a rather long name\nwith a line feed.pdf", 1);
  marker.End();
  marker.Begin("/archive/b.xml", 1);  // shorter than the first: its tail must not count
  std::thread([&] {
    marker.Begin("/archive/d.xml", 1);
    marker.End();
  }).join();
  std::thread([&] {  // takes the slot the thread before gave back
    marker.Begin("/archive/c.pdf", 2);
    EXPECT_EQ(platform::CReadingMarker::CurrentAttempt(), 2);
  }).join();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_GE(marker.LongestStallMs(), 30) << "b.xml's read has not moved";
  marker.Touch();
  EXPECT_LT(marker.LongestStallMs(), 30);

  // The next start.
  ASSERT_TRUE(marker.Open(path, error)) << error;
  marker.End();
  EXPECT_EQ(marker.LongestStallMs(), 0);
  EXPECT_EQ(marker.TakeUnfinished("/archive/b.xml"), 1);
  EXPECT_EQ(marker.TakeUnfinished("/archive/b.xml"), 0) << "given once";
  EXPECT_EQ(marker.TakeUnfinished("/archive/c.pdf"), 2);
  EXPECT_EQ(marker.TakeUnfinished("/archive/d.xml"), 0) << "a finished read names nothing";
  EXPECT_EQ(marker.TakeUnfinished("/archive/a rather long name\nwith a line feed.pdf"), 0);

  // The one-entry file of the former runs.
  std::ofstream(path, std::ios::binary) << std::string("R/archive/old.xml\0", 18);
  ASSERT_TRUE(marker.Open(path, error)) << error;
  EXPECT_EQ(marker.TakeUnfinished("/archive/old.xml"), 1);

  EXPECT_FALSE(marker.Open(dir.File("missing/_reading_"), error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
