#include "monitoring/CDirectoriesWatcher.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "platform/CFileSystemType.h"
#include "platform/CInotifyTree.h"
#include "platform/CMutex.h"
#include "testsupport/Polling.h"
#include "testsupport/ScratchDir.h"

namespace {

using EWatch = CDirectoriesWatcher::EWatch;

constexpr int kWaitMs = 30000;  // generous: a loaded machine delivers late

// What the watcher handed to its hooks, in order.
class Hooks {
 public:
  CDirectoriesWatcher::SHooks Make() {
    CDirectoriesWatcher::SHooks hooks;
    hooks.Enqueue = [this](FileChange change) {
      if (m_Block) m_Block(change);
      platform::CLockGuard lock(m_Mutex);
      m_Changes.push_back(std::move(change));
    };
    hooks.NeedsReconcile = [this](const std::string& reference, bool everyPass) {
      platform::CLockGuard lock(m_Mutex);
      m_Reconciles.emplace_back(reference, everyPass);
    };
    hooks.SendStatus = [this](int kind, const std::string& text) {
      platform::CLockGuard lock(m_Mutex);
      m_Lines.push_back(std::to_string(kind) + " " + text);
    };
    return hooks;
  }
  std::vector<FileChange> Changes() {
    platform::CLockGuard lock(m_Mutex);
    return m_Changes;
  }
  std::vector<std::pair<std::string, bool>> Reconciles() {
    platform::CLockGuard lock(m_Mutex);
    return m_Reconciles;
  }
  std::vector<std::string> Lines() {
    platform::CLockGuard lock(m_Mutex);
    return m_Lines;
  }
  int Count(const std::string& path, int action = 0) {
    int count = 0;
    for (const FileChange& change : Changes()) {
      count += change.strPath == path && (action == 0 || change.nAction == action);
    }
    return count;
  }
  bool WaitFor(const std::string& path, int action = 0) {
    return testsupport::PollUntil([&] { return Count(path, action) > 0; }, kWaitMs);
  }
  bool WaitForLine(const std::string& part) {
    return testsupport::PollUntil([&] { return LinesWith(part) > 0; }, kWaitMs);
  }
  int LinesWith(const std::string& part) {
    int count = 0;
    for (const std::string& line : Lines()) count += line.find(part) != std::string::npos;
    return count;
  }
  bool WaitForReconcile(const std::string& reference, bool everyPass) {
    return testsupport::PollUntil([&] { return ReconcilesOf(reference, everyPass) > 0; }, kWaitMs);
  }
  int ReconcilesOf(const std::string& reference, bool everyPass) {
    int count = 0;
    for (const auto& entry : Reconciles()) count += entry.first == reference && entry.second == everyPass;
    return count;
  }
  // Called on the watcher's thread before a change is recorded (set before watching).
  std::function<void(const FileChange&)> m_Block;

 private:
  platform::CMutex m_Mutex;
  std::vector<FileChange> m_Changes GUARDED_BY(m_Mutex);
  std::vector<std::pair<std::string, bool>> m_Reconciles GUARDED_BY(m_Mutex);
  std::vector<std::string> m_Lines GUARDED_BY(m_Mutex);
};

FK::CFolder Folder(const std::string& reference, const std::string& archive, const std::string& processing = "") {
  FK::CFolder folder;
  folder.SetReference(reference);
  folder.SetName("Folder " + reference);
  folder.SetArchivePath(archive);
  folder.SetProcessingPath(processing);
  return folder;
}

void MakeDir(const std::string& path) { boost::filesystem::create_directories(path); }

class CDirectoriesWatcherTest : public ::testing::Test {
 protected:
  // Events come in order: once a document written after some change is reported, that
  // change has been handled too.
  void Settle(const std::string& marker) {
    m_Scratch.Write(marker, "<m/>");
    ASSERT_TRUE(m_Hooks.WaitFor(m_Scratch.File(marker))) << marker;
  }
  std::string Path(const std::string& relative) const { return m_Scratch.File(relative); }
  std::string Catalogue(const std::string& reference) const { return Path("catalogues/" + reference); }
  EWatch Watch(const std::string& relativeDir, const FK::CFolder& folder) {
    return m_Watcher.WatchFolder(Path(relativeDir), folder, Catalogue(folder.GetReference()));
  }

  testsupport::ScratchDir m_Scratch;
  Hooks m_Hooks;
  CDirectoriesWatcher m_Watcher{m_Hooks.Make()};
};

TEST_F(CDirectoriesWatcherTest, AnArchiveIsWatchedThroughItsFirstLevelDirectoriesNewOnesIncluded) {
  // Below a directory whose name holds "Originals": the expression is for first-level names only.
  const std::string archive = "OriginalsWork/archive";
  for (const char* dir : {"SupA/sub", "Originals", "originalsW", "Catalogue_IS/R", "Originals.old", "OldOriginals"}) {
    MakeDir(Path(archive + "/" + dir));
  }
  m_Scratch.Write(archive + "/SupA/_STOP_FKINDEXING_MONITORING_", "");
  m_Scratch.Write(archive + "/_STOP_FKINDEXING_MONITORING_", "");
  const FK::CFolder folder = Folder("R", Path(archive) + "/");
  ASSERT_EQ(m_Watcher.WatchFolder(Path(archive), folder, Path(archive + "/Catalogue_IS/R")), EWatch::Watched);
  EXPECT_FALSE(boost::filesystem::exists(Path(archive + "/SupA/_STOP_FKINDEXING_MONITORING_")));
  EXPECT_FALSE(boost::filesystem::exists(Path(archive + "/_STOP_FKINDEXING_MONITORING_")));

  for (const char* file : {"Originals/o.xml", "originalsW/w.xml", "Catalogue_IS/R/c.xml",
                           "OldOriginals/x.xml", "SupA/sub/_STOP_FKINDEXING_MONITORING_"}) {
    m_Scratch.Write(archive + "/" + file, "<x/>");
  }
  m_Scratch.Write(archive + "/SupA/sub/a.xml", "<x/>");
  m_Scratch.Write(archive + "/Originals.old/b.pdf", "%PDF");
  // The archive's own documents, as the walks take them.
  m_Scratch.Write(archive + "/top.xml", "<x/>");
  // Next year's directory, with documents written before its watch can be in place.
  MakeDir(Path(archive + "/SupNew/2027/01"));
  std::ofstream(Path(archive + "/SupNew/2027/01/n.xml")) << "<n/>";
  std::ofstream(Path(archive + "/SupNew/m.pdf")) << "%PDF";
  EXPECT_TRUE(m_Hooks.WaitFor(Path(archive + "/SupA/sub/a.xml")));
  EXPECT_TRUE(m_Hooks.WaitFor(Path(archive + "/Originals.old/b.pdf")));
  EXPECT_TRUE(m_Hooks.WaitFor(Path(archive + "/top.xml")));
  EXPECT_TRUE(m_Hooks.WaitFor(Path(archive + "/SupNew/2027/01/n.xml")));
  EXPECT_TRUE(m_Hooks.WaitFor(Path(archive + "/SupNew/m.pdf")));
  m_Scratch.Write(archive + "/SupNew/2027/later.xml", "<x/>");
  EXPECT_TRUE(m_Hooks.WaitFor(Path(archive + "/SupNew/2027/later.xml")));
  Settle(archive + "/SupA/marker.xml");

  for (const FileChange& change : m_Hooks.Changes()) {
    EXPECT_EQ(change.strPath.find("Originals/"), std::string::npos) << change.strPath;
    EXPECT_EQ(change.strPath.find("originalsW"), std::string::npos) << change.strPath;
    EXPECT_EQ(change.strPath.find("Catalogue_IS"), std::string::npos) << change.strPath;
    EXPECT_EQ(change.strPath.find("_STOP_"), std::string::npos) << change.strPath;
    EXPECT_EQ(change.strCatalogue, Path(archive + "/Catalogue_IS/R"));
    EXPECT_EQ(change.strReference, "R");
    EXPECT_GT(change.nQueuedAt, 0);
  }
  EXPECT_EQ(m_Hooks.Count(Path(archive + "/OldOriginals/x.xml")), 0);
  EXPECT_TRUE(m_Hooks.Reconciles().empty());
}

TEST_F(CDirectoriesWatcherTest, ExcludedFirstComponentsNonDocumentsAndCompanionsAreDropped) {
  MakeDir(Path("proc/originals"));
  MakeDir(Path("proc/CATALOGUE_is"));
  MakeDir(Path("arch/SupA/ORIGINALS"));
  MakeDir(Path("arch/SupA/Catalogue_IS"));
  const FK::CFolder folder = Folder("R", Path("arch"), Path("proc"));
  ASSERT_EQ(Watch("proc", folder), EWatch::Watched);
  ASSERT_EQ(Watch("arch", folder), EWatch::Watched);
  for (const char* file : {"proc/originals/a.xml", "proc/CATALOGUE_is/b.xml", "arch/SupA/ORIGINALS/c.xml",
                           "arch/SupA/Catalogue_IS/d.pdf", "proc/notes.txt", "proc/e.FK$.xml", "proc/f.fk$.XML",
                           "proc/xml", "arch/SupA/g.xml.bak"}) {
    m_Scratch.Write(file, "<x/>");
  }
  // Deeper down too, as the walks leave them out; a name that merely holds the word is kept.
  m_Scratch.Write("proc/deep/Originals/dropped.XML", "<x/>");
  m_Scratch.Write("arch/SupA/deep/originals/dropped.Pdf", "%PDF");
  m_Scratch.Write("proc/deep/Originals.2025/kept.XML", "<x/>");
  EXPECT_TRUE(m_Hooks.WaitFor(Path("proc/deep/Originals.2025/kept.XML")));
  Settle("proc/marker.xml");
  Settle("arch/SupA/marker.xml");
  for (const FileChange& change : m_Hooks.Changes()) {
    const bool kept = change.strPath.find("kept.") != std::string::npos ||
                      change.strPath.find("marker.xml") != std::string::npos;
    EXPECT_TRUE(kept) << change.strPath;
  }
}

TEST_F(CDirectoriesWatcherTest, EventsMapToActionsAndSameSecondRepeatsAreDropped) {
  std::atomic<std::int64_t> second{1000};
  m_Watcher.SetWallClockForTest([&second] { return second.load(); });
  MakeDir(Path("proc/sub"));
  ASSERT_EQ(Watch("proc", Folder("R", Path("arch"), Path("proc"))), EWatch::Watched);
  const std::string doc = Path("proc/sub/a.xml");
  m_Scratch.Write("proc/sub/a.xml", "<one/>");  // created, then written: one change
  ASSERT_TRUE(m_Hooks.WaitFor(doc, kActionAdded));
  Settle("proc/m1.xml");
  EXPECT_EQ(m_Hooks.Count(doc), 1) << "the write right after the creation is dropped";

  second = 1001;
  m_Scratch.Write("proc/sub/a.xml", "<two/>");
  m_Scratch.Write("proc/sub/a.xml", "<three/>");
  Settle("proc/m2.xml");
  EXPECT_EQ(m_Hooks.Count(doc, kActionModified), 1) << "the second write of the same second is dropped";
  // The filter remembers the last change of the watched directory: the marker came between.
  m_Scratch.Write("proc/sub/a.xml", "<four/>");
  Settle("proc/m3.xml");
  EXPECT_EQ(m_Hooks.Count(doc, kActionModified), 2);

  second = 1003;
  ASSERT_EQ(std::rename(doc.c_str(), Path("proc/b.pdf").c_str()), 0);
  ASSERT_TRUE(m_Hooks.WaitFor(Path("proc/b.pdf"), kActionRenamedNew));
  ASSERT_EQ(unlink(Path("proc/b.pdf").c_str()), 0);
  ASSERT_TRUE(m_Hooks.WaitFor(Path("proc/b.pdf"), kActionRemoved));
  const std::vector<FileChange> changes = m_Hooks.Changes();
  int out = -1, in = -1;
  for (size_t i = 0; i < changes.size(); ++i) {
    if (changes[i].strPath == doc && changes[i].nAction == kActionRenamedOld) out = static_cast<int>(i);
    if (changes[i].strPath == Path("proc/b.pdf") && changes[i].nAction == kActionRenamedNew) in = static_cast<int>(i);
    EXPECT_FALSE(changes[i].bDirectory);
  }
  ASSERT_GE(out, 0);
  EXPECT_LT(out, in) << "a rename is the old name, then the new";
  EXPECT_LE(changes[out].nQueuedAt, changes[in].nQueuedAt);
}

TEST_F(CDirectoriesWatcherTest, ADirectoryMovedInBringsEveryDocumentAndOneMovedOutOrDeletedTakesThemAlong) {
  testsupport::ScratchDir outside;
  for (int i = 0; i < 40; ++i) outside.Write("tree/d" + std::to_string(i % 4) + "/sub/doc" + std::to_string(i) + ".xml", "<x/>");
  outside.Write("tree/top.PDF", "%PDF");
  outside.Write("tree/notes.txt", "x");
  outside.Write("elsewhere/hidden.xml", "<x/>");
  ASSERT_EQ(symlink(outside.File("elsewhere").c_str(), outside.File("tree/link").c_str()), 0);
  ASSERT_EQ(symlink(outside.File("elsewhere/hidden.xml").c_str(), outside.File("tree/linked.xml").c_str()), 0);
  MakeDir(Path("proc"));
  MakeDir(Path("arch/SupA"));
  const FK::CFolder folder = Folder("R", Path("arch"), Path("proc"));
  ASSERT_EQ(Watch("proc", folder), EWatch::Watched);
  ASSERT_EQ(Watch("arch", folder), EWatch::Watched);

  ASSERT_EQ(std::rename(outside.File("tree").c_str(), Path("proc/in").c_str()), 0);
  for (int i = 0; i < 40; ++i) {
    const std::string doc = Path("proc/in/d" + std::to_string(i % 4) + "/sub/doc" + std::to_string(i) + ".xml");
    EXPECT_TRUE(m_Hooks.WaitFor(doc, kActionAdded)) << doc;
  }
  EXPECT_TRUE(m_Hooks.WaitFor(Path("proc/in/top.PDF"), kActionAdded));
  m_Scratch.Write("proc/in/d0/sub/after.xml", "<x/>");  // the moved tree is watched
  EXPECT_TRUE(m_Hooks.WaitFor(Path("proc/in/d0/sub/after.xml")));
  for (const FileChange& change : m_Hooks.Changes()) {
    EXPECT_EQ(change.strPath.find("hidden"), std::string::npos) << "links are not followed";
    EXPECT_EQ(change.strPath.find("linked"), std::string::npos) << "a link is no document";
    EXPECT_FALSE(change.bDirectory);
  }

  // Renamed within the tree: the old directory leaves, the new one arrives.
  ASSERT_EQ(std::rename(Path("proc/in").c_str(), Path("proc/renamed").c_str()), 0);
  EXPECT_TRUE(m_Hooks.WaitFor(Path("proc/in/"), kActionRenamedOld));
  EXPECT_TRUE(m_Hooks.WaitFor(Path("proc/renamed/top.PDF"), kActionAdded));
  // A first-level directory of an archive moved out is one directory change.
  ASSERT_EQ(std::rename(Path("arch/SupA").c_str(), outside.File("SupA").c_str()), 0);
  EXPECT_TRUE(m_Hooks.WaitFor(Path("arch/SupA/"), kActionRenamedOld));
  ASSERT_EQ(std::rename(Path("proc/renamed").c_str(), outside.File("gone").c_str()), 0);
  EXPECT_TRUE(m_Hooks.WaitFor(Path("proc/renamed/"), kActionRenamedOld));
  MakeDir(Path("proc/empty"));
  ASSERT_EQ(rmdir(Path("proc/empty").c_str()), 0);
  EXPECT_TRUE(m_Hooks.WaitFor(Path("proc/empty/"), kActionRemoved));
  outside.Write("gone/d0/sub/later.xml", "<x/>");
  Settle("proc/marker.xml");
  int directoryChanges = 0;
  for (const FileChange& change : m_Hooks.Changes()) {
    directoryChanges += change.bDirectory;
    EXPECT_EQ(change.strPath.find("later.xml"), std::string::npos) << "a tree moved out is no longer watched";
  }
  EXPECT_EQ(directoryChanges, 4);
  EXPECT_TRUE(m_Hooks.Reconciles().empty());
}

TEST_F(CDirectoriesWatcherTest, AQueueOverflowReconcilesEveryFolderOnceAndWatchingGoesOn) {
  std::ifstream limitFile("/proc/sys/fs/inotify/max_queued_events");
  long queueLimit = 0;
  limitFile >> queueLimit;
  if (queueLimit <= 0 || queueLimit > 100000) GTEST_SKIP() << "queue limit " << queueLimit << " too large";
  MakeDir(Path("a/proc"));
  MakeDir(Path("a/arch/SupA"));
  MakeDir(Path("b/proc"));
  const FK::CFolder first = Folder("A", Path("a/arch"), Path("a/proc"));
  const FK::CFolder second = Folder("B", Path("b/arch"), Path("b/proc"));
  ASSERT_EQ(Watch("a/proc", first), EWatch::Watched);
  ASSERT_EQ(Watch("a/arch", first), EWatch::Watched);
  ASSERT_EQ(Watch("b/proc", second), EWatch::Watched);
  m_Watcher.TreeForTest().SetReadingPausedForTest(true);
  for (long i = 0; i < queueLimit / 2 + 100; ++i) {
    const int fd = open(Path("a/proc/f" + std::to_string(i) + ".xml").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    close(fd);
  }
  m_Watcher.TreeForTest().SetReadingPausedForTest(false);
  EXPECT_TRUE(m_Hooks.WaitForReconcile("A", false));
  EXPECT_TRUE(m_Hooks.WaitForReconcile("B", false));
  Settle("a/arch/SupA/after.xml");
  EXPECT_EQ(m_Hooks.ReconcilesOf("A", false), 1) << "one folder, two directories: once";
  EXPECT_EQ(m_Hooks.ReconcilesOf("B", false), 1);
  EXPECT_EQ(m_Hooks.LinesWith("0 :error: Folder A: changes were lost"), 1);
  EXPECT_EQ(m_Hooks.LinesWith("0 :error: Folder B: changes were lost"), 1);
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

TEST_F(CDirectoriesWatcherTest, TheWatchLimitIsNamedWithItsRemedyAndTheFolderReconciledInEveryPass) {
  std::atomic<int> allowed{2};
  m_Watcher.TreeForTest().SetAddWatchForTest(LimitedAddWatch(allowed));
  MakeDir(Path("big/a/b/c"));
  MakeDir(Path("small"));
  EXPECT_EQ(Watch("big", Folder("BIG", Path("arch"), Path("big"))), EWatch::NotWatchable);
  ASSERT_TRUE(m_Hooks.WaitForLine("0 :error: Folder BIG: directory " + Path("big/") + " is not watched"));
  EXPECT_EQ(m_Hooks.LinesWith("fs.inotify.max_user_watches"), 1);
  EXPECT_EQ(m_Hooks.LinesWith("sysctl -w fs.inotify.max_user_watches="), 1);
  EXPECT_EQ(m_Hooks.LinesWith("/etc/sysctl.d"), 1);

  allowed = 2;
  const FK::CFolder small = Folder("SMALL", Path("arch"), Path("small"));
  ASSERT_EQ(Watch("small", small), EWatch::Watched);
  MakeDir(Path("small/one/two/three"));  // three directories, one watch left
  EXPECT_TRUE(m_Hooks.WaitForReconcile("SMALL", true));
  EXPECT_TRUE(m_Hooks.WaitForLine("0 :error: Folder SMALL: directory " + Path("small") + "/ is not watched"));
  EXPECT_EQ(m_Hooks.ReconcilesOf("SMALL", false), 0);

  // Given up means forgotten: watched again when asked once the limit is raised.
  allowed = 1000;
  ASSERT_EQ(Watch("small", small), EWatch::Watched);
  m_Scratch.Write("small/one/two/three/doc.xml", "<x/>");
  EXPECT_TRUE(m_Hooks.WaitFor(Path("small/one/two/three/doc.xml")));
}

TEST_F(CDirectoriesWatcherTest, AVanishedDirectoryIsSaidForgottenAndReconciledAndAMissingOneIsNotWatched) {
  MakeDir(Path("proc/sub"));
  const FK::CFolder folder = Folder("R", Path("arch"), Path("proc"));
  EXPECT_EQ(Watch("arch", folder), EWatch::Missing);
  EXPECT_EQ(m_Watcher.WatchFolder("", folder, Catalogue("R")), EWatch::Missing);
  m_Scratch.Write("plain.xml", "x");
  EXPECT_EQ(Watch("plain.xml", folder), EWatch::Missing);
  ASSERT_EQ(Watch("proc", folder), EWatch::Watched);
  ASSERT_EQ(std::rename(Path("proc").c_str(), Path("away").c_str()), 0);
  EXPECT_TRUE(m_Hooks.WaitForReconcile("R", false));
  EXPECT_EQ(m_Hooks.LinesWith("0 :error: Folder R: watched directory " + Path("proc") + "/ is gone"), 1);

  // Back again: watched again, and only where it is now.
  MakeDir(Path("proc"));
  ASSERT_EQ(Watch("proc", folder), EWatch::Watched);
  m_Scratch.Write("away/sub/old-place.xml", "<x/>");
  Settle("proc/new-place.xml");
  EXPECT_EQ(m_Hooks.Count(Path("away/sub/old-place.xml")), 0);
  EXPECT_EQ(m_Hooks.Count(Path("proc/sub/old-place.xml")), 0);
}

TEST_F(CDirectoriesWatcherTest, ANetworkDirectoryIsNotWatchedAndSaidOnce) {
  MakeDir(Path("share"));
  platform::CFileSystemType::OverrideForTests(1);
  const FK::CFolder folder = Folder("NET", Path("share"));
  EXPECT_EQ(Watch("share", folder), EWatch::NotWatchable);
  EXPECT_EQ(Watch("share/", folder), EWatch::NotWatchable);
  platform::CFileSystemType::OverrideForTests(-1);
  EXPECT_EQ(m_Hooks.LinesWith("0 Folder NET: directory " + Path("share/") + " lies on a network file system"), 1);
  EXPECT_EQ(m_Hooks.Lines().size(), 1u);
}

TEST_F(CDirectoriesWatcherTest, DirectoriesAreWatchedOncePerFolderAndSharedOnesReportToEveryFolder) {
  MakeDir(Path("shared/in"));
  const FK::CFolder first = Folder("A", Path("shared"));    // an archive
  const FK::CFolder second = Folder("B", Path("b"), Path("shared/in"));  // its processing directory inside A's
  const FK::CFolder third = Folder("C", Path("c"), Path("shared"));
  ASSERT_EQ(Watch("shared", first), EWatch::Watched);
  ASSERT_EQ(Watch("shared/", first), EWatch::Watched);
  ASSERT_EQ(Watch("./shared", first), EWatch::Watched);
  ASSERT_EQ(Watch("shared/in", second), EWatch::Watched);
  ASSERT_EQ(Watch("shared", third), EWatch::Watched);
  m_Scratch.Write("shared/in/doc.xml", "<x/>");
  const std::string doc = Path("shared/in/doc.xml");
  EXPECT_TRUE(testsupport::PollUntil([&] { return m_Hooks.Changes().size() >= 3; }, kWaitMs));
  Settle("shared/in/marker.xml");
  std::set<std::string> catalogues;
  for (const FileChange& change : m_Hooks.Changes()) {
    if (change.strPath == doc) catalogues.insert(change.strCatalogue);
  }
  EXPECT_EQ(catalogues, (std::set<std::string>{Catalogue("A"), Catalogue("B"), Catalogue("C")}));
}

TEST_F(CDirectoriesWatcherTest, StoppingAFolderEndsItsReportsOnlyAndWaitsForAReportUnderWay) {
  MakeDir(Path("a"));
  MakeDir(Path("b"));
  const FK::CFolder first = Folder("A", Path("xa"), Path("a"));
  const FK::CFolder second = Folder("B", Path("xb"), Path("b"));
  std::atomic<bool> holding{false};
  std::atomic<bool> release{false};
  m_Hooks.m_Block = [&](const FileChange& change) {
    if (change.strPath.find("hold.xml") == std::string::npos) return;
    holding = true;
    testsupport::PollUntil([&] { return release.load(); }, kWaitMs);
  };
  ASSERT_EQ(Watch("a", first), EWatch::Watched);
  ASSERT_EQ(Watch("b", second), EWatch::Watched);
  m_Scratch.Write("a/hold.xml", "<x/>");
  ASSERT_TRUE(testsupport::PollUntil([&] { return holding.load(); }, kWaitMs));
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    m_Watcher.StopWatchingFolder(first);
    stopped = true;
  });
  EXPECT_FALSE(testsupport::PollUntil([&] { return stopped.load(); }, 300)) << "the report under way completes first";
  release = true;
  stopper.join();
  const size_t afterStop = m_Hooks.Changes().size();
  m_Scratch.Write("a/after.xml", "<x/>");
  Settle("b/marker.xml");
  const std::vector<FileChange> changes = m_Hooks.Changes();
  for (size_t i = afterStop; i < changes.size(); ++i) {
    EXPECT_EQ(changes[i].strReference, "B") << changes[i].strPath << " reported after its folder was stopped";
  }
  // Stopped, it may be watched again.
  ASSERT_EQ(Watch("a", first), EWatch::Watched);
  Settle("a/again.xml");
}

TEST_F(CDirectoriesWatcherTest, StopAllWhileFoldersAreBeingWatchedEndsEverythingSoon) {
  constexpr int kDirs = 40;
  for (int i = 0; i < kDirs; ++i) MakeDir(Path("d" + std::to_string(i) + "/x/y"));
  std::vector<std::thread> watchers;
  std::atomic<int> watched{0};
  for (int t = 0; t < 2; ++t) {
    watchers.emplace_back([&, t] {
      for (int i = t; i < kDirs; i += 2) {
        const std::string ref = "F" + std::to_string(i);
        if (Watch("d" + std::to_string(i), Folder(ref, Path("arch" + ref), Path("d" + std::to_string(i)))) ==
            EWatch::Watched) {
          ++watched;
        }
        m_Scratch.Write("d" + std::to_string(i) + "/x/y/doc.xml", "<x/>");
      }
    });
  }
  ASSERT_TRUE(testsupport::PollUntil([&] { return watched.load() >= 4; }, kWaitMs));
  const auto start = std::chrono::steady_clock::now();
  m_Watcher.StopAll();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  for (std::thread& thread : watchers) thread.join();
  const size_t afterStop = m_Hooks.Changes().size();
  for (int i = 0; i < kDirs; ++i) m_Scratch.Write("d" + std::to_string(i) + "/x/after.xml", "<x/>");
  EXPECT_EQ(Watch("d0", Folder("LATE", Path("arch"), Path("d0"))), EWatch::NotWatchable);
  m_Watcher.StopAll();
  EXPECT_EQ(m_Hooks.Changes().size(), afterStop);
}

}  // namespace
