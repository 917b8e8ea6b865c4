#include "watch/CDirectoriesWatcher.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "platform/CFileSystemType.h"
#include "platform/CMutex.h"
#include "testsupport/InotifyLimits.h"
#include "testsupport/Polling.h"
#include "testsupport/ScratchDir.h"

namespace {

using EWatch = CDirectoriesWatcher::EWatch;

constexpr int kWaitMs = 30000;  // generous: a loaded machine delivers late

// What the watcher handed to its hooks, in order: the changes, and the status lines and reconcile
// requests as lines ("@reconcile R 0" for reference R, not in every pass).
class Hooks {
  platform::CMutex m_Mutex;
  std::vector<FileChange> m_Changes GUARDED_BY(m_Mutex);
  std::vector<std::string> m_Lines GUARDED_BY(m_Mutex);

  void AddLine(std::string line) {
    platform::CLockGuard lock(m_Mutex);
    m_Lines.push_back(std::move(line));
  }

 public:
  CDirectoriesWatcher::SHooks Make() {
    CDirectoriesWatcher::SHooks hooks;
    hooks.Enqueue = [this](FileChange change) {
      if (m_Block) m_Block(change);
      platform::CLockGuard lock(m_Mutex);
      m_Changes.push_back(std::move(change));
    };
    hooks.NeedsReconcile = [this](const std::string& reference, bool everyPass) {
      AddLine("@reconcile " + reference + (everyPass ? " 1" : " 0"));
    };
    hooks.SendStatus = [this](int kind, const std::string& text) { AddLine(std::to_string(kind) + " " + text); };
    return hooks;
  }
  std::vector<FileChange> Changes() {
    platform::CLockGuard lock(m_Mutex);
    return m_Changes;
  }
  int Count(const std::string& path, int action = 0) {
    const std::vector<FileChange> changes = Changes();
    return int(std::count_if(changes.begin(), changes.end(), [&](const FileChange& change) {
      return change.strPath == path && (action == 0 || change.nAction == action);
    }));
  }
  // Index of the first matching change, -1 when none.
  int IndexOf(const std::string& path, int action) {
    const std::vector<FileChange> changes = Changes();
    for (size_t i = 0; i < changes.size(); ++i) {
      if (changes[i].strPath == path && changes[i].nAction == action) return int(i);
    }
    return -1;
  }
  int LinesWith(const std::string& part) {
    platform::CLockGuard lock(m_Mutex);
    return int(std::count_if(m_Lines.begin(), m_Lines.end(),
                             [&](const std::string& line) { return line.find(part) != std::string::npos; }));
  }
  bool WaitFor(const std::string& path, int action = 0) {
    return testsupport::PollUntil([&] { return Count(path, action) > 0; }, kWaitMs);
  }
  bool WaitForLine(const std::string& part) {
    return testsupport::PollUntil([&] { return LinesWith(part) > 0; }, kWaitMs);
  }
  // Called on the watcher's thread before a change is recorded (set before watching).
  std::function<void(const FileChange&)> m_Block;
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
  // Events come in order: once a document written after some change is reported, that change has been handled too.
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

TEST_F(CDirectoriesWatcherTest, OnlyDocumentsOutsideLeftOutDirectoriesAreReportedNewDirectoriesIncluded) {
  // Below a directory whose name holds "Originals": the rule is for the names inside the archive only.
  const std::string archive = "OriginalsWork/archive/";
  for (const char* dir : {"SupA/sub", "Originals", "Catalogue_IS/R", "Originals.old"}) MakeDir(Path(archive + dir));
  MakeDir(Path("proc/CATALOGUE_is"));
  m_Scratch.Write(archive + "SupA/_STOP_FKINDEXING_MONITORING_", "");
  m_Scratch.Write(archive + "_STOP_FKINDEXING_MONITORING_", "");
  const FK::CFolder folder = Folder("R", Path(archive), Path("proc"));
  const std::string catalogue = Path(archive + "Catalogue_IS/R");
  ASSERT_EQ(m_Watcher.WatchFolder(Path("OriginalsWork/archive"), folder, catalogue), EWatch::Watched);
  ASSERT_EQ(m_Watcher.WatchFolder(Path("proc"), folder, catalogue), EWatch::Watched);
  EXPECT_FALSE(boost::filesystem::exists(Path(archive + "SupA/_STOP_FKINDEXING_MONITORING_")));
  EXPECT_FALSE(boost::filesystem::exists(Path(archive + "_STOP_FKINDEXING_MONITORING_")));

  const std::vector<std::string> dropped = {
      archive + "Originals/o.xml", archive + "Catalogue_IS/R/c.xml", archive + "SupA/sub/_STOP_FKINDEXING_MONITORING_",
      archive + "SupA/g.xml.bak",  "proc/CATALOGUE_is/b.xml",          "proc/deep/Originals/e.XML",
      "proc/e.FK$.xml"};
  for (const std::string& file : dropped) m_Scratch.Write(file, "<x/>");
  // The archive's own documents as the walks take them, and next year's directory with documents
  // written before its watch can be in place.
  std::vector<std::string> kept;
  for (const std::string& file : {archive + "top.xml", archive + "SupA/sub/a.xml", archive + "Originals.old/b.pdf",
                                  archive + "SupNew/2027/01/n.xml", archive + "SupNew/m.pdf"}) {
    kept.push_back(m_Scratch.Write(file, "<x/>"));
  }
  for (const std::string& file : kept) EXPECT_TRUE(m_Hooks.WaitFor(file)) << file;
  kept.push_back(m_Scratch.Write(archive + "SupNew/2027/later.xml", "<x/>"));
  EXPECT_TRUE(m_Hooks.WaitFor(kept.back()));
  Settle(archive + "SupA/marker.xml");
  Settle("proc/marker.xml");
  for (const FileChange& change : m_Hooks.Changes()) {
    EXPECT_TRUE(std::count(kept.begin(), kept.end(), change.strPath) == 1 ||
                change.strPath.find("/marker.xml") != std::string::npos)
        << change.strPath;
    EXPECT_EQ(change.strCatalogue, catalogue);
    EXPECT_EQ(change.strReference, "R");
    EXPECT_GT(change.nQueuedAt, 0);
  }
  EXPECT_EQ(m_Hooks.LinesWith("@reconcile "), 0);
}

TEST_F(CDirectoriesWatcherTest, EventsMapToActionsAndSameSecondRepeatsAreDropped) {
  std::atomic<std::int64_t> second{1000};
  m_Watcher.SetWallClockForTest([&second] { return second.load(); });
  const std::string existing = m_Scratch.Write("proc/sub/deeper/old.xml", "<x/>");
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
  const std::string renamed = Path("proc/b.pdf");
  ASSERT_EQ(std::rename(doc.c_str(), renamed.c_str()), 0);
  ASSERT_TRUE(m_Hooks.WaitFor(renamed, kActionRenamedNew));
  ASSERT_EQ(unlink(renamed.c_str()), 0);
  ASSERT_TRUE(m_Hooks.WaitFor(renamed, kActionRemoved));
  const std::vector<FileChange> changes = m_Hooks.Changes();
  // Both names in one catalogue: one change carries the old name with the new.
  const int in = m_Hooks.IndexOf(renamed, kActionRenamedNew);
  ASSERT_GE(in, 0);
  EXPECT_EQ(changes[in].strFromPath, doc) << "a rename is the old name with the new";
  EXPECT_EQ(m_Hooks.IndexOf(doc, kActionRenamedOld), -1);
  for (const FileChange& change : changes) EXPECT_FALSE(change.bDirectory) << change.strPath;
  EXPECT_EQ(m_Hooks.Count(existing), 0) << "a document there before the watch is the walks' business";
}

TEST_F(CDirectoriesWatcherTest, ADirectoryMovedInBringsEveryDocumentAndOneMovedOutOrDeletedTakesThemAlong) {
  testsupport::ScratchDir outside;
  const std::vector<std::string> docs = {"d0/sub/a.xml", "d0/sub/b.xml", "d1/sub/c.xml", "d1/d.xml", "top.PDF"};
  for (const std::string& doc : docs) outside.Write("tree/" + doc, "<x/>");
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
  for (const std::string& doc : docs) EXPECT_TRUE(m_Hooks.WaitFor(Path("proc/in/" + doc), kActionAdded)) << doc;
  m_Scratch.Write("proc/in/d0/sub/after.xml", "<x/>");  // the moved tree is watched
  EXPECT_TRUE(m_Hooks.WaitFor(Path("proc/in/d0/sub/after.xml")));

  // Renamed within the tree: one change moves its entries, and what it holds is listed.
  ASSERT_EQ(std::rename(Path("proc/in").c_str(), Path("proc/renamed").c_str()), 0);
  ASSERT_TRUE(m_Hooks.WaitFor(Path("proc/renamed"), kActionRenamedNew));
  EXPECT_EQ(m_Hooks.Changes()[m_Hooks.IndexOf(Path("proc/renamed"), kActionRenamedNew)].strFromPath, Path("proc/in"));
  EXPECT_TRUE(m_Hooks.WaitFor(Path("proc/renamed/top.PDF"), kActionAdded));
  m_Scratch.Write("proc/renamed/d0/sub/again.xml", "<x/>");
  EXPECT_TRUE(m_Hooks.WaitFor(Path("proc/renamed/d0/sub/again.xml")));
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
    EXPECT_EQ(change.strPath.find("hidden"), std::string::npos) << "links are not followed";
    EXPECT_EQ(change.strPath.find("linked"), std::string::npos) << "a link is no document";
    EXPECT_EQ(change.strPath.find("later.xml"), std::string::npos) << "a tree moved out is no longer watched";
  }
  EXPECT_EQ(directoryChanges, 4) << "three directories gone and one renamed, none for the trees that came";
  EXPECT_EQ(m_Hooks.LinesWith("@reconcile "), 0);
}

TEST_F(CDirectoriesWatcherTest, AQueueOverflowReconcilesEveryFolderOnceAndWatchingGoesOn) {
  const long queueLimit = testsupport::OverflowableQueueLimit();
  if (queueLimit == 0) GTEST_SKIP() << "the kernel's queue of events is too long to overflow";
  MakeDir(Path("a/proc"));
  MakeDir(Path("a/arch/SupA"));
  MakeDir(Path("b/proc"));
  const FK::CFolder first = Folder("A", Path("a/arch"), Path("a/proc"));
  ASSERT_EQ(Watch("a/proc", first), EWatch::Watched);
  ASSERT_EQ(Watch("a/arch", first), EWatch::Watched);
  ASSERT_EQ(Watch("b/proc", Folder("B", Path("b/arch"), Path("b/proc"))), EWatch::Watched);
  m_Watcher.TreeForTest().SetReadingPausedForTest(true);
  ASSERT_TRUE(testsupport::TouchFiles(Path("a/proc/f"), ".xml", queueLimit / 2 + 100));
  m_Watcher.TreeForTest().SetReadingPausedForTest(false);
  EXPECT_TRUE(m_Hooks.WaitForLine("@reconcile A 0"));
  EXPECT_TRUE(m_Hooks.WaitForLine("@reconcile B 0"));
  Settle("a/arch/SupA/after.xml");
  EXPECT_EQ(m_Hooks.LinesWith("@reconcile A 0"), 1) << "one folder, two directories: once";
  EXPECT_EQ(m_Hooks.LinesWith("@reconcile B 0"), 1);
  EXPECT_EQ(m_Hooks.LinesWith("0 :error: Folder A: changes were lost"), 1);
  EXPECT_EQ(m_Hooks.LinesWith("0 :error: Folder B: changes were lost"), 1);
}

TEST_F(CDirectoriesWatcherTest, TheWatchLimitIsNamedWithItsRemedyAndTheFolderReconciledInEveryPass) {
  std::atomic<int> allowed{2};
  m_Watcher.TreeForTest().SetAddWatchForTest(testsupport::LimitedAddWatch(allowed));
  MakeDir(Path("big/a/b/c"));
  MakeDir(Path("small"));
  EXPECT_EQ(Watch("big", Folder("BIG", Path("arch"), Path("big"))), EWatch::NotWatchable);
  ASSERT_TRUE(m_Hooks.WaitForLine("0 :error: Folder BIG: directory " + Path("big/") + " is not watched"));
  EXPECT_EQ(m_Hooks.LinesWith("sysctl -w fs.inotify.max_user_watches="), 1);
  EXPECT_EQ(m_Hooks.LinesWith("/etc/sysctl.d"), 1);

  allowed = 2;
  const FK::CFolder small = Folder("SMALL", Path("arch"), Path("small"));
  ASSERT_EQ(Watch("small", small), EWatch::Watched);
  MakeDir(Path("small/one/two/three"));  // three directories, one watch left
  EXPECT_TRUE(m_Hooks.WaitForLine("@reconcile SMALL 1"));
  EXPECT_TRUE(m_Hooks.WaitForLine("0 :error: Folder SMALL: directory " + Path("small") + "/ is not watched"));
  EXPECT_EQ(m_Hooks.LinesWith("@reconcile SMALL 0"), 0);

  // Given up means forgotten: watched again when asked once the limit is raised.
  allowed = 1000;
  ASSERT_EQ(Watch("small", small), EWatch::Watched);
  Settle("small/one/two/three/doc.xml");
}

TEST_F(CDirectoriesWatcherTest, AMissingOrNetworkDirectoryIsNotWatched) {
  MakeDir(Path("share"));
  const FK::CFolder folder = Folder("R", Path("arch"), Path("proc"));
  EXPECT_EQ(Watch("arch", folder), EWatch::Missing);
  EXPECT_EQ(m_Watcher.WatchFolder("", folder, Catalogue("R")), EWatch::Missing);
  m_Scratch.Write("plain.xml", "x");
  EXPECT_EQ(Watch("plain.xml", folder), EWatch::Missing);
  platform::CFileSystemType::OverrideForTests(1);
  const FK::CFolder network = Folder("NET", Path("share"));
  EXPECT_EQ(Watch("share", network), EWatch::NotWatchable);
  EXPECT_EQ(Watch("share/", network), EWatch::NotWatchable);
  platform::CFileSystemType::OverrideForTests(-1);
  EXPECT_EQ(m_Hooks.LinesWith("0 Folder NET: directory " + Path("share/") + " lies on a network file system"), 1);
  EXPECT_EQ(m_Hooks.LinesWith("Folder R"), 0);
}

TEST_F(CDirectoriesWatcherTest, DirectoriesAreWatchedOncePerFolderAndSharedOnesReportToEveryFolder) {
  MakeDir(Path("shared/in"));
  const FK::CFolder first = Folder("A", Path("shared"));  // an archive
  ASSERT_EQ(Watch("shared", first), EWatch::Watched);
  ASSERT_EQ(Watch("shared/", first), EWatch::Watched);
  ASSERT_EQ(Watch("./shared", first), EWatch::Watched);
  ASSERT_EQ(Watch("shared/in", Folder("B", Path("b"), Path("shared/in"))), EWatch::Watched);  // inside A's
  ASSERT_EQ(Watch("shared", Folder("C", Path("c"), Path("shared"))), EWatch::Watched);
  const std::string doc = m_Scratch.Write("shared/in/doc.xml", "<x/>");
  EXPECT_TRUE(testsupport::PollUntil([&] { return m_Hooks.Count(doc) >= 3; }, kWaitMs));
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
  std::atomic<bool> holding{false};
  std::atomic<bool> release{false};
  m_Hooks.m_Block = [&](const FileChange& change) {
    if (change.strPath.find("hold.xml") == std::string::npos) return;
    holding = true;
    testsupport::PollUntil([&] { return release.load(); }, kWaitMs);
  };
  ASSERT_EQ(Watch("a", first), EWatch::Watched);
  ASSERT_EQ(Watch("b", Folder("B", Path("xb"), Path("b"))), EWatch::Watched);
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

TEST_F(CDirectoriesWatcherTest, StopAllWhileFoldersAreBeingWatchedEndsEverything) {
  constexpr int kDirs = 40;
  for (int i = 0; i < kDirs; ++i) MakeDir(Path("d" + std::to_string(i) + "/x/y"));
  std::vector<std::thread> watchers;
  std::atomic<int> watched{0};
  for (int t = 0; t < 2; ++t) {
    watchers.emplace_back([&, t] {
      for (int i = t; i < kDirs; i += 2) {
        const std::string dir = "d" + std::to_string(i);
        watched += Watch(dir, Folder("F" + dir, Path("arch" + dir), Path(dir))) == EWatch::Watched;
        m_Scratch.Write(dir + "/x/y/doc.xml", "<x/>");
      }
    });
  }
  ASSERT_TRUE(testsupport::PollUntil([&] { return watched.load() >= 4; }, kWaitMs));
  m_Watcher.StopAll();
  for (std::thread& thread : watchers) thread.join();
  const size_t afterStop = m_Hooks.Changes().size();
  for (int i = 0; i < kDirs; ++i) m_Scratch.Write("d" + std::to_string(i) + "/x/after.xml", "<x/>");
  EXPECT_EQ(Watch("d0", Folder("LATE", Path("arch"), Path("d0"))), EWatch::NotWatchable);
  m_Watcher.StopAll();
  EXPECT_EQ(m_Hooks.Changes().size(), afterStop);
}

}  // namespace
