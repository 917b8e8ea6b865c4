#include "platform/CInotifyTree.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/CMutex.h"
#include "testsupport/InotifyLimits.h"
#include "testsupport/Polling.h"
#include "testsupport/ScratchDir.h"

namespace {

using Kind = platform::CInotifyTree::EKind;
using Event = platform::CInotifyTree::SEvent;
using Limit = platform::CInotifyTree::ELimit;
using testsupport::ScratchDir;

constexpr int kWaitMs = 30000;  // generous: a loaded machine delivers late, never never

void MakeDir(const std::string& path) { ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path; }

// A started tree that keeps the events it delivers on its thread.
class Watched {
  platform::CMutex m_Mutex;
  std::vector<Event> m_Events GUARDED_BY(m_Mutex);

 public:
  explicit Watched(platform::CInotifyTree::AddWatchFunction addWatch = nullptr) {
    if (addWatch) tree.SetAddWatchForTest(std::move(addWatch));
    EXPECT_TRUE(tree.Start().Ok());
  }
  int Root(const std::string& directory, platform::CInotifyTree::SkipDirectory skip = nullptr) {
    const int root = tree.AddRoot(directory, std::move(skip)).nRoot;
    EXPECT_GT(root, 0) << directory;
    return root;
  }
  std::vector<Event> Events() {
    platform::CLockGuard lock(m_Mutex);
    return m_Events;
  }
  bool Has(int root, const std::string& path, Kind kind) {
    for (const Event& event : Events()) {
      if (event.nRoot == root && event.strRelativePath == path && event.eKind == kind) return true;
    }
    return false;
  }
  bool Mentions(const std::string& part) {
    for (const Event& event : Events()) {
      if (event.strRelativePath.find(part) != std::string::npos) return true;
    }
    return false;
  }
  bool WaitFor(int root, const std::string& path, Kind kind) {
    return testsupport::PollUntil([&] { return Has(root, path, kind); }, kWaitMs);
  }
  // Events come in order: once a marker written after some change is seen, that change's events are in too.
  void Settle(int root, const std::string& rootDirectory, const std::string& marker) {
    std::ofstream(rootDirectory + "/" + marker) << "m";
    ASSERT_TRUE(WaitFor(root, marker, Kind::Written)) << marker;
  }

  platform::CInotifyTree tree{[this](const Event& event) {
    platform::CLockGuard lock(m_Mutex);
    m_Events.push_back(event);
  }};
};

TEST(CInotifyTreeTest, NewDirectoriesMissNoFileAndTheirListingSkipsWhatItShouldAndFollowsNoLink) {
  ScratchDir outside;
  ScratchDir scratch;
  outside.Write("target/file", "x");
  scratch.Write("keep/skip/old", "x");
  ASSERT_EQ(symlink(outside.File("target").c_str(), scratch.File("link").c_str()), 0);
  Watched watched;
  const int root =
      watched.Root(scratch.Path(), [](const std::string& dir) { return dir == "keep/skip" || dir == "fresh/skip"; });
  // The race: each file lands before or after the watch of its brand-new directory.
  std::vector<std::string> files;
  for (int d = 0; d < 30; ++d) {
    const std::string dir = "new" + std::to_string(d);
    MakeDir(scratch.File(dir));
    MakeDir(scratch.File(dir + "/deeper"));
    for (int f = 0; f < 10; ++f) {
      for (const std::string& file : {dir + "/f" + std::to_string(f), dir + "/deeper/g" + std::to_string(f)}) {
        scratch.Write(file, "x");
        files.push_back(file);
      }
    }
  }
  MakeDir(scratch.File("fresh"));
  MakeDir(scratch.File("fresh/skip"));
  scratch.Write("fresh/skip/hidden", "x");
  ASSERT_EQ(symlink(outside.File("target").c_str(), scratch.File("fresh/link").c_str()), 0);
  files.push_back("fresh/seen");
  scratch.Write("fresh/seen", "x");
  for (const std::string& file : files) {
    EXPECT_TRUE(testsupport::PollUntil(
        [&] { return watched.Has(root, file, Kind::Created) || watched.Has(root, file, Kind::Written); }, kWaitMs))
        << file;
  }
  EXPECT_TRUE(watched.WaitFor(root, "fresh/link", Kind::Created));
  scratch.Write("keep/skip/ignored", "x");
  scratch.Write("fresh/skip/later", "x");
  outside.Write("target/new", "x");
  // Files written later into the new directories come through their own watches.
  watched.Settle(root, scratch.Path(), "new0/deeper/late");
  for (int d = 0; d < 30; ++d) EXPECT_TRUE(watched.Has(root, "new" + std::to_string(d), Kind::Created)) << d;
  for (const Event& event : watched.Events()) {
    EXPECT_EQ(event.strRelativePath.find("skip/"), std::string::npos) << event.strRelativePath;
    EXPECT_EQ(event.strRelativePath.find("link/"), std::string::npos) << event.strRelativePath;
    if (event.strRelativePath == "fresh/link") {
      EXPECT_FALSE(event.bIsDirectory);
    }
  }
}

TEST(CInotifyTreeTest, OverlappingRepeatedAndLinkedRootsEachGetTheirEventsAndKeepThemWhenAnotherGoes) {
  ScratchDir scratch;
  scratch.Write("sub/deep/old", "x");
  ASSERT_EQ(symlink(scratch.File("sub").c_str(), scratch.File("sublink").c_str()), 0);
  Watched watched;
  const int outer = watched.Root(scratch.Path());
  const int inner = watched.Root(scratch.File("sublink"));  // a link to its directory
  const int again = watched.Root(scratch.Path());
  scratch.Write("sub/deep/one", "x");
  EXPECT_TRUE(watched.WaitFor(outer, "sub/deep/one", Kind::Written));
  EXPECT_TRUE(watched.WaitFor(inner, "deep/one", Kind::Written));
  EXPECT_TRUE(watched.WaitFor(again, "sub/deep/one", Kind::Written));

  // The shared watches stay for the roots that still hold them.
  watched.tree.RemoveRoot(inner);
  scratch.Write("sub/deep/two", "x");
  EXPECT_TRUE(watched.WaitFor(outer, "sub/deep/two", Kind::Written));
  watched.tree.RemoveRoot(outer);
  scratch.Write("sub/deep/three", "x");
  EXPECT_TRUE(watched.WaitFor(again, "sub/deep/three", Kind::Written));
  EXPECT_FALSE(watched.Has(inner, "deep/two", Kind::Written));
  EXPECT_FALSE(watched.Has(outer, "sub/deep/three", Kind::Written));

  // The inner root's own directory going is its root gone, and a sub-directory for the other.
  const int innerAgain = watched.Root(scratch.File("sub/deep"));
  ASSERT_EQ(std::rename(scratch.File("sub/deep").c_str(), scratch.File("moved").c_str()), 0);
  EXPECT_TRUE(watched.WaitFor(innerAgain, "", Kind::RootGone));
  // Both halves of the rename come as one event, which says where the directory came from.
  EXPECT_TRUE(watched.WaitFor(again, "moved", Kind::MovedIn));
  EXPECT_FALSE(watched.Has(again, "sub/deep", Kind::MovedOut));
  for (const Event& event : watched.Events()) {
    if (event.eKind == Kind::MovedIn) {
      EXPECT_EQ(event.nFromRoot == again ? event.strFromPath : "", "sub/deep");
    }
  }
  scratch.Write("moved/four", "x");
  EXPECT_TRUE(watched.WaitFor(again, "moved/four", Kind::Written));
}

TEST(CInotifyTreeTest, ARootDeletedOrMovedAwayWithOrWithoutItsParentIsReportedGoneAndAStopEndsTheBlockedThread) {
  ScratchDir scratch;
  MakeDir(scratch.File("deleted"));
  MakeDir(scratch.File("deleted/sub"));
  MakeDir(scratch.File("moved"));
  scratch.Write("parent/archive/2024/old", "x");
  Watched watched;
  const int deleted = watched.Root(scratch.File("deleted"));
  const int moved = watched.Root(scratch.File("moved"));
  const int archive = watched.Root(scratch.File("parent/archive"));
  const int sibling = watched.Root(scratch.File("parent"));  // shares the watch of the archive's parent
  ASSERT_EQ(rmdir(scratch.File("deleted/sub").c_str()), 0);
  ASSERT_EQ(rmdir(scratch.File("deleted").c_str()), 0);
  ASSERT_EQ(std::rename(scratch.File("moved").c_str(), scratch.File("elsewhere").c_str()), 0);
  EXPECT_TRUE(watched.WaitFor(deleted, "", Kind::RootGone));
  EXPECT_TRUE(watched.WaitFor(moved, "", Kind::RootGone));
  EXPECT_TRUE(watched.WaitFor(deleted, "sub", Kind::Deleted));
  // The archive's parent renamed and the archive made again: the old tree is no longer taken
  // for the archive's path.
  ASSERT_EQ(std::rename(scratch.File("parent").c_str(), scratch.File("parent.old").c_str()), 0);
  EXPECT_TRUE(watched.WaitFor(archive, "", Kind::RootGone));
  EXPECT_TRUE(watched.WaitFor(sibling, "", Kind::RootGone));
  scratch.Write("parent/archive/2024/new", "x");
  ASSERT_EQ(std::remove(scratch.File("parent.old/archive/2024/old").c_str()), 0);
  // A parent that cannot be watched: the old tree's first event finds the root gone from its path.
  MakeDir(scratch.File("hidden"));
  MakeDir(scratch.File("hidden/archive"));
  const std::string hidden = scratch.File("hidden");
  Watched guarded([&hidden](int fd, const char* path, std::uint32_t mask) {
    if (path == hidden) {
      errno = EACCES;
      return -1;
    }
    return inotify_add_watch(fd, path, mask);
  });
  const int guardedRoot = guarded.Root(scratch.File("hidden/archive"));
  ASSERT_EQ(std::rename(hidden.c_str(), (hidden + ".old").c_str()), 0);
  MakeDir(scratch.File("hidden"));
  MakeDir(scratch.File("hidden/archive"));
  scratch.Write("hidden.old/archive/old", "x");
  EXPECT_TRUE(guarded.WaitFor(guardedRoot, "", Kind::RootGone));
  // Gone means no longer watched: a file in the moved directory is not reported.
  scratch.Write("elsewhere/late", "x");
  watched.Settle(watched.Root(scratch.File("elsewhere")), scratch.File("elsewhere"), "marker");
  EXPECT_FALSE(watched.Mentions("late"));
  EXPECT_FALSE(watched.Mentions("old"));
  int gone = 0;
  for (const Event& event : watched.Events()) gone += event.eKind == Kind::RootGone;
  EXPECT_EQ(gone, 4) << "one report per root";

  watched.tree.Stop();  // returns although the thread waits in poll
  watched.tree.Stop();  // a second stop changes nothing
  EXPECT_EQ(watched.tree.AddRoot(scratch.Path()).nErrno, EBADF);
}

TEST(CInotifyTreeTest, AQueueOverflowIsReportedForEveryRootAndWatchingGoesOn) {
  const long queueLimit = testsupport::OverflowableQueueLimit();
  if (queueLimit == 0) GTEST_SKIP() << "the kernel's queue of events is too long to overflow";
  ScratchDir scratch;
  ScratchDir other;
  ScratchDir away;
  MakeDir(scratch.File("moving"));
  Watched watched;
  const int root = watched.Root(scratch.Path());
  const int otherRoot = watched.Root(other.Path());
  watched.tree.SetReadingPausedForTest(true);
  ASSERT_TRUE(testsupport::TouchFiles(scratch.File("f"), "", queueLimit / 2 + 100));
  MakeDir(scratch.File("unseen"));  // made while events are lost: watched by the walk after the overflow
  // Moved out while events are lost, and made again: its old watch must not speak for the new one.
  ASSERT_EQ(std::rename(scratch.File("moving").c_str(), away.File("moving").c_str()), 0);
  MakeDir(scratch.File("moving"));
  watched.tree.SetReadingPausedForTest(false);
  EXPECT_TRUE(watched.WaitFor(root, "", Kind::Overflow));
  EXPECT_TRUE(watched.WaitFor(otherRoot, "", Kind::Overflow));
  std::uint64_t overflow = 0;
  for (const Event& event : watched.Events()) {
    if (event.eKind != Kind::Overflow) continue;
    EXPECT_NE(event.nOverflow, 0u);
    if (overflow == 0) overflow = event.nOverflow;
    EXPECT_EQ(event.nOverflow, overflow) << "one overflow, one number for every root";
  }
  scratch.Write("unseen/after", "x");
  EXPECT_TRUE(watched.WaitFor(root, "unseen/after", Kind::Written));
  away.Write("moving/outside", "x");
  scratch.Write("moving/inside", "x");
  EXPECT_TRUE(watched.WaitFor(root, "moving/inside", Kind::Written));
  EXPECT_FALSE(watched.Mentions("outside"));
}

// A directory opened by a chmod is watched at once (the service's own test); one opened otherwise, at the next try.
TEST(CInotifyTreeTest, ADirectoryThatCannotBeWatchedIsNamedAndWatchedWhenTriedAgain) {
  ScratchDir scratch;
  scratch.Write("early/closed/deep/file", "x");
  // Root is never refused for permissions: the add-watch fails as it does for another user.
  std::atomic<bool> closed{true};
  Watched watched([&closed](int fd, const char* path, std::uint32_t mask) {
    if (closed && std::string(path).find("closed") != std::string::npos) {
      errno = EACCES;
      return -1;
    }
    return inotify_add_watch(fd, path, mask);
  });
  const auto added = watched.tree.AddRoot(scratch.Path());
  ASSERT_TRUE(added.Ok());
  const platform::CInotifyTree::Unwatched unwatched{{"early/closed", EACCES}};
  EXPECT_EQ(added.unwatched, unwatched);
  EXPECT_EQ(watched.tree.RetryUnwatched(added.nRoot), unwatched);
  closed = false;
  EXPECT_TRUE(watched.tree.RetryUnwatched(added.nRoot).empty());
  scratch.Write("early/closed/deep/later", "x");
  EXPECT_TRUE(watched.WaitFor(added.nRoot, "early/closed/deep/later", Kind::Written));
}

TEST(CInotifyTreeTest, AtTheWatchLimitTheRootIsGivenUpAndTheLimitNamed) {
  ScratchDir scratch;
  scratch.Write("big/a/b/c/file", "x");
  scratch.Write("small/file", "x");
  std::atomic<int> allowed{3};
  Watched watched(testsupport::LimitedAddWatch(allowed));
  const auto refused = watched.tree.AddRoot(scratch.File("big"));
  EXPECT_EQ(refused.nErrno, ENOSPC);
  EXPECT_EQ(refused.eLimit, Limit::MaxUserWatches);

  allowed = 2;
  const int root = watched.Root(scratch.File("small"));
  scratch.Write("small/one/two/three", "x");  // two directories, one watch left
  EXPECT_TRUE(watched.WaitFor(root, "", Kind::WatchLimit));
  for (const Event& event : watched.Events()) {
    if (event.eKind == Kind::WatchLimit) {
      EXPECT_EQ(event.eLimit, Limit::MaxUserWatches);
    }
  }
  // Given up means silent from then on, never half watched.
  allowed = 1000;
  const int probe = watched.Root(scratch.File("big"));
  scratch.Write("small/after", "x");
  watched.Settle(probe, scratch.File("big"), "marker");
  EXPECT_FALSE(watched.Mentions("after"));
}

// The kernel's own limit: in a user namespace of its own the test may lower it, so the test runs
// itself again there with this variable set.
constexpr const char* kLimitChildVariable = "FK_INOTIFY_LIMIT_CHILD";

TEST(CInotifyTreeTest, TheKernelsWatchLimitInAUserNamespace) {
  if (std::getenv(kLimitChildVariable) != nullptr) {
    ScratchDir scratch;
    MakeDir(scratch.File("small"));
    scratch.Write("big/a/b/c/d/e/f/g/h/file", "x");
    Watched watched;
    const int root = watched.Root(scratch.File("small"));  // one watch of four
    scratch.Write("small/a/b/c/d/e/f/g/file", "x");
    EXPECT_TRUE(watched.WaitFor(root, "", Kind::WatchLimit));
    const auto refused = watched.tree.AddRoot(scratch.File("big"));
    EXPECT_EQ(refused.nErrno, ENOSPC);
    EXPECT_EQ(refused.eLimit, Limit::MaxUserWatches);
    return;
  }
  if (std::system("unshare -Ur true >/dev/null 2>&1") != 0) GTEST_SKIP() << "no user namespaces here";
  char self[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof(self) - 1), 0);
  const std::string command = std::string(kLimitChildVariable) +
                              "=1 unshare -Ur sh -c 'echo 4 > /proc/sys/user/max_inotify_watches && exec \"$0\""
                              " --gtest_filter=CInotifyTreeTest.TheKernelsWatchLimitInAUserNamespace' '" +
                              self + "'";
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
}

}  // namespace
