#include "platform/CInotifyTree.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/CMutex.h"
#include "testsupport/Polling.h"
#include "testsupport/ScratchDir.h"

namespace {

using Kind = platform::CInotifyTree::EKind;
using Event = platform::CInotifyTree::SEvent;
using Limit = platform::CInotifyTree::ELimit;

constexpr int kWaitMs = 30000;  // generous: a loaded machine delivers late, never never

// Collects the events the watcher delivers on its thread.
class Recorder {
 public:
  void Add(const Event& event) {
    platform::CLockGuard lock(m_Mutex);
    m_Events.push_back(event);
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
  bool HasPath(const std::string& path) {
    for (const Event& event : Events()) {
      if (event.strRelativePath == path) return true;
    }
    return false;
  }
  bool WaitFor(int root, const std::string& path, Kind kind) {
    return testsupport::PollUntil([&] { return Has(root, path, kind); }, kWaitMs);
  }
  // Index of the first matching event, -1 when none.
  int IndexOf(int root, const std::string& path, Kind kind) {
    const std::vector<Event> events = Events();
    for (std::size_t i = 0; i < events.size(); ++i) {
      if (events[i].nRoot == root && events[i].strRelativePath == path && events[i].eKind == kind) {
        return static_cast<int>(i);
      }
    }
    return -1;
  }

 private:
  platform::CMutex m_Mutex;
  std::vector<Event> m_Events GUARDED_BY(m_Mutex);
};

void MakeDir(const std::string& path) { ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path; }

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

// Events are delivered in order: once a marker written after some change is seen, every event
// of that change has been delivered too.
void Settle(testsupport::ScratchDir& scratch, Recorder& recorder, int root, const std::string& marker) {
  scratch.Write(marker, "m");
  ASSERT_TRUE(recorder.WaitFor(root, marker, Kind::Written)) << marker;
}

struct Watched {
  Recorder recorder;
  platform::CInotifyTree tree{[this](const Event& event) { recorder.Add(event); }};
};

TEST(CInotifyTreeTest, FilesInNestedSubDirectoriesAreReportedWithPathsRelativeToTheRoot) {
  testsupport::ScratchDir scratch;
  scratch.Write("a/b/c/old.xml", "x");
  Watched watched;
  ASSERT_TRUE(watched.tree.Start().Ok());
  const auto added = watched.tree.AddRoot(scratch.Path());
  ASSERT_TRUE(added.Ok());
  const int root = added.nRoot;
  Recorder& recorder = watched.recorder;

  scratch.Write("a/b/c/new.xml", "<x/>");
  EXPECT_TRUE(recorder.WaitFor(root, "a/b/c/new.xml", Kind::Created));
  EXPECT_TRUE(recorder.WaitFor(root, "a/b/c/new.xml", Kind::Written));
  scratch.Write("a/b/c/old.xml", "changed");
  EXPECT_TRUE(recorder.WaitFor(root, "a/b/c/old.xml", Kind::Written));
  ASSERT_EQ(std::rename(scratch.File("a/b/c/old.xml").c_str(), scratch.File("a/moved.xml").c_str()), 0);
  EXPECT_TRUE(recorder.WaitFor(root, "a/moved.xml", Kind::MovedIn));
  const int out = recorder.IndexOf(root, "a/b/c/old.xml", Kind::MovedOut);
  ASSERT_GE(out, 0);
  EXPECT_LT(out, recorder.IndexOf(root, "a/moved.xml", Kind::MovedIn)) << "a rename is out, then in";
  ASSERT_EQ(unlink(scratch.File("a/b/c/new.xml").c_str()), 0);
  EXPECT_TRUE(recorder.WaitFor(root, "a/b/c/new.xml", Kind::Deleted));
  for (const Event& event : recorder.Events()) EXPECT_FALSE(event.bIsDirectory) << event.strRelativePath;
  EXPECT_FALSE(recorder.Has(root, "a/b/c/old.xml", Kind::Created)) << "existing files are not reported";
}

TEST(CInotifyTreeTest, FilesWrittenAtOnceIntoNewSubDirectoriesAreNeverMissed) {
  testsupport::ScratchDir scratch;
  Watched watched;
  ASSERT_TRUE(watched.tree.Start().Ok());
  const int root = watched.tree.AddRoot(scratch.Path()).nRoot;
  ASSERT_GT(root, 0);
  constexpr int kDirs = 30;
  constexpr int kFiles = 10;
  // The race: each file lands before or after the watch of its brand-new directory.
  for (int d = 0; d < kDirs; ++d) {
    const std::string dir = "new" + std::to_string(d);
    MakeDir(scratch.File(dir));
    MakeDir(scratch.File(dir + "/deeper"));
    for (int f = 0; f < kFiles; ++f) {
      WriteFile(scratch.File(dir + "/f" + std::to_string(f)), "x");
      WriteFile(scratch.File(dir + "/deeper/g" + std::to_string(f)), "x");
    }
  }
  for (int d = 0; d < kDirs; ++d) {
    const std::string dir = "new" + std::to_string(d);
    EXPECT_TRUE(watched.recorder.WaitFor(root, dir, Kind::Created)) << dir;
    for (int f = 0; f < kFiles; ++f) {
      for (const std::string& file : {dir + "/f" + std::to_string(f), dir + "/deeper/g" + std::to_string(f)}) {
        EXPECT_TRUE(testsupport::PollUntil(
            [&] {
              return watched.recorder.Has(root, file, Kind::Created) ||
                     watched.recorder.Has(root, file, Kind::Written);
            },
            kWaitMs))
            << file;
      }
    }
  }
  // Files written later into the new directories come through their own watches.
  WriteFile(scratch.File("new0/deeper/late"), "x");
  EXPECT_TRUE(watched.recorder.WaitFor(root, "new0/deeper/late", Kind::Written));
}

TEST(CInotifyTreeTest, ATreeMovedInIsWatchedAndATreeMovedOutIsNoLonger) {
  testsupport::ScratchDir outside;
  testsupport::ScratchDir scratch;
  outside.Write("tree/sub/existing.pdf", "x");
  Watched watched;
  ASSERT_TRUE(watched.tree.Start().Ok());
  const int root = watched.tree.AddRoot(scratch.Path()).nRoot;
  ASSERT_GT(root, 0);
  Recorder& recorder = watched.recorder;

  ASSERT_EQ(std::rename(outside.File("tree").c_str(), scratch.File("in").c_str()), 0);
  ASSERT_TRUE(recorder.WaitFor(root, "in", Kind::MovedIn));
  for (const Event& event : recorder.Events()) {
    if (event.strRelativePath == "in") {
      EXPECT_TRUE(event.bIsDirectory);
    }
  }
  EXPECT_FALSE(recorder.HasPath("in/sub/existing.pdf")) << "the consumer walks a tree moved in";
  scratch.Write("in/sub/later.pdf", "x");
  EXPECT_TRUE(recorder.WaitFor(root, "in/sub/later.pdf", Kind::Written));

  // Renamed within the root: the new names are used from then on.
  ASSERT_EQ(std::rename(scratch.File("in").c_str(), scratch.File("renamed").c_str()), 0);
  EXPECT_TRUE(recorder.WaitFor(root, "in", Kind::MovedOut));
  EXPECT_TRUE(recorder.WaitFor(root, "renamed", Kind::MovedIn));
  scratch.Write("renamed/sub/again.pdf", "x");
  EXPECT_TRUE(recorder.WaitFor(root, "renamed/sub/again.pdf", Kind::Written));

  ASSERT_EQ(std::rename(scratch.File("renamed").c_str(), outside.File("gone").c_str()), 0);
  EXPECT_TRUE(recorder.WaitFor(root, "renamed", Kind::MovedOut));
  outside.Write("gone/sub/after.pdf", "x");
  Settle(scratch, recorder, root, "marker");
  for (const Event& event : recorder.Events()) {
    EXPECT_EQ(event.strRelativePath.find("after.pdf"), std::string::npos) << event.strRelativePath;
  }
}

TEST(CInotifyTreeTest, SymbolicLinksAreNotFollowed) {
  testsupport::ScratchDir outside;
  testsupport::ScratchDir scratch;
  outside.Write("target/file", "x");
  ASSERT_EQ(symlink(outside.File("target").c_str(), scratch.File("link").c_str()), 0);
  Watched watched;
  ASSERT_TRUE(watched.tree.Start().Ok());
  const int root = watched.tree.AddRoot(scratch.Path()).nRoot;
  ASSERT_GT(root, 0);
  // A link to a directory created inside a new directory is not followed by the listing either.
  MakeDir(scratch.File("fresh"));
  ASSERT_EQ(symlink(outside.File("target").c_str(), scratch.File("fresh/link2").c_str()), 0);
  ASSERT_TRUE(watched.recorder.WaitFor(root, "fresh/link2", Kind::Created));
  outside.Write("target/new", "x");
  Settle(scratch, watched.recorder, root, "fresh/marker");
  for (const Event& event : watched.recorder.Events()) {
    EXPECT_EQ(event.strRelativePath.find("new"), std::string::npos) << event.strRelativePath;
    if (event.strRelativePath == "fresh/link2") {
      EXPECT_FALSE(event.bIsDirectory);
    }
  }
}

TEST(CInotifyTreeTest, OverlappingAndRepeatedRootsEachGetTheirEventsAndKeepThemWhenAnotherGoes) {
  testsupport::ScratchDir scratch;
  scratch.Write("sub/deep/old", "x");
  Watched watched;
  ASSERT_TRUE(watched.tree.Start().Ok());
  const int outer = watched.tree.AddRoot(scratch.Path()).nRoot;
  const int inner = watched.tree.AddRoot(scratch.File("sub")).nRoot;
  const int again = watched.tree.AddRoot(scratch.Path()).nRoot;
  ASSERT_GT(outer, 0);
  ASSERT_GT(inner, 0);
  ASSERT_GT(again, 0);
  Recorder& recorder = watched.recorder;
  scratch.Write("sub/deep/one", "x");
  EXPECT_TRUE(recorder.WaitFor(outer, "sub/deep/one", Kind::Written));
  EXPECT_TRUE(recorder.WaitFor(inner, "deep/one", Kind::Written));
  EXPECT_TRUE(recorder.WaitFor(again, "sub/deep/one", Kind::Written));

  // The shared watches stay for the roots that still hold them.
  watched.tree.RemoveRoot(inner);
  scratch.Write("sub/deep/two", "x");
  EXPECT_TRUE(recorder.WaitFor(outer, "sub/deep/two", Kind::Written));
  watched.tree.RemoveRoot(outer);
  scratch.Write("sub/deep/three", "x");
  EXPECT_TRUE(recorder.WaitFor(again, "sub/deep/three", Kind::Written));
  EXPECT_FALSE(recorder.Has(inner, "deep/two", Kind::Written));
  EXPECT_FALSE(recorder.Has(outer, "sub/deep/three", Kind::Written));

  // The inner root's own directory going is its root gone, and a sub-directory for the other.
  const int innerAgain = watched.tree.AddRoot(scratch.File("sub/deep")).nRoot;
  ASSERT_GT(innerAgain, 0);
  ASSERT_EQ(std::rename(scratch.File("sub/deep").c_str(), scratch.File("moved").c_str()), 0);
  EXPECT_TRUE(recorder.WaitFor(innerAgain, "", Kind::RootGone));
  EXPECT_TRUE(recorder.WaitFor(again, "sub/deep", Kind::MovedOut));
  EXPECT_TRUE(recorder.WaitFor(again, "moved", Kind::MovedIn));
  scratch.Write("moved/four", "x");
  EXPECT_TRUE(recorder.WaitFor(again, "moved/four", Kind::Written));
}

TEST(CInotifyTreeTest, SkippedDirectoriesAreNeitherWatchedNorListed) {
  testsupport::ScratchDir scratch;
  scratch.Write("keep/skip/old", "x");
  Watched watched;
  ASSERT_TRUE(watched.tree.Start().Ok());
  const auto skip = [](const std::string& dir) { return dir == "keep/skip" || dir == "fresh/skip"; };
  const int root = watched.tree.AddRoot(scratch.Path(), skip).nRoot;
  ASSERT_GT(root, 0);
  Recorder& recorder = watched.recorder;
  scratch.Write("keep/skip/ignored", "x");
  // A new directory is listed, but not its skipped part.
  MakeDir(scratch.File("fresh"));
  MakeDir(scratch.File("fresh/skip"));
  WriteFile(scratch.File("fresh/skip/hidden"), "x");
  WriteFile(scratch.File("fresh/seen"), "x");
  EXPECT_TRUE(testsupport::PollUntil(
      [&] { return recorder.Has(root, "fresh/seen", Kind::Created) || recorder.Has(root, "fresh/seen", Kind::Written); },
      kWaitMs));
  scratch.Write("fresh/skip/later", "x");
  Settle(scratch, recorder, root, "fresh/marker");
  EXPECT_FALSE(recorder.HasPath("keep/skip/ignored"));
  EXPECT_FALSE(recorder.HasPath("fresh/skip/hidden"));
  EXPECT_FALSE(recorder.HasPath("fresh/skip/later"));
}

TEST(CInotifyTreeTest, ARootGivenAsALinkToItsDirectoryIsWatched) {
  testsupport::ScratchDir scratch;
  MakeDir(scratch.File("real"));
  ASSERT_EQ(symlink(scratch.File("real").c_str(), scratch.File("link").c_str()), 0);
  Watched watched;
  ASSERT_TRUE(watched.tree.Start().Ok());
  const int root = watched.tree.AddRoot(scratch.File("link")).nRoot;
  ASSERT_GT(root, 0);
  scratch.Write("real/sub/file", "x");
  EXPECT_TRUE(watched.recorder.WaitFor(root, "sub", Kind::Created));
  scratch.Write("real/sub/later", "x");
  EXPECT_TRUE(watched.recorder.WaitFor(root, "sub/later", Kind::Written));
}

TEST(CInotifyTreeTest, AStopEndsTheBlockedThreadAtOnce) {
  testsupport::ScratchDir scratch;
  Watched watched;
  ASSERT_TRUE(watched.tree.Start().Ok());
  ASSERT_TRUE(watched.tree.AddRoot(scratch.Path()).Ok());
  Settle(scratch, watched.recorder, 1, "marker");  // the thread has been through poll once
  const auto start = std::chrono::steady_clock::now();
  watched.tree.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  watched.tree.Stop();  // a second stop changes nothing
  EXPECT_EQ(watched.tree.AddRoot(scratch.Path()).nErrno, EBADF);
}

TEST(CInotifyTreeTest, ARemovedRootReportsNothingMore) {
  testsupport::ScratchDir first;
  testsupport::ScratchDir second;
  Watched watched;
  ASSERT_TRUE(watched.tree.Start().Ok());
  const int one = watched.tree.AddRoot(first.Path()).nRoot;
  const int two = watched.tree.AddRoot(second.Path()).nRoot;
  ASSERT_GT(one, 0);
  ASSERT_NE(one, two);
  first.Write("sub/x", "x");
  ASSERT_TRUE(watched.recorder.WaitFor(one, "sub", Kind::Created));
  watched.tree.RemoveRoot(one);
  first.Write("sub/after", "x");
  first.Write("after", "x");
  Settle(second, watched.recorder, two, "marker");
  EXPECT_FALSE(watched.recorder.HasPath("sub/after"));
  EXPECT_FALSE(watched.recorder.HasPath("after"));
}

TEST(CInotifyTreeTest, ARootDeletedOrMovedAwayIsReportedGone) {
  testsupport::ScratchDir scratch;
  MakeDir(scratch.File("deleted"));
  MakeDir(scratch.File("deleted/sub"));
  MakeDir(scratch.File("moved"));
  Watched watched;
  ASSERT_TRUE(watched.tree.Start().Ok());
  const int deleted = watched.tree.AddRoot(scratch.File("deleted")).nRoot;
  const int moved = watched.tree.AddRoot(scratch.File("moved")).nRoot;
  ASSERT_GT(deleted, 0);
  ASSERT_GT(moved, 0);
  ASSERT_EQ(rmdir(scratch.File("deleted/sub").c_str()), 0);
  ASSERT_EQ(rmdir(scratch.File("deleted").c_str()), 0);
  ASSERT_EQ(std::rename(scratch.File("moved").c_str(), scratch.File("elsewhere").c_str()), 0);
  EXPECT_TRUE(watched.recorder.WaitFor(deleted, "", Kind::RootGone));
  EXPECT_TRUE(watched.recorder.WaitFor(moved, "", Kind::RootGone));
  EXPECT_TRUE(watched.recorder.WaitFor(deleted, "sub", Kind::Deleted));
  // Gone means no longer watched: a file in the moved directory is not reported.
  scratch.Write("elsewhere/late", "x");
  const int again = watched.tree.AddRoot(scratch.File("elsewhere")).nRoot;
  ASSERT_GT(again, 0);
  scratch.Write("elsewhere/marker", "x");
  ASSERT_TRUE(watched.recorder.WaitFor(again, "marker", Kind::Written));
  EXPECT_FALSE(watched.recorder.HasPath("late"));
  int gone = 0;
  for (const Event& event : watched.recorder.Events()) gone += event.eKind == Kind::RootGone;
  EXPECT_EQ(gone, 2) << "one report per root";
}

TEST(CInotifyTreeTest, AQueueOverflowIsReportedForEveryRootAndWatchingGoesOn) {
  std::ifstream limitFile("/proc/sys/fs/inotify/max_queued_events");
  long queueLimit = 0;
  limitFile >> queueLimit;
  if (queueLimit <= 0 || queueLimit > 100000) GTEST_SKIP() << "queue limit " << queueLimit << " too large";
  testsupport::ScratchDir scratch;
  testsupport::ScratchDir other;
  Watched watched;
  ASSERT_TRUE(watched.tree.Start().Ok());
  const int root = watched.tree.AddRoot(scratch.Path()).nRoot;
  const int otherRoot = watched.tree.AddRoot(other.Path()).nRoot;
  ASSERT_GT(otherRoot, 0);
  watched.tree.SetReadingPausedForTest(true);
  // Each file queues a create and a close-after-write event.
  for (long i = 0; i < queueLimit / 2 + 100; ++i) {
    const int fd = open(scratch.File("f" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    close(fd);
  }
  // Made while events are lost: watched by the walk that follows the overflow.
  MakeDir(scratch.File("unseen"));
  watched.tree.SetReadingPausedForTest(false);
  EXPECT_TRUE(watched.recorder.WaitFor(root, "", Kind::Overflow));
  EXPECT_TRUE(watched.recorder.WaitFor(otherRoot, "", Kind::Overflow));
  std::uint64_t overflow = 0;
  for (const Event& event : watched.recorder.Events()) {
    if (event.eKind != Kind::Overflow) continue;
    EXPECT_NE(event.nOverflow, 0u);
    if (overflow == 0) overflow = event.nOverflow;
    EXPECT_EQ(event.nOverflow, overflow) << "one overflow, one number for every root";
  }
  scratch.Write("unseen/after", "x");
  EXPECT_TRUE(watched.recorder.WaitFor(root, "unseen/after", Kind::Written));
}

// Fails with ENOSPC after the given number of watches, like a kernel at its limit.
platform::CInotifyTree::AddWatchFunction LimitedAddWatch(std::atomic<int>& allowed) {
  return [&allowed](int fd, const char* path, std::uint32_t mask) {
    if (allowed.fetch_sub(1) <= 0) {
      errno = ENOSPC;
      return -1;
    }
    return inotify_add_watch(fd, path, mask);
  };
}

TEST(CInotifyTreeTest, TheWatchLimitIsNamedAndTheRootGivenUp) {
  EXPECT_STREQ(platform::CInotifyTree::LimitSetting(Limit::MaxUserWatches), "fs.inotify.max_user_watches");
  EXPECT_STREQ(platform::CInotifyTree::LimitSetting(Limit::MaxUserInstances),
               "fs.inotify.max_user_instances");
  testsupport::ScratchDir scratch;
  scratch.Write("big/a/b/c/file", "x");
  scratch.Write("small/file", "x");
  std::atomic<int> allowed{3};
  Watched watched;
  watched.tree.SetAddWatchForTest(LimitedAddWatch(allowed));
  ASSERT_TRUE(watched.tree.Start().Ok());
  const auto refused = watched.tree.AddRoot(scratch.File("big"));
  EXPECT_EQ(refused.nErrno, ENOSPC);
  EXPECT_EQ(refused.eLimit, Limit::MaxUserWatches);

  allowed = 2;
  const int root = watched.tree.AddRoot(scratch.File("small")).nRoot;
  ASSERT_GT(root, 0);
  scratch.Write("small/one/two/three", "x");  // two directories, one watch left
  EXPECT_TRUE(watched.recorder.WaitFor(root, "", Kind::WatchLimit));
  for (const Event& event : watched.recorder.Events()) {
    if (event.eKind == Kind::WatchLimit) {
      EXPECT_EQ(event.eLimit, Limit::MaxUserWatches);
    }
  }
  // Given up means silent from then on, never half watched.
  allowed = 1000;
  const int probe = watched.tree.AddRoot(scratch.File("big")).nRoot;
  ASSERT_GT(probe, 0);
  scratch.Write("small/after", "x");
  scratch.Write("big/marker", "x");
  ASSERT_TRUE(watched.recorder.WaitFor(probe, "marker", Kind::Written));
  EXPECT_FALSE(watched.recorder.HasPath("after"));
}

// The kernel's own limit: in a user namespace of its own the test may lower it. The test runs
// itself again there, with the body below.
constexpr const char* kLimitChildVariable = "FK_INOTIFY_LIMIT_CHILD";

void RunUnderTheLoweredLimit() {
  testsupport::ScratchDir scratch;
  MakeDir(scratch.File("small"));
  scratch.Write("big/a/b/c/d/e/f/g/h/file", "x");
  Watched watched;
  ASSERT_TRUE(watched.tree.Start().Ok());
  const int root = watched.tree.AddRoot(scratch.File("small")).nRoot;  // one watch of four
  ASSERT_GT(root, 0);
  scratch.Write("small/a/b/c/d/e/f/g/file", "x");
  EXPECT_TRUE(watched.recorder.WaitFor(root, "", Kind::WatchLimit));
  const auto refused = watched.tree.AddRoot(scratch.File("big"));
  EXPECT_EQ(refused.nErrno, ENOSPC);
  EXPECT_EQ(refused.eLimit, Limit::MaxUserWatches);
}

TEST(CInotifyTreeTest, TheKernelsWatchLimitInAUserNamespace) {
  if (std::getenv(kLimitChildVariable) != nullptr) {
    RunUnderTheLoweredLimit();
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
