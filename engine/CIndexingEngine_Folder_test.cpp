#include "engine/CIndexingEngine.h"

#include <cstdint>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "testsupport/EngineTestBed.h"
#include "testsupport/StatusTrigger.h"

namespace fs = boost::filesystem;

namespace {

class ProcessFolderTest : public ::testing::Test {
 protected:
  testsupport::EngineTestBed m_Bed;
};

TEST_F(ProcessFolderTest, CreatesRebuildsAndSkipsAsTheCatalogueStateSays) {
  m_Bed.Parameters().DisableMonitoring = 0;
  CIndexingEngine& engine = m_Bed.Engine();
  FK::CFolder folder = m_Bed.MakeFolder("A");
  folder.SetProcessingPath(m_Bed.Scratch().File("elsewhere/processing"));
  m_Bed.WriteInvoice("A/a.xml", "Word");
  m_Bed.WriteInvoice("A/b.xml", "Word");
  engine.ProcessFolder(folder, 1, nullptr);  // no catalogue yet: created, fresh walk
  EXPECT_EQ(m_Bed.Count(folder), 2);
  EXPECT_EQ(m_Bed.Listener().Count(0, "directory " + folder.GetProcessingPath() + " doesn't exist"), 1);
  EXPECT_EQ(m_Bed.Listener().Count(0, "starting monitoring for folder Folder A"), 1);

  folder.SetMonitoringStarted(1);
  m_Bed.Listener().Clear();
  engine.ProcessFolder(folder, 1, nullptr);  // monitored: returns at once
  EXPECT_TRUE(m_Bed.Listener().Messages().empty());

  const std::string catalogue = engine.GetCataloguePath(folder);
  m_Bed.Scratch().Write("catalogues/A/_tobedeleted_", "");
  fs::remove(m_Bed.Scratch().File("A/b.xml"));
  engine.ProcessFolder(folder, 0, nullptr);
  EXPECT_EQ(folder.GetMonitoringStarted(), 0);
  EXPECT_FALSE(fs::exists(catalogue + "/_tobedeleted_"));
  EXPECT_EQ(m_Bed.Count(folder), 1) << "rebuilt from the documents on disk";

  folder.SetMonitoringStarted(1);
  fs::remove_all(catalogue);
  engine.ProcessFolder(folder, 1, nullptr);  // a deleted catalogue comes back
  EXPECT_EQ(m_Bed.Count(folder), 1);
}

TEST_F(ProcessFolderTest, ADamagedCatalogueIsMovedAsideAndRebuiltWhileOthersGoOn) {
  CIndexingEngine& engine = m_Bed.Engine();
  const FK::CFolder damaged = m_Bed.MakeFolder("D");
  const FK::CFolder healthy = m_Bed.MakeFolder("H");
  m_Bed.WriteInvoice("D/d1.xml", "Word");
  m_Bed.WriteInvoice("D/sub/d2.xml", "Word");
  m_Bed.WriteInvoice("H/h.xml", "Word");
  const std::string garbage(8192, 'x');
  m_Bed.Scratch().Write("catalogues/D/catalogue.sqlite", garbage);
  engine.ApplyFolderList(m_Bed.Table({damaged, healthy}), nullptr);
  engine.IndexAllFolders(nullptr);
  EXPECT_EQ(m_Bed.Count(damaged), 2);
  EXPECT_EQ(m_Bed.Count(healthy), 1);
  const std::string prefix = ":error: Damaged catalogue " + engine.GetCataloguePath(damaged);
  ASSERT_TRUE(m_Bed.Listener().HasPrefix(prefix));
  std::string aside;
  for (const std::string& line : m_Bed.Listener().Texts(0)) {
    if (line.rfind(prefix, 0) == 0) aside = line.substr(line.find(" moved aside to ") + 16);
  }
  ASSERT_FALSE(aside.empty());
  EXPECT_EQ(fs::path(aside).parent_path().string(), engine.GetCataloguePath(damaged));
  EXPECT_EQ(m_Bed.Scratch().Read(aside + "/catalogue.sqlite"), garbage) << "kept for inspection";
  // The next pass finds a sound catalogue: no new report.
  m_Bed.Listener().Clear();
  engine.IndexAllFolders(nullptr);
  EXPECT_FALSE(m_Bed.Listener().HasPrefix(":error:"));
  EXPECT_EQ(m_Bed.Count(damaged), 2);
}

TEST_F(ProcessFolderTest, AFailureInsideAFoldersPassEndsOnlyThatPass) {
  m_Bed.Parameters().DisableMonitoring = 0;
  CIndexingEngine& engine = m_Bed.Engine();
  // Throws once, as a failing library call would.
  testsupport::StatusTrigger thrower("Indexing Folder F1...", [&] {
    thrower.Arm(false);
    throw std::runtime_error("disk went away");
  });
  engine.AddListener(&thrower);
  const FK::CFolder failing = m_Bed.MakeFolder("F1");
  const FK::CFolder next = m_Bed.MakeFolder("F2");
  m_Bed.WriteInvoice("F1/a.xml", "Word");
  m_Bed.WriteInvoice("F2/b.xml", "Word");
  engine.ApplyFolderList(m_Bed.Table({failing, next}), nullptr);
  engine.IndexAllFolders(nullptr);
  EXPECT_EQ(m_Bed.Listener().Count(0, ":sub: :error: Folder F1: disk went away"), 1);
  EXPECT_EQ(m_Bed.Count(next), 1);
  EXPECT_EQ(engine.GetFolderList()->GetFolder("F1").GetMonitoringStarted(), 0) << "tried again next pass";
  EXPECT_EQ(engine.GetFolderList()->GetFolder("F2").GetMonitoringStarted(), 1);
  int lockedByOther = -1;
  std::thread([&] {
    lockedByOther = CIndexingEngine::LockCatalogue(engine.GetCataloguePath(failing), 1);
    CIndexingEngine::UnlockCatalogue();
  }).join();
  EXPECT_EQ(lockedByOther, 1) << "the failed pass released the catalogue lock";
  engine.IndexAllFolders(nullptr);
  EXPECT_EQ(m_Bed.Count(failing), 1);
  EXPECT_EQ(engine.GetFolderList()->GetFolder("F1").GetMonitoringStarted(), 1);
}

TEST_F(ProcessFolderTest, AWalkCutShortIsCompletedByTheNextOneDespiteTheEarlyStop) {
  CIndexingEngine& engine = m_Bed.Engine();
  FK::CFolder folder = m_Bed.MakeFolder("A");
  m_Bed.WriteNewerInvoices("A", "f", 5);
  const std::string catalogue = engine.GetCataloguePath(folder);
  fs::create_directories(catalogue);  // an existing catalogue: the reconciling walk, newest first
  // The walks look for the marker by time: the trigger's marker is seen at the next look.
  std::int64_t markerClock = 0;
  engine.SetMarkerClock([&] { return markerClock; });
  testsupport::StatusTrigger stopper("Indexing Folder A...", [&] {
    m_Bed.Scratch().Write("program/_stop_", "");
    markerClock += CIndexingEngine::kStopMarkerRecheckMilliseconds;
  });
  engine.AddListener(&stopper);
  engine.ProcessFolder(folder, 1, nullptr);
  EXPECT_EQ(m_Bed.Count(folder), 1) << "stopped after the newest file";
  EXPECT_TRUE(fs::exists(catalogue + "/_walk_incomplete_"));

  stopper.Arm(false);
  fs::remove(m_Bed.Scratch().File("program/_stop_"));
  engine.ProcessFolder(folder, 1, nullptr);
  EXPECT_EQ(m_Bed.Count(folder), 5);
  EXPECT_FALSE(fs::exists(catalogue + "/_walk_incomplete_"));

  // A fresh walk cut short is run fresh again.
  m_Bed.Scratch().Write("catalogues/A/_tobedeleted_", "");
  stopper.Arm(true);
  engine.ProcessFolder(folder, 1, nullptr);
  EXPECT_EQ(m_Bed.Scratch().Read(catalogue + "/_walk_incomplete_"), "fresh\n");
  stopper.Arm(false);
  fs::remove(m_Bed.Scratch().File("program/_stop_"));
  engine.ProcessFolder(folder, 1, nullptr);
  EXPECT_EQ(m_Bed.Count(folder), 5);
}

}  // namespace
