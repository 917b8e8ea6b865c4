#include "engine/CIndexingEngine.h"

#include <thread>

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "catalogue/CCatalogueIndexer.h"
#include "platform/CChildProcess.h"
#include "testsupport/EngineTestBed.h"
#include "testsupport/Polling.h"

namespace fs = boost::filesystem;

namespace {

bool WaitForFile(const std::string& path) {
  return testsupport::PollUntil([&] { return fs::exists(path); }, 20000);
}

class CatalogueLayoutTest : public ::testing::Test {
 protected:
  testsupport::EngineTestBed m_Bed;
  CIndexingEngine& m_Engine = m_Bed.Engine();
};

TEST_F(CatalogueLayoutTest, CataloguePathFollowsTheSettingAndTheReference) {
  FK::CFolder folder = m_Bed.MakeFolder("R1");
  EXPECT_EQ(m_Engine.GetCataloguePath(folder), m_Bed.Scratch().File("catalogues/R1"));
  for (const char* archiveMode : {"", "FOLDER_ARCHIVE_PATH"}) {
    m_Bed.Parameters().PathCatalogues = archiveMode;
    EXPECT_EQ(m_Engine.GetCataloguePath(folder), m_Bed.Scratch().File("R1/Catalogue_IS/R1"));
    folder.SetArchivePath(m_Bed.Scratch().File("R1/"));
    EXPECT_EQ(m_Engine.GetCataloguePath(folder), m_Bed.Scratch().File("R1/Catalogue_IS/R1"));
    FK::CFolder noArchive = folder;
    noArchive.SetArchivePath("");
    EXPECT_EQ(m_Engine.GetCataloguePath(noArchive), "");
  }
  m_Bed.Parameters().PathCatalogues = "folder_archive_path/";  // not the archive mode
  EXPECT_EQ(m_Engine.GetCataloguePath(folder), "folder_archive_path/R1");
  // A reference that would leave the catalogue root, or name it, gives no catalogue.
  for (const char* reference : {"..", ".", "a/../../b", "x/y"}) {
    folder.SetReference(reference);
    EXPECT_EQ(m_Engine.GetCataloguePath(folder), "") << reference;
  }
}

// Whole path components count: "/srv/arch2" is not inside "/srv/arch".
TEST_F(CatalogueLayoutTest, AProcessingDirectoryInsideTheArchiveIsNotASecondDirectory) {
  FK::CFolder folder;
  folder.SetArchivePath("/srv/arch");
  folder.SetProcessingPath("/srv/arch2/in");
  EXPECT_EQ(m_Engine.GetFolderDirectories(folder), (std::vector<std::string>{"/srv/arch", "/srv/arch2/in"}));
  folder.SetProcessingPath("/srv/arch/in");
  EXPECT_EQ(m_Engine.GetFolderDirectories(folder), (std::vector<std::string>{"/srv/arch"}));
  folder.SetArchivePath("/srv/arch/");
  folder.SetProcessingPath("/srv/arch");
  EXPECT_EQ(m_Engine.GetFolderDirectories(folder), (std::vector<std::string>{"/srv/arch/"}));
  folder.SetArchivePath("");
  EXPECT_EQ(m_Engine.GetFolderDirectories(folder), (std::vector<std::string>{""}));
}

// Whole path components count, and a Catalogue_IS directory (never walked) may hold catalogues.
TEST_F(CatalogueLayoutTest, ACatalogueDirectoryInsideAFolderDirectoryIsRefused) {
  FK::CFolder folder = m_Bed.MakeFolder("R");
  folder.SetArchivePath("/srv/arch/");
  FK::CFolder other = m_Bed.MakeFolder("O");
  other.SetArchivePath("/srv/other");
  other.SetProcessingPath("/srv/in//");
  other.SetUseMIS(0);  // its documents count all the same
  m_Engine.ApplyFolderList(m_Bed.Table({folder, other}), nullptr);
  EXPECT_EQ(m_Engine.RefusedCatalogueReason(folder, "/srv/arch"),
            "Catalogue directory /srv/arch is the folder directory /srv/arch of folder R");
  EXPECT_EQ(m_Engine.RefusedCatalogueReason(folder, "/srv/other/./cat/R"),
            "Catalogue directory /srv/other/./cat/R lies inside the folder directory /srv/other of folder O");
  EXPECT_NE(m_Engine.RefusedCatalogueReason(folder, "/srv/in/R"), "");
  EXPECT_EQ(m_Engine.RefusedCatalogueReason(folder, "/srv/arch2/R"), "");
  EXPECT_EQ(m_Engine.RefusedCatalogueReason(folder, "/srv/R"), "");
  EXPECT_EQ(m_Engine.RefusedCatalogueReason(folder, "/srv/arch/Catalogue_IS/R"), "");
  EXPECT_EQ(m_Engine.RefusedCatalogueReason(folder, "/srv/arch/sub/CATALOGUE_IS/R"), "");
  EXPECT_NE(m_Engine.RefusedCatalogueReason(folder, "/srv/arch/Catalogue_IS2/R"), "");
  // A folder not in the table (yet) is checked against its own directories.
  FK::CFolder lone = m_Bed.MakeFolder("L");
  lone.SetArchivePath("/data/lone");
  EXPECT_NE(m_Engine.RefusedCatalogueReason(lone, "/data/lone/cat/L"), "");
  // A catalogue root that is a symbolic link into an archive lies inside it all the same.
  const FK::CFolder linked = m_Bed.MakeFolder("S");
  boost::filesystem::create_directories(linked.GetArchivePath() + "/inner");
  boost::filesystem::create_directory_symlink(linked.GetArchivePath() + "/inner", m_Bed.Scratch().File("cats"));
  EXPECT_NE(m_Engine.RefusedCatalogueReason(linked, m_Bed.Scratch().File("cats/S")), "");
  EXPECT_EQ(m_Engine.RefusedCatalogueReason(linked, m_Bed.Scratch().File("catalogues/S")), "");
}

TEST_F(CatalogueLayoutTest, ForeignCatalogueIsEmptiedOnlyWhenNoneOfItsDocumentsIsTheFolders) {
  const std::string catalogue = m_Bed.Scratch().File("catalogues/D");
  fs::create_directories(catalogue);
  ASSERT_NE(m_Engine.GetIndexer()->IndexDocument(m_Bed.WriteInvoice("old/a.xml", "W"), catalogue, nullptr), 0);
  m_Engine.GetIndexer()->ReleaseWriter();
  m_Engine.DiscardForeignCatalogue({m_Bed.Scratch().File("new"), m_Bed.Scratch().File("old")}, catalogue);
  EXPECT_EQ(m_Engine.GetIndexer()->CountDocuments(catalogue), 1);
  m_Engine.DiscardForeignCatalogue({m_Bed.Scratch().File("new")}, catalogue);
  EXPECT_EQ(m_Engine.GetIndexer()->CountDocuments(catalogue), 0);
}

class CatalogueLockTest : public ::testing::Test {
 protected:
  void TearDown() override { CIndexingEngine::UnlockCatalogue(); }
  testsupport::EngineTestBed m_Bed;  // its own lock directory
};

// The lock is per thread: another thread of the process is refused the held catalogue only,
// and each thread holds its own catalogue's lock at the same time.
TEST_F(CatalogueLockTest, ThreadsOfTheProcessGetZeroForACatalogueHeldByAnother) {
  ASSERT_EQ(CIndexingEngine::LockCatalogue("/cat/A", 1), 1);
  EXPECT_TRUE(fs::exists(m_Bed.Scratch().File("locks/FKIndexingService lock catalog _cat_A")));
  int asked = -1, taken = -1, other = -1, otherAsked = -1, afterRelease = -1;
  std::thread([&] {
    asked = CIndexingEngine::LockCatalogue("/cat/A", 0);
    taken = CIndexingEngine::LockCatalogue("/cat/A", 1);
    other = CIndexingEngine::LockCatalogue("/cat/B", 1);
    otherAsked = CIndexingEngine::LockCatalogue("/cat/B", 0);
    std::thread([&] { EXPECT_EQ(CIndexingEngine::LockCatalogue("/cat/B", 1), 0); }).join();
    CIndexingEngine::UnlockCatalogue();  // releases its own lock only
  }).join();
  EXPECT_EQ(asked, 0);
  EXPECT_EQ(taken, 0);
  EXPECT_EQ(other, 1);
  EXPECT_EQ(otherAsked, 1);
  EXPECT_EQ(CIndexingEngine::LockCatalogue("/cat/a", 0), 1) << "the holder itself asks freely";
  ASSERT_EQ(CIndexingEngine::LockCatalogue("/cat/A", 1), 1);
  CIndexingEngine::UnlockCatalogue();
  std::thread([&] {
    afterRelease = CIndexingEngine::LockCatalogue("/cat/A", 1);
    CIndexingEngine::UnlockCatalogue();
  }).join();
  EXPECT_EQ(afterRelease, 1);
  EXPECT_EQ(CIndexingEngine::LockCatalogue("/cat/B", 1), 1) << "released by its holder";
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
