#include "platform/CPresenceCheck.h"

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "testsupport/ScratchDir.h"

namespace fs = boost::filesystem;

namespace {

// What the cleaner asked before: a status call that does not follow the final link.
bool GoneByStatus(const std::string& path) {
  boost::system::error_code ec;
  return fs::symlink_status(path, ec).type() == fs::file_not_found;
}

TEST(CPresenceCheckTest, AnswersAsAStatusCallForEveryKindOfPath) {
  testsupport::ScratchDir scratch;
  const std::string root = scratch.Path() + "/";
  scratch.Write("a/one.xml", "");
  scratch.Write("a/sub/two.xml", "");
  scratch.Write("a/zed.pdf", "");
  scratch.Write("plain.xml", "");
  fs::create_symlink(root + "nowhere", root + "a/dangling.xml");
  fs::create_symlink(root + "a/sub", root + "a/linked");
  std::vector<std::string> paths;
  for (const char* relative :
       {"a/one.xml", "a/missing.xml", "a/sub/two.xml", "a/sub/gone.xml", "a/zed.pdf", "a/dangling.xml",
        "a/linked/two.xml", "a/linked/none.xml", "plain.xml/child.xml", "missing-dir/x.xml", "a/sub/", "a/.",
        "a/..", "a//one.xml", "a/sub/../one.xml", "a/sub/../nothing.xml", "a/One.xml", "a/one.xml\n"}) {
    paths.push_back(root + relative);
  }
  paths.push_back("relative-name.xml");
  paths.push_back("");
  std::sort(paths.begin(), paths.end());
  platform::CPresenceCheck check;
  for (const std::string& path : paths) EXPECT_EQ(check.IsGone(path), GoneByStatus(path)) << path;
}

TEST(CPresenceCheckTest, ListsEachDirectoryOnceInPathOrderAndNeverTrustsAnAbsenceAlone) {
  testsupport::ScratchDir scratch;
  const std::string root = scratch.Path() + "/";
  for (const char* relative : {"p/a.xml", "p/s/x.xml", "p/s/t/y.xml", "p/s/z.xml", "p/z.xml", "q/b.xml"}) {
    scratch.Write(relative, "");
  }
  platform::CPresenceCheck check;
  for (const char* relative : {"p/a.xml", "p/s/x.xml", "p/s/t/y.xml", "p/s/z.xml", "p/z.xml", "q/b.xml"}) {
    EXPECT_FALSE(check.IsGone(root + relative)) << relative;
  }
  EXPECT_EQ(check.GetListingCount(), 4) << "p, p/s, p/s/t and q, each once";

  // A file that came after its directory was listed is found by its own look-up.
  scratch.Write("q/late.xml", "");
  EXPECT_FALSE(check.IsGone(root + "q/late.xml"));
  EXPECT_TRUE(check.IsGone(root + "q/never.xml"));
  EXPECT_EQ(check.GetListingCount(), 4);
}

}  // namespace
