#include "platform/CReadingMarker.h"

#include <gtest/gtest.h>

#include "testsupport/ScratchDir.h"

namespace {

TEST(CReadingMarkerTest, NamesTheDocumentARunEndedInOnlyWhileItsReadWasUnfinished) {
  testsupport::ScratchDir dir;
  const std::string path = dir.File("_reading_");
  std::string unfinished;
  std::string error;
  {
    platform::CReadingMarker marker;
    ASSERT_TRUE(marker.Open(path, unfinished, error)) << error;
    EXPECT_EQ(unfinished, "");
    marker.Begin("/archive/a rather long name\nwith a line feed.pdf");
    marker.End();
    marker.Begin("/archive/b.xml");  // shorter than the first: its tail must not count
  }  // the run ends here, in the middle of the read
  platform::CReadingMarker next;
  ASSERT_TRUE(next.Open(path, unfinished, error)) << error;
  EXPECT_EQ(unfinished, "/archive/b.xml");
  next.Begin("/archive/c.xml");
  next.End();
  ASSERT_TRUE(platform::CReadingMarker().Open(path, unfinished, error));
  EXPECT_EQ(unfinished, "") << "a finished read names nothing";

  platform::CReadingMarker unusable;
  EXPECT_FALSE(unusable.Open(dir.File("missing/_reading_"), unfinished, error));
  EXPECT_FALSE(error.empty());
  unusable.Begin("/archive/d.xml");  // harmless without a file
}

}  // namespace
