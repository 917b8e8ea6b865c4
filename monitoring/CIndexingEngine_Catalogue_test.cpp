#include "monitoring/CIndexingEngine.h"

#include <thread>

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "catalogue/CCatalogueIndexer.h"
#include "catalogue/LSearcher.h"
#include "monitoring/EngineGlobals.h"
#include "platform/CChildProcess.h"
#include "testsupport/EngineTestBed.h"
#include "testsupport/Polling.h"

namespace fs = boost::filesystem;

namespace {

bool WaitForFile(const std::string& path) {
  return testsupport::PollUntil([&] { return fs::exists(path); }, 20000);
}

TEST(CatalogueLayoutTest, CataloguePathFollowsTheSettingAndTheReference) {
  testsupport::EngineTestBed bed;
  FK::CFolder folder = bed.MakeFolder("R1");
  CIndexingEngine& engine = bed.Engine();
  EXPECT_EQ(engine.GetCataloguePath(folder), bed.Scratch().File("catalogues/R1"));
  for (const char* archiveMode : {"", "FOLDER_ARCHIVE_PATH"}) {
    bed.Parameters().PathCatalogues = archiveMode;
    EXPECT_EQ(engine.GetCataloguePath(folder), bed.Scratch().File("R1/Catalogue_IS/R1"));
    folder.SetArchivePath(bed.Scratch().File("R1/"));
    EXPECT_EQ(engine.GetCataloguePath(folder), bed.Scratch().File("R1/Catalogue_IS/R1"));
    FK::CFolder noArchive = folder;
    noArchive.SetArchivePath("");
    EXPECT_EQ(engine.GetCataloguePath(noArchive), "");
  }
  bed.Parameters().PathCatalogues = "folder_archive_path/";  // not the archive mode
  EXPECT_EQ(engine.GetCataloguePath(folder), "folder_archive_path/R1");
  // A reference that would leave the catalogue root, or name it, gives no catalogue.
  for (const char* reference : {"..", ".", "a/../../b", "x/y"}) {
    folder.SetReference(reference);
    EXPECT_EQ(engine.GetCataloguePath(folder), "") << reference;
  }
}

TEST(CatalogueLayoutTest, FolderDirectoriesAndUncForms) {
  testsupport::EngineTestBed bed;
  FK::CFolder folder;
  folder.SetArchivePath("/data/arch");
  folder.SetProcessingPath("/data/arch/processing");
  CIndexingEngine& engine = bed.Engine();
  EXPECT_EQ(engine.GetFolderDirectories(folder), (std::vector<std::string>{"/data/arch"}));
  folder.SetProcessingPath("/other/processing");
  EXPECT_EQ(engine.GetFolderDirectories(folder), (std::vector<std::string>{"/data/arch", "/other/processing"}));
  folder.SetArchivePath("");
  EXPECT_EQ(engine.GetFolderDirectories(folder), (std::vector<std::string>{""}));
  EXPECT_EQ(CIndexingEngine::GetUncPath(""), "");
  EXPECT_EQ(CIndexingEngine::GetUncPath("/a"), "/a/");
  EXPECT_EQ(CIndexingEngine::GetUncPath("/a/"), "/a/");
}

TEST(CatalogueLayoutTest, MarkersAndEmptying) {
  testsupport::EngineTestBed bed;
  const std::string catalogue = bed.Scratch().File("catalogues/M");
  fs::create_directories(catalogue + "/keep");
  CIndexingEngine& engine = bed.Engine();
  EXPECT_FALSE(engine.IsCatalogueMarkedForDeletion(catalogue));
  fs::create_directories(catalogue + "/_tobedeleted_");  // a directory of that name counts too
  EXPECT_TRUE(engine.IsCatalogueMarkedForDeletion(catalogue));
  fs::remove(catalogue + "/_tobedeleted_");
  bed.Scratch().Write("catalogues/M/_tobedeleted_", "");
  bed.Scratch().Write("catalogues/M/keep/inner", "x");
  const std::string invoice = bed.WriteInvoice("docs/a.xml", "Word");
  ASSERT_NE(engine.GetIndexer()->IndexDocument(invoice, catalogue, nullptr), 0);
  engine.GetIndexer()->ReleaseWriter();
  engine.EmptyCatalogue(catalogue);  // with the library's connection to it still open
  EXPECT_FALSE(engine.IsCatalogueMarkedForDeletion(catalogue));
  EXPECT_TRUE(fs::exists(catalogue + "/keep/inner"));
  EXPECT_EQ(LSearcher().Count(catalogue), 0);
  ASSERT_NE(engine.GetIndexer()->IndexDocument(invoice, catalogue, nullptr), 0);
  engine.GetIndexer()->ReleaseWriter();
  EXPECT_EQ(LSearcher().Count(catalogue), 1);
}

TEST(CatalogueLayoutTest, ForeignCatalogueIsEmptiedOnlyWhenNoneOfItsDocumentsIsTheFolders) {
  testsupport::EngineTestBed bed;
  const std::string catalogue = bed.Scratch().File("catalogues/D");
  fs::create_directories(catalogue);
  CIndexingEngine& engine = bed.Engine();
  ASSERT_NE(engine.GetIndexer()->IndexDocument(bed.WriteInvoice("old/a.xml", "W"), catalogue, nullptr), 0);
  engine.GetIndexer()->ReleaseWriter();
  engine.DiscardForeignCatalogue({bed.Scratch().File("new"), bed.Scratch().File("old")}, catalogue);
  EXPECT_EQ(engine.GetIndexer()->CountDocuments(catalogue), 1);
  engine.DiscardForeignCatalogue({bed.Scratch().File("new")}, catalogue);
  EXPECT_EQ(engine.GetIndexer()->CountDocuments(catalogue), 0);
}

TEST(CatalogueLayoutTest, StopMarkerAndWorkSlice) {
  testsupport::EngineTestBed bed;
  bed.Scratch().Write("program/_stop_", "");
  CIndexingEngine& engine = bed.Engine();  // a leftover marker is deleted
  EXPECT_FALSE(fs::exists(bed.Scratch().File("program/_stop_")));
  EXPECT_EQ(engine.CanContinue(), 1);
  fs::create_directories(bed.Scratch().File("program/_stop_"));
  EXPECT_EQ(engine.CanContinue(), 0);
  fs::remove(bed.Scratch().File("program/_stop_"));
  EXPECT_EQ(engine.CanContinue(), 1);
  engine.StopMonitoring();
  EXPECT_EQ(engine.CanContinue(), 0);
  CIndexingEngine unattached(nullptr);
  EXPECT_EQ(unattached.CanContinue(), 1);
  engine.SetWorkSlice(800);
  EXPECT_EQ(g_nWorkSliceSeconds.load(), 0);
  engine.SetWorkSlice(2000);
  EXPECT_EQ(g_nWorkSliceSeconds.load(), 2);
  engine.SetWorkSlice(1000);
}

class CatalogueLockTest : public ::testing::Test {
 protected:
  void TearDown() override { CIndexingEngine::UnlockCatalogue(); }
  testsupport::EngineTestBed m_Bed;  // its own lock directory
};

TEST_F(CatalogueLockTest, AnotherThreadOfTheProcessGetsZeroForTheHeldCatalogueOnly) {
  ASSERT_EQ(CIndexingEngine::LockCatalogue("/cat/A", 1), 1);
  EXPECT_TRUE(fs::exists(m_Bed.Scratch().File("locks/FKIndexingService lock catalog _cat_A")));
  int asked = -1, taken = -1, other = -1, afterRelease = -1;
  std::thread([&] {
    asked = CIndexingEngine::LockCatalogue("/cat/A", 0);
    taken = CIndexingEngine::LockCatalogue("/cat/A", 1);
    other = CIndexingEngine::LockCatalogue("/cat/B", 1);
    CIndexingEngine::UnlockCatalogue();  // not its lock: left alone
  }).join();
  EXPECT_EQ(asked, 0);
  EXPECT_EQ(taken, 0);
  EXPECT_EQ(other, 1);
  EXPECT_EQ(CIndexingEngine::LockCatalogue("/cat/a", 0), 1) << "the holder itself asks freely";
  ASSERT_EQ(CIndexingEngine::LockCatalogue("/cat/A", 1), 1);
  // The holding thread takes it again at will; after its release another thread gets it.
  CIndexingEngine::UnlockCatalogue();
  std::thread([&] {
    afterRelease = CIndexingEngine::LockCatalogue("/cat/A", 1);
    CIndexingEngine::UnlockCatalogue();
  }).join();
  EXPECT_EQ(afterRelease, 1);
}

TEST_F(CatalogueLockTest, AnotherProcessHoldingTheCatalogueGetsItsLockRefused) {
  const std::string held = m_Bed.Scratch().File("held");
  const std::string release = m_Bed.Scratch().File("release");
  platform::CChildProcess child;
  ASSERT_TRUE(child.Fork([&] {
    if (CIndexingEngine::LockCatalogue("/cat/P", 1) != 1) return 2;
    m_Bed.Scratch().Write("held", "");
    return WaitForFile(release) ? 0 : 3;
  }));
  ASSERT_TRUE(WaitForFile(held));
  EXPECT_EQ(CIndexingEngine::LockCatalogue("/cat/P", 1), 0);
  EXPECT_EQ(CIndexingEngine::GetCatalogueLockError(), "held by another process");
  EXPECT_EQ(CIndexingEngine::LockCatalogue("/cat/Q", 1), 1);  // the failed attempt is dropped
  EXPECT_EQ(CIndexingEngine::LockCatalogue("/cat/P", 1), 0);
  m_Bed.Scratch().Write("release", "");
  int exitCode = -1;
  EXPECT_TRUE(child.WaitForExit(20000, exitCode));
  EXPECT_EQ(exitCode, 0);
  EXPECT_EQ(CIndexingEngine::LockCatalogue("/cat/P", 1), 1);
}

}  // namespace
