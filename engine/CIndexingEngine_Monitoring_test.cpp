#include <ctime>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "engine/CIndexingEngine.h"
#include "platform/CFileSystemType.h"
#include "status/CStatusBoard.h"
#include "testsupport/CatalogueScratch.h"
#include "testsupport/EngineTestBed.h"
#include "testsupport/Polling.h"
#include "testsupport/StatusTrigger.h"

namespace fs = boost::filesystem;

namespace {

constexpr int kDeadlineMs = FK_SANITIZER_BUILD ? 180000 : 30000;

// An engine in monitoring mode, with settling delays short enough for a test.
class EngineMonitoringTest : public ::testing::Test {
 protected:
  EngineMonitoringTest() {
    m_Bed.Parameters().DisableMonitoring = 0;
    m_Bed.Parameters().XmlSettleMilliseconds = 20;
    m_Bed.Parameters().OtherSettleMilliseconds = 20;
  }

  std::set<std::string> Catalogued(const FK::CFolder& folder) {
    std::set<std::string> paths;
    for (const auto& [path, time] : testsupport::EngineTestBed::Documents(m_Bed.Engine().Layout().GetCataloguePath(folder))) {
      paths.insert(path);
    }
    return paths;
  }
  // True once the folder's catalogue holds exactly these documents (paths below the scratch directory).
  bool Reaches(const FK::CFolder& folder, const std::set<std::string>& relativePaths) {
    std::set<std::string> expected;
    for (const std::string& path : relativePaths) expected.insert(m_Bed.Scratch().File(path));
    return testsupport::PollUntil([&] { return Catalogued(folder) == expected; }, kDeadlineMs);
  }
  // Takes the folder table and runs the first pass, which starts the watches.
  CIndexingEngine& Start(const std::vector<FK::CFolder>& folders) {
    CIndexingEngine& engine = m_Bed.Engine();
    engine.ApplyFolderList(m_Bed.Table(folders), nullptr);
    engine.IndexAllFolders(nullptr);
    return engine;
  }
  int MonitoringStarted(const std::string& reference) {
    return m_Bed.Engine().GetFolderList()->GetFolder(reference).GetMonitoringStarted();
  }

  testsupport::EngineTestBed m_Bed;
};

TEST_F(EngineMonitoringTest, ChangesDuringAndAfterTheFirstPassReachTheCatalogue) {
  const FK::CFolder folder = m_Bed.MakeFolder("A");
  m_Bed.WriteInvoice("A/2026/a.xml", "Alpha");
  m_Bed.WriteInvoice("A/2026/b.xml", "Beta");
  m_Bed.WriteInvoice("A/2026/deep/c.xml", "Gamma");
  // In the middle of the walk, while the catalogue is locked: a document comes and one goes.
  testsupport::StatusTrigger duringWalk("Indexing Folder A...", [&] {
    m_Bed.WriteInvoice("A/2026/during.xml", "During");
    fs::remove(m_Bed.Scratch().File("A/2026/a.xml"));
  });
  CIndexingEngine& engine = m_Bed.Engine();
  engine.AddListener(&duringWalk);
  engine.ApplyFolderList(m_Bed.Table({folder}), nullptr);
  engine.IndexAllFolders(nullptr);
  duringWalk.Arm(false);
  EXPECT_EQ(MonitoringStarted("A"), 1);
  ASSERT_TRUE(Reaches(folder, {"A/2026/b.xml", "A/2026/deep/c.xml", "A/2026/during.xml"}));

  // Afterwards, with no pass: a new document, a rename, a removal, a new first-level directory.
  m_Bed.WriteInvoice("A/2026/deep/after.xml", "After");
  fs::rename(m_Bed.Scratch().File("A/2026/b.xml"), m_Bed.Scratch().File("A/2026/renamed.xml"));
  fs::remove(m_Bed.Scratch().File("A/2026/deep/c.xml"));
  m_Bed.WriteInvoice("A/2027/next.xml", "Next");
  m_Bed.WriteInvoice("A/top.xml", "Top");  // the archive directory's own documents, as the walks take them
  EXPECT_TRUE(Reaches(folder, {"A/2026/renamed.xml", "A/2026/deep/after.xml", "A/2026/during.xml",
                               "A/2027/next.xml", "A/top.xml"}));
}

// A document below "MyOriginals" or named like "invoice.fk2.xml" is taken, and one in "ORIGINALS"
// or "Catalogue_IS" or a ".FK$" companion left, alike by the first pass, a polling pass and a live change.
TEST_F(EngineMonitoringTest, LeftOutNamesHaveOneFateInTheFirstPassAPollingPassAndALiveChange) {
  const FK::CFolder folder = m_Bed.MakeFolder("A");
  const std::set<std::string> kept = {"A/MyOriginals/m.xml", "A/2026/invoice.fk2.xml", "A/2026/OriginalsWest/w.XML"};
  const std::set<std::string> leftOut = {"A/2026/ORIGINALS/o.xml", "A/Catalogue_is/c.xml", "A/2026/inv.FK$.xml"};
  const std::string catalogue = m_Bed.Engine().Layout().GetCataloguePath(folder);
  std::int64_t time = std::time(nullptr) - 3600;
  const auto writeAll = [&](const std::string& word) {
    time += 60;
    for (const auto* paths : {&leftOut, &kept}) {
      for (const std::string& path : *paths) {
        testsupport::EngineTestBed::SetModificationTime(m_Bed.WriteInvoice(path, word), time);
      }
    }
  };
  const auto holding = [&](const std::string& word) {
    std::set<std::string> found;
    for (const std::string& path : testsupport::CatalogueScratch::FindIn(catalogue, word)) {
      found.insert(path.substr(m_Bed.Scratch().File("A").size() - 1));
    }
    return found;
  };
  writeAll("Firstword");
  EXPECT_EQ(m_Bed.Walk(folder, true), 3);
  EXPECT_EQ(holding("Firstword"), kept);
  writeAll("Secondword");
  EXPECT_EQ(m_Bed.Walk(folder, false), 3);
  EXPECT_EQ(holding("Secondword"), kept);
  Start({folder});
  writeAll("Thirdword");
  EXPECT_TRUE(testsupport::PollUntil([&] { return holding("Thirdword") == kept; }, kDeadlineMs));
  EXPECT_EQ(Catalogued(folder).size(), kept.size());
}

TEST_F(EngineMonitoringTest, ADirectoryRenamedInsideTheTreeIsFollowedUnderItsNewName) {
  const FK::CFolder folder = m_Bed.MakeFolder("A");
  m_Bed.WriteInvoice("A/2026/old/a.xml", "Alpha");
  m_Bed.WriteInvoice("A/2026/old/sub/b.xml", "Beta");
  Start({folder});
  ASSERT_TRUE(Reaches(folder, {"A/2026/old/a.xml", "A/2026/old/sub/b.xml"}));
  // Within a first-level directory, and from one first-level directory to another.
  fs::rename(m_Bed.Scratch().File("A/2026/old"), m_Bed.Scratch().File("A/2026/new"));
  ASSERT_TRUE(Reaches(folder, {"A/2026/new/a.xml", "A/2026/new/sub/b.xml"}));
  m_Bed.WriteInvoice("A/2026/new/sub/c.xml", "Gamma");
  ASSERT_TRUE(Reaches(folder, {"A/2026/new/a.xml", "A/2026/new/sub/b.xml", "A/2026/new/sub/c.xml"}));
  fs::create_directories(m_Bed.Scratch().File("A/2027"));
  fs::rename(m_Bed.Scratch().File("A/2026/new"), m_Bed.Scratch().File("A/2027/moved"));
  m_Bed.WriteInvoice("A/2027/moved/d.xml", "Delta");
  EXPECT_TRUE(Reaches(folder, {"A/2027/moved/a.xml", "A/2027/moved/sub/b.xml", "A/2027/moved/sub/c.xml",
                               "A/2027/moved/d.xml"}));
}

TEST_F(EngineMonitoringTest, AFolderWithAMissingDirectoryIsReconciledUntilItIsWatched) {
  FK::CFolder folder = m_Bed.MakeFolder("P");
  folder.SetProcessingPath(m_Bed.Scratch().File("processing/P"));
  fs::create_directories(m_Bed.Scratch().File("P/2026"));
  CIndexingEngine& engine = Start({folder});
  EXPECT_EQ(MonitoringStarted("P"), 0) << "taken again by the next pass";

  m_Bed.WriteInvoice("processing/P/waiting.xml", "Waiting");
  engine.IndexAllFolders(nullptr);
  EXPECT_EQ(Catalogued(folder).count(m_Bed.Scratch().File("processing/P/waiting.xml")), 1u);
  EXPECT_EQ(MonitoringStarted("P"), 1);
  m_Bed.WriteInvoice("processing/P/watched.xml", "Watched");
  EXPECT_TRUE(Reaches(folder, {"processing/P/waiting.xml", "processing/P/watched.xml"}));
}

// The status board as the service publishes it: a first index in progress, then a watched
// folder and one on a network share, kept by passes.
TEST_F(EngineMonitoringTest, TheStatusShowsAFirstIndexInProgressAndWhyAFolderIsPolled) {
  const FK::CFolder folder = m_Bed.MakeFolder("A");
  m_Bed.WriteInvoice("A/2026/a.xml", "Alpha");
  m_Bed.WriteInvoice("A/2026/b.xml", "Beta");
  CStatusBoard board;
  ServiceStatus during;
  testsupport::StatusTrigger firstDocument("Indexing Folder A...", [&] {
    if (during.Folders.empty()) during = board.Snapshot();
  });
  CIndexingEngine& engine = m_Bed.Engine();
  engine.SetStatusBoard(&board);
  engine.AddListener(&firstDocument);
  Start({folder});
  ASSERT_EQ(during.Folders.size(), 1U);
  EXPECT_EQ(during.Phase, "reconciling");
  EXPECT_EQ(during.Folders[0].Phase, "reconciling");
  EXPECT_EQ(during.Folders[0].ReconcilingDirectory.find(m_Bed.Scratch().File("A")), 0U);
  EXPECT_EQ(during.Folders[0].DocumentsDone, 1);

  platform::CFileSystemType::OverrideForTests(1);
  const FK::CFolder share = m_Bed.MakeFolder("N");
  m_Bed.WriteInvoice("N/n.xml", "Net");
  engine.ApplyFolderList(m_Bed.Table({folder, share}), nullptr);
  engine.IndexAllFolders(nullptr);
  platform::CFileSystemType::OverrideForTests(-1);
  std::map<std::string, ServiceStatus::Folder> after;
  for (const ServiceStatus::Folder& entry : board.Snapshot().Folders) after[entry.Reference] = entry;
  ASSERT_EQ(after.size(), 2U);
  EXPECT_EQ(after["A"].Phase, "watching");
  EXPECT_EQ(after["A"].KeptBy, "watched");
  EXPECT_EQ(after["A"].DocumentsInCatalogue, 2);
  EXPECT_EQ(after["A"].LastPassOutcome, "done");
  EXPECT_GE(after["A"].InotifyWatches, 2);  // the archive and 2026/
  EXPECT_EQ(after["N"].Phase, "waiting");
  EXPECT_EQ(after["N"].KeptBy, "polled");
  EXPECT_EQ(after["N"].PolledReason, "network file system");
  EXPECT_EQ(after["N"].DocumentsInCatalogue, 1);
  EXPECT_EQ(after["N"].InotifyWatches, 0);
}

}  // namespace
