#include "platform/CDirectoryListing.h"

#include <algorithm>
#include <map>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <boost/filesystem.hpp>

#include "platform/FileTimes.h"
#include "testsupport/ScratchDir.h"

namespace fs = boost::filesystem;

namespace {

using Kind = platform::CDirectoryListing::Kind;

TEST(CDirectoryListingTest, KindsNeverFollowSymbolicLinks) {
  testsupport::ScratchDir scratch;
  const std::string file = scratch.Write("d/invoice.xml", "<a/>");
  scratch.Write("d/sub/inner.xml", "<a/>");
  fs::create_symlink(file, scratch.File("d/link-to-file.xml"));
  fs::create_symlink(scratch.File("d/sub"), scratch.File("d/link-to-dir"));
  fs::create_symlink(scratch.File("d/nowhere"), scratch.File("d/dangling.xml"));
  ASSERT_EQ(mkfifo(scratch.File("d/pipe.xml").c_str(), 0600), 0);
  scratch.Write("d/odd name\n.XML", "");

  platform::CDirectoryListing listing(scratch.File("d/"));
  std::vector<platform::CDirectoryListing::Entry> entries;
  std::string errorText;
  ASSERT_TRUE(listing.Read(entries, errorText)) << errorText;
  std::map<std::string, Kind> kinds;
  for (const auto& entry : entries) kinds[entry.Name] = entry.Type;
  const std::map<std::string, Kind> expected = {
      {"invoice.xml", Kind::File},      {"sub", Kind::Directory},      {"link-to-file.xml", Kind::Other},
      {"link-to-dir", Kind::Other},     {"dangling.xml", Kind::Other}, {"pipe.xml", Kind::Other},
      {"odd name\n.XML", Kind::File}};
  EXPECT_EQ(kinds, expected);

  std::int64_t atDirectory = 0;
  std::int64_t byPath = 0;
  ASSERT_TRUE(listing.GetArrivalTime("invoice.xml", atDirectory, errorText)) << errorText;
  ASSERT_TRUE(platform::GetArrivalTime(file, byPath, errorText)) << errorText;
  EXPECT_EQ(atDirectory, byPath);
  EXPECT_FALSE(listing.GetArrivalTime("dangling.xml", atDirectory, errorText));
  EXPECT_EQ(errorText, "No such file or directory");
}

TEST(CDirectoryListingTest, AMissingDirectoryOrAFileIsAnErrorWithItsCause) {
  testsupport::ScratchDir scratch;
  std::vector<platform::CDirectoryListing::Entry> entries;
  std::string errorText;
  platform::CDirectoryListing missing(scratch.File("missing/"));
  EXPECT_FALSE(missing.Read(entries, errorText));
  EXPECT_EQ(errorText, "No such file or directory");
  std::int64_t seconds = 0;
  EXPECT_FALSE(missing.GetArrivalTime("x.xml", seconds, errorText));

  platform::CDirectoryListing notDirectory(scratch.Write("plain.xml", ""));
  EXPECT_FALSE(notDirectory.Read(entries, errorText));
  EXPECT_EQ(errorText, "Not a directory");
  EXPECT_TRUE(entries.empty());
}

}  // namespace
