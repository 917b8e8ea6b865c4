#include "engine/CIndexingEngine.h"

#include <gtest/gtest.h>

#include "testsupport/EngineTestBed.h"
#include "testsupport/StatusTrigger.h"

namespace {

class IndexingCycleTest : public ::testing::Test {
 protected:
  FK::CFolder InForce(const std::string& reference) { return m_Bed.Engine().GetFolderList()->GetFolder(reference); }
  testsupport::EngineTestBed m_Bed;
};

TEST_F(IndexingCycleTest, NoFolderUsingTheServiceIsReportedOncePerPass) {
  CIndexingEngine& engine = m_Bed.Engine();
  engine.IndexAllFolders(nullptr);  // no table yet: nothing at all
  EXPECT_TRUE(m_Bed.Listener().Messages().empty());
  engine.ApplyFolderList(m_Bed.Table({}), nullptr);
  engine.IndexAllFolders(nullptr);
  engine.IndexAllFolders(nullptr);
  EXPECT_EQ(m_Bed.Listener().Count(0, ":error: No folder use Indexing Service"), 2);

  FK::CFolder off = m_Bed.MakeFolder("OFF");
  off.SetUseMIS(0);
  FK::CFolder noCatalogue = m_Bed.MakeFolder("NC");
  noCatalogue.SetReference("..");  // uses the service but has no catalogue
  m_Bed.Listener().Clear();
  engine.ApplyFolderList(m_Bed.Table({off, noCatalogue}), nullptr);
  engine.IndexAllFolders(nullptr);
  EXPECT_EQ(m_Bed.Listener().Count(0, ":error: No folder use Indexing Service"), 0);
}

TEST_F(IndexingCycleTest, ChangedFoldersStartAgainAndUnchangedOnesKeepTheirRecord) {
  m_Bed.Parameters().DisableMonitoring = 0;
  CIndexingEngine& engine = m_Bed.Engine();
  FK::CFolder same = m_Bed.MakeFolder("S");
  FK::CFolder moved = m_Bed.MakeFolder("M");
  m_Bed.WriteInvoice("S/s.xml", "Word");
  m_Bed.WriteInvoice("M/m.xml", "Word");
  m_Bed.WriteInvoice("M2/n.xml", "Word");
  engine.ApplyFolderList(m_Bed.Table({same, moved}), nullptr);
  EXPECT_EQ(m_Bed.Listener().Count(0, "Checking Folder S"), 1);
  EXPECT_EQ(m_Bed.Listener().Count(0, ":sub: " + same.GetArchivePath()), 1);
  engine.IndexAllFolders(nullptr);
  EXPECT_EQ(InForce("S").GetMonitoringStarted(), 1);
  EXPECT_EQ(m_Bed.Count(moved), 1);

  FK::CFolder renamed = same;
  renamed.SetName("Renamed");
  FK::CFolder movedAgain = moved;
  movedAgain.SetArchivePath(m_Bed.Scratch().File("M2"));
  engine.ApplyFolderList(m_Bed.Table({renamed, movedAgain}), nullptr);
  EXPECT_EQ(InForce("S").GetName(), "Folder S") << "the old record is kept, old name included";
  EXPECT_EQ(InForce("S").GetMonitoringStarted(), 1);
  EXPECT_EQ(InForce("M").GetMonitoringStarted(), 0);
  EXPECT_EQ(m_Bed.Count(moved), 0) << "none of the new directory's documents";

  m_Bed.Listener().Clear();
  engine.IndexAllFolders(nullptr);
  EXPECT_EQ(m_Bed.Listener().Count(0, "starting monitoring for folder Folder S"), 0);
  EXPECT_EQ(m_Bed.Listener().Count(0, "starting monitoring for folder Folder M"), 1);
  EXPECT_EQ(m_Bed.Count(moved), 1);

  // A directory whose name changed only in case is another directory here.
  FK::CFolder recased = movedAgain;
  recased.SetArchivePath(m_Bed.Scratch().File("m2"));
  engine.ApplyFolderList(m_Bed.Table({renamed, recased}), nullptr);
  EXPECT_EQ(InForce("M").GetArchivePath(), m_Bed.Scratch().File("m2"));
}

TEST_F(IndexingCycleTest, StopMarkerEndsTheNewTableLoopButTheTableIsTakenOver) {
  CIndexingEngine& engine = m_Bed.Engine();
  const FK::CFolder first = m_Bed.MakeFolder("A1");
  const FK::CFolder second = m_Bed.MakeFolder("A2");
  const auto writeMarker = [&] { m_Bed.Scratch().Write("program/_stop_", ""); };
  testsupport::StatusTrigger stopper("Checking Folder A1", writeMarker);
  testsupport::StatusTrigger stopper2("Checking Folder A2", writeMarker);
  engine.AddListener(&stopper);
  engine.AddListener(&stopper2);
  engine.ApplyFolderList(m_Bed.Table({first, second}), nullptr);
  EXPECT_EQ(m_Bed.Listener().Count(0, "Checking Folder A1") + m_Bed.Listener().Count(0, "Checking Folder A2"), 1);
  EXPECT_EQ(InForce("A1").GetReference(), "A1");
  EXPECT_EQ(InForce("A2").GetReference(), "A2");
  engine.IndexAllFolders(nullptr);  // stopped: nothing, not even the no-folder line
  EXPECT_FALSE(m_Bed.Listener().HasPrefix("starting monitoring"));
  EXPECT_FALSE(m_Bed.Listener().HasPrefix(":error:"));
}

}  // namespace
