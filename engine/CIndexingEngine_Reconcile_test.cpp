#include "engine/CIndexingEngine.h"

#include <ctime>
#include <fstream>
#include <set>

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "catalogue/CCatalogueSnapshot.h"
#include "catalogue/LConnectionRegistry.h"
#include "catalogue/LDatabase.h"
#include "catalogue/LIndexer.h"
#include "platform/CDirectoryNames.h"
#include "platform/CFileSystemType.h"
#include "testsupport/CatalogueScratch.h"
#include "testsupport/EngineTestBed.h"
#include "testsupport/Polling.h"
#include "walk/CFolderDirectoryPass.h"

namespace fs = boost::filesystem;

namespace {

// The early-stop tests run on the bed's clock, moved past files dated in the future: their
// arrival times are their modification times, whatever the file system's listing order.
class ReconcileTest : public ::testing::Test {
 protected:
  int Walk(const FK::CFolder& folder, bool fresh) { return m_Bed.Walk(folder, fresh); }
  std::map<std::string, std::string> Documents(const FK::CFolder& folder) {
    return testsupport::EngineTestBed::Documents(m_Bed.Engine().Layout().GetCataloguePath(folder));
  }
  std::string Path(const std::string& relative) const { return m_Bed.Scratch().File(relative); }
  std::string WriteAt(const std::string& relative, std::int64_t seconds) {
    const std::string path = m_Bed.WriteInvoice(relative, "Word");
    testsupport::EngineTestBed::SetModificationTime(path, seconds);
    return path;
  }

  testsupport::EngineTestBed m_Bed;
  const FK::CFolder m_Folder = m_Bed.MakeFolder("A");
  const std::int64_t m_nBase = std::time(nullptr) + 10000;
};

TEST(StopRuleTest, ALevelEndsOnlyAtAFileThatArrivedBeforeTheLastCompleteWalkWithAMargin) {
  const std::int64_t started = 1800000000;
  EXPECT_FALSE(CFolderDirectoryPass::MayEndLevelAt(started - 1000, std::nullopt)) << "no record: the level is walked in full";
  EXPECT_TRUE(CFolderDirectoryPass::MayEndLevelAt(started - 2, started));
  EXPECT_FALSE(CFolderDirectoryPass::MayEndLevelAt(started - 1, started)) << "a second of margin";
  EXPECT_FALSE(CFolderDirectoryPass::MayEndLevelAt(started + 5, started));
}

TEST_F(ReconcileTest, NewestUnchangedFileEndsItsLevelButSubDirectoriesAreStillWalked) {
  const std::string older = WriteAt("A/older.xml", m_nBase - 100);
  WriteAt("A/newest.xml", m_nBase - 50);
  m_Bed.WriteInvoice("A/sub/s1.xml", "Sub");
  m_Bed.SetNow(m_nBase);  // the fresh walk starts after both files arrived
  EXPECT_EQ(Walk(m_Folder, true), 3);
  m_Bed.Engine().GetIndexer()->RemoveDocument(older, m_Bed.Engine().Layout().GetCataloguePath(m_Folder));
  const std::string added = WriteAt("A/sub/s2.xml", m_nBase + 5);  // arrived after that walk began
  m_Bed.SetNow(m_nBase + 10);
  EXPECT_EQ(Walk(m_Folder, false), 1);
  const auto documents = Documents(m_Folder);
  EXPECT_EQ(documents.count(older), 0u) << "an older file of an up-to-date level is not looked at";
  EXPECT_EQ(documents.count(added), 1u);
  EXPECT_EQ(documents.size(), 3u);
}

TEST_F(ReconcileTest, FilesOfTheSameSecondAsTheNewestCataloguedOneAreAllTaken) {
  WriteAt("A/first.xml", m_nBase);
  m_Bed.SetNow(m_nBase);  // a walk in the very second the burst arrives
  EXPECT_EQ(Walk(m_Folder, true), 1);
  for (int i = 0; i < 24; ++i) WriteAt("A/burst" + std::to_string(i) + ".xml", m_nBase);
  m_Bed.SetNow(m_nBase + 30);
  EXPECT_EQ(Walk(m_Folder, false), 24) << "whatever the listing order puts before the catalogued file";
  EXPECT_EQ(Documents(m_Folder).size(), 25u);
  EXPECT_EQ(Walk(m_Folder, false), 0);
}

// A walk that was stopped records nothing: the unchanged newest file, arrived after the last
// complete walk began, cannot end its level.
TEST_F(ReconcileTest, FilesThatArrivedDuringOrAfterTheLastCompleteWalkAreAllChecked) {
  const std::string older = WriteAt("A/older.xml", m_nBase - 100);
  WriteAt("A/newest.xml", m_nBase - 50);
  m_Bed.SetNow(m_nBase - 1000);  // the walk started before both arrived: it proves nothing of them
  EXPECT_EQ(Walk(m_Folder, true), 2);
  m_Bed.Engine().Pacing().SetMarkerClock([n = std::int64_t{1} << 50]() mutable { return n += 1000; });  // never a cached answer
  const std::string marker = m_Bed.Parameters().ProgramDirectory + "_stop_";
  { std::ofstream(marker.c_str()); }
  ASSERT_EQ(m_Bed.Engine().CanContinueWalk(), 0);
  m_Bed.SetNow(m_nBase);
  EXPECT_EQ(Walk(m_Folder, false), 0);
  fs::remove(marker);
  m_Bed.Engine().GetIndexer()->RemoveDocument(older, m_Bed.Engine().Layout().GetCataloguePath(m_Folder));
  m_Bed.SetNow(m_nBase + 10);
  EXPECT_EQ(Walk(m_Folder, false), 1) << "the record is still the walk that began before both arrived";
  EXPECT_EQ(Documents(m_Folder).count(older), 1u);
}

TEST_F(ReconcileTest, WithoutARecordOfACompleteWalkEveryLevelIsWalkedInFull) {
  const std::string older = WriteAt("A/older.xml", m_nBase - 100);
  const std::string newest = WriteAt("A/newest.xml", m_nBase - 50);
  // A catalogue written by the library alone (as before the record existed) has no record.
  const std::string catalogue = m_Bed.Engine().Layout().GetCataloguePath(m_Folder);
  fs::create_directories(catalogue);
  {
    LIndexer indexer;
    LWriter* writer = indexer.GetWriter(catalogue);
    ASSERT_NE(writer, nullptr);
    ASSERT_EQ(indexer.Index(writer, newest), 1);
    ASSERT_TRUE(indexer.ReleaseWriter(writer));
  }
  m_Bed.SetNow(m_nBase);
  EXPECT_EQ(Walk(m_Folder, false), 1);
  EXPECT_EQ(Documents(m_Folder).count(older), 1u);
  // Now that a complete walk is recorded, the next one ends the level at the newest file.
  m_Bed.Engine().GetIndexer()->RemoveDocument(older, m_Bed.Engine().Layout().GetCataloguePath(m_Folder));
  m_Bed.SetNow(m_nBase + 10);
  EXPECT_EQ(Walk(m_Folder, false), 0);
  // Unless the record lies in the future, as a clock that was ahead leaves it: not trusted.
  m_Bed.SetNow(m_nBase + 5);
  EXPECT_EQ(Walk(m_Folder, false), 1);
  EXPECT_EQ(Documents(m_Folder).count(older), 1u);
  EXPECT_EQ(m_Bed.Listener().Count(0, ":sub: :error: Catalogue " + catalogue + ": the last complete walk of " +
                                          Path("A/") + " is recorded as begun in the future (a clock that was "
                                          "ahead): it is not trusted, the directory is walked in full"),
            1);
}

TEST_F(ReconcileTest, AFileCopiedInWithAnOldModificationTimeIsTakenFirst) {
  WriteAt("A/first.xml", 1000000000);
  WriteAt("A/second.xml", 1000000100);
  EXPECT_EQ(Walk(m_Folder, true), 2);
  // The copy must arrive in a later second than the catalogued files' status changes.
  const std::time_t catalogued = std::time(nullptr);
  testsupport::PollUntil([&] { return std::time(nullptr) != catalogued; }, 3000);
  const std::string copied = WriteAt("A/copied.xml", 900000000);  // as cp -p leaves it
  EXPECT_EQ(Walk(m_Folder, false), 1);
  EXPECT_EQ(Documents(m_Folder).count(copied), 1u);
}

TEST_F(ReconcileTest, ChangedDocumentIsReplacedWithDebugLines) {
  m_Bed.Parameters().IsDebugAction = 1;
  const std::string invoice = m_Bed.WriteInvoice("A/inv.xml", "Amberline");
  EXPECT_EQ(Walk(m_Folder, true), 1);
  m_Bed.WriteInvoice("A/inv.xml", "Bracken");
  testsupport::EngineTestBed::SetModificationTime(invoice, std::time(nullptr) + 500);
  m_Bed.Listener().Clear();
  EXPECT_EQ(Walk(m_Folder, false), 1);
  EXPECT_EQ(m_Bed.Listener().Count(5, "remove file " + invoice), 1);
  EXPECT_EQ(m_Bed.Listener().Count(5, "index file " + invoice), 1);
  EXPECT_EQ(m_Bed.Listener().Count(2, "Indexing Folder A..."), 1);
  const std::string catalogue = m_Bed.Engine().Layout().GetCataloguePath(m_Folder);
  EXPECT_EQ(testsupport::CatalogueScratch::FindIn(catalogue, "Bracken"), std::vector<std::string>{invoice});
  EXPECT_EQ(testsupport::CatalogueScratch::FindIn(catalogue, "Amberline"), std::vector<std::string>{});
  EXPECT_EQ(m_Bed.Count(m_Folder), 1);
  // The fresh walk over a catalogue that holds the changed file replaces it as well.
  m_Bed.WriteInvoice("A/inv.xml", "Cinderwick");
  testsupport::EngineTestBed::SetModificationTime(invoice, std::time(nullptr) + 900);
  m_Bed.Listener().Clear();
  EXPECT_EQ(Walk(m_Folder, true), 1);
  EXPECT_EQ(m_Bed.Listener().Count(6, "remove file " + invoice), 1);
  EXPECT_EQ(m_Bed.Count(m_Folder), 1);
}

TEST_F(ReconcileTest, NameRulesOfTheTwoWalks) {
  const char* tree[] = {"a.xml",          "b.pdf",          "invoice.fk2.xml",     "inv.FK$.xml",
                        "notes.txt",      "ORIGINALS/o.xml", "x/originals/o2.xml", "Catalogue_IS/c.xml",
                        "Originals2/d.xml", "OriginalsWest/w.xml"};
  // A document deeper than the system's longest path, built (and taken down) by renames of
  // short paths: said and left out, not a listing that fails.
  const std::string level(200, 'n');
  const int kLevels = 22;
  const auto deep = [&](int i) { return Path("deep" + std::to_string(i)); };
  const auto buildDeep = [&](const std::string& into) {
    m_Bed.WriteInvoice("deep0/long.xml", "Word");
    for (int i = 1; i <= kLevels; ++i) {
      fs::create_directory(deep(i));
      fs::rename(deep(i - 1), deep(i) + "/" + level);
    }
    fs::rename(deep(kLevels), into);
  };
  const auto takeDownDeep = [&](const std::string& from) {
    fs::rename(from, deep(kLevels));
    for (int i = kLevels; i >= 1; --i) fs::rename(deep(i) + "/" + level, deep(i - 1));
    fs::remove_all(deep(0));
  };
  for (const std::string ref : {"F", "R"}) {
    for (const char* name : tree) m_Bed.WriteInvoice(ref + "/" + name, "Word");
    buildDeep(Path(ref + "/deep"));
  }
  Walk(m_Bed.MakeFolder("F"), true);
  Walk(m_Bed.MakeFolder("R"), false);
  EXPECT_FALSE(m_Bed.Listener().HasPrefix(":sub: :error: Cannot list directory "));
  int tooLong = 0;
  for (const std::string& line : m_Bed.Listener().Texts(0)) {
    tooLong += line.rfind(":sub: :error: Path too long for the system, left out: " + Path(""), 0) == 0 ? 1 : 0;
  }
  EXPECT_EQ(tooLong, 2);
  for (const std::string ref : {"F", "R"}) takeDownDeep(Path(ref + "/deep"));
  auto names = [this](const std::string& ref) {
    std::set<std::string> result;
    for (const auto& entry : Documents(m_Bed.MakeFolder(ref))) result.insert(entry.first.substr(Path(ref + "/").size()));
    return result;
  };
  // Both walks leave out the directories named "Originals" or "Catalogue_IS" (whole name, any case).
  const std::set<std::string> kept = {"a.xml", "b.pdf", "invoice.fk2.xml", "Originals2/d.xml", "OriginalsWest/w.xml"};
  EXPECT_EQ(names("F"), kept);
  EXPECT_EQ(names("R"), kept);

  // Only the path below the archive counts: an archive under an Originals-like name is walked.
  FK::CFolder below = m_Bed.MakeFolder("B");
  below.SetArchivePath(Path("OriginalsWork/B"));
  m_Bed.WriteInvoice("OriginalsWork/B/sub/a.xml", "Word");
  m_Bed.WriteInvoice("OriginalsWork/B/sub/Originals/o.xml", "Word");
  EXPECT_EQ(Walk(below, false), 1);
  const auto documents = Documents(below);
  ASSERT_EQ(documents.size(), 1u);
  EXPECT_EQ(documents.begin()->first, Path("OriginalsWork/B/sub/a.xml"));
}

TEST_F(ReconcileTest, ExcludedDirectoriesAreLeftOutAtAnyDepth) {
  FK::CFolder folder = m_Folder;
  folder.SetScanningPath(Path("A/deep/er/scan"));
  folder.SetOriginalPath(Path("A/orig/"));
  folder.SetEInvoicesPath(Path("A/x/einvoices"));
  for (const char* name : {"deep/er/scan/s.xml", "orig/o.xml", "x/einvoices/e.xml", "deep/er/kept.xml"}) {
    m_Bed.WriteInvoice(std::string("A/") + name, "Word");
  }
  EXPECT_EQ(Walk(folder, true), 1);
  EXPECT_EQ(Walk(folder, false), 0);
  const auto documents = Documents(folder);
  ASSERT_EQ(documents.size(), 1u);
  EXPECT_EQ(documents.begin()->first, Path("A/deep/er/kept.xml"));
}

TEST_F(ReconcileTest, AnUnlistableDirectoryEndsOnlyItsOwnPass) {
  const std::string catalogue = m_Bed.Engine().Layout().GetCataloguePath(m_Folder);
  fs::create_directories(catalogue);
  CFolderDirectoryPass pass(m_Bed.Engine().WalkHost(), m_Folder, catalogue, nullptr);
  const std::string missing = Path("A/gone/");
  pass.LoadSnapshot(missing, true);
  pass.Reconcile(missing);
  pass.IndexFresh(missing);
  const auto lines = m_Bed.Listener().Texts(0);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind(":sub: :error: Cannot list directory " + missing + ": ", 0), 0u) << lines[0];
  // A file where a directory was expected is reported the same way.
  pass.Reconcile(m_Bed.WriteInvoice("A/plain.xml", "Word") + "/");
  EXPECT_EQ(m_Bed.Listener().Texts(0).size(), 3u);
  EXPECT_EQ(pass.Indexed(), 0);
  EXPECT_TRUE(pass.WalkIncomplete());
}

TEST_F(ReconcileTest, PacingPausesOnlyWhenTheWorkSliceIsUsedUp) {
  // Each measure walks a folder of its own with six new files.
  auto pausesForNewFiles = [&](const std::string& reference) {
    const FK::CFolder folder = m_Bed.MakeFolder(reference);
    m_Bed.WriteNewerInvoices(reference, "f", 6);
    m_Bed.Listener().Clear();
    Walk(folder, false);
    EXPECT_EQ(Documents(folder).size(), 6u) << reference;
    return m_Bed.Listener().Count(3, "");
  };
  EXPECT_EQ(pausesForNewFiles("frozen"), 0) << "a frozen clock never uses up the slice";
  m_Bed.SetClockStep(1);  // every reading of the clock is one second later
  const int medium = pausesForNewFiles("medium");
  EXPECT_GE(m_Bed.Listener().Count(1, "Waiting for file to index..."), 1);
  m_Bed.Engine().Pacing().SetWorkSlice(800);
  const int low = pausesForNewFiles("low");
  m_Bed.Engine().Pacing().SetWorkSlice(2000);
  const int high = pausesForNewFiles("high");
  EXPECT_GT(high, 0);
  EXPECT_GT(medium, high);
  EXPECT_GT(low, medium);
}

TEST_F(ReconcileTest, AFreshWalkLeavesEveryPageInTheDatabaseFileAndNoneOnlyInItsLog) {
  for (int i = 0; i < 40; ++i) m_Bed.WriteInvoice("A/d" + std::to_string(i % 3) + "/" + std::to_string(i) + ".xml", "Word");
  EXPECT_EQ(Walk(m_Folder, true), 40);
  const std::string catalogue = m_Bed.Engine().Layout().GetCataloguePath(m_Folder);
  // The writer's connection stays open: only a checkpoint has put the pages in the file.
  const std::uintmax_t pages = std::stoull(testsupport::CatalogueScratch::Pragma(catalogue, "page_count"));
  const std::uintmax_t pageSize = std::stoull(testsupport::CatalogueScratch::Pragma(catalogue, "page_size"));
  EXPECT_EQ(fs::file_size(catalogue + "/catalogue.sqlite"), pages * pageSize);
  EXPECT_EQ(Documents(m_Folder).size(), 40u);
  EXPECT_EQ(testsupport::CatalogueScratch::FtsIntegrityCheck(catalogue), "ok");
}

// With a rollback journal, a write transaction that outgrew its page cache holds the exclusive
// lock until its commit: the walk's look-ups must not need a lock of their own then.
TEST_F(ReconcileTest, OnARollbackJournalTheWalkIsNotLockedOutByItsOwnUncommittedWrites) {
  platform::CFileSystemType::OverrideForTests(1);
  LDatabase::SetBusyTimeoutForTests(50);
  WriteAt("A/older.xml", m_nBase - 100);
  m_Bed.SetNow(m_nBase);
  EXPECT_EQ(Walk(m_Folder, true), 1);
  WriteAt("A/added.xml", m_nBase + 5);
  m_Bed.SetNow(m_nBase + 10);
  const std::string catalogue = m_Bed.Engine().Layout().GetCataloguePath(m_Folder);
  CFolderDirectoryPass pass(m_Bed.Engine().WalkHost(), m_Folder, catalogue, nullptr);
  pass.LoadSnapshot(Path("A/"), false);
  LCatalogueError error;
  ASSERT_TRUE(LConnectionRegistry::With(catalogue, [](LDatabase& db) { return db.Exec("BEGIN EXCLUSIVE"); }, error))
      << error.Message;
  pass.Reconcile(Path("A/"));
  EXPECT_EQ(pass.Indexed(), 1) << "the unchanged older file is known without a look-up";
  m_Bed.Engine().GetIndexer()->ReleaseWriter();
  EXPECT_EQ(Documents(m_Folder).size(), 2u);
  LIndexer::CloseCatalogue(catalogue);
  LDatabase::SetBusyTimeoutForTests(0);
  platform::CFileSystemType::OverrideForTests(-1);
}

TEST_F(ReconcileTest, CleanerDropsVanishedAndLeftOutDocumentsButKeepsAMissingDirectorysEntries) {
  const std::string kept = m_Bed.WriteInvoice("A/kept.xml", "Word");
  const std::string gone = m_Bed.WriteInvoice("A/sub/gone.xml", "Word");
  m_Bed.WriteInvoice("A/sub/other.xml", "Word");
  EXPECT_EQ(Walk(m_Folder, true), 3);
  fs::remove(gone);
  // Stored by a service whose walks took it: no walk nor change would ever update it again.
  const std::string catalogue = m_Bed.Engine().Layout().GetCataloguePath(m_Folder);
  m_Bed.Engine().GetIndexer()->IndexDocument(m_Bed.WriteInvoice("A/x/ORIGINALS/o.xml", "Word"), catalogue, {});
  m_Bed.Engine().GetIndexer()->ReleaseWriter();
  CFolderDirectoryPass pass(m_Bed.Engine().WalkHost(), m_Folder, catalogue, nullptr);
  pass.Clean(Path("A/"));
  auto documents = Documents(m_Folder);
  EXPECT_EQ(documents.size(), 2u);
  EXPECT_EQ(documents.count(kept), 1u);
  fs::remove_all(Path("A/sub"));
  pass.Clean(Path("A/sub/"));
  EXPECT_EQ(Documents(m_Folder).size(), 2u);
  EXPECT_TRUE(m_Bed.Listener().HasPrefix(":sub: :error: Directory " + Path("A/sub/") + " is missing or empty"));
  m_Bed.Listener().Clear();
  pass.Clean(Path("B/"));  // nothing under it: no line at all
  EXPECT_TRUE(m_Bed.Listener().Messages().empty());
}

// The cleaner takes the walk's listings: a level the walk ended early was listed whole, and a
// file that came after its directory was listed is looked up on its own.
TEST_F(ReconcileTest, CleanerOnTheWalksListingsDropsWhatIsGoneAndKeepsWhatCameAfter) {
  WriteAt("A/old1.xml", m_nBase - 300);
  const std::string gone = WriteAt("A/old2.xml", m_nBase - 200);
  WriteAt("A/newest.xml", m_nBase - 100);
  m_Bed.SetNow(m_nBase);
  EXPECT_EQ(Walk(m_Folder, true), 3);
  fs::remove(gone);
  m_Bed.SetNow(m_nBase + 10);
  const std::string catalogue = m_Bed.Engine().Layout().GetCataloguePath(m_Folder);
  platform::CDirectoryNames listed;
  CFolderDirectoryPass pass(m_Bed.Engine().WalkHost(), m_Folder, catalogue, nullptr);
  pass.ShareListings(&listed);
  pass.LoadSnapshot(Path("A/"), false);
  pass.Reconcile(Path("A/"));
  EXPECT_EQ(pass.Snapshot().GetLookUpCount(), 1) << "the level ended at its newest file";
  const std::string late = m_Bed.WriteInvoice("A/late.xml", "Word");  // caught by the watch, say
  m_Bed.Engine().GetIndexer()->IndexDocument(late, catalogue, {});
  m_Bed.Engine().GetIndexer()->ReleaseWriter();
  EXPECT_EQ(listed.Holds(Path("A/"), "old1.xml"), 1);
  EXPECT_EQ(listed.Holds(Path("A/"), "late.xml"), 0);
  pass.Clean(Path("A/"));
  const auto documents = Documents(m_Folder);
  EXPECT_EQ(documents.count(gone), 0u);
  EXPECT_EQ(documents.count(late), 1u);
  EXPECT_EQ(documents.size(), 3u);
}

}  // namespace
