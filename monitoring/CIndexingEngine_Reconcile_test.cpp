#include "monitoring/CIndexingEngine.h"

#include <ctime>
#include <fstream>
#include <set>

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "catalogue/CCatalogueSnapshot.h"
#include "catalogue/LIndexer.h"
#include "monitoring/CFolderDirectoryPass.h"
#include "testsupport/CatalogueScratch.h"
#include "testsupport/EngineTestBed.h"
#include "testsupport/Polling.h"

namespace fs = boost::filesystem;

namespace {

class ReconcileTest : public ::testing::Test {
 protected:
  int Walk(const FK::CFolder& folder, bool fresh) { return m_Bed.Walk(folder, fresh); }
  std::map<std::string, std::string> Documents(const FK::CFolder& folder) {
    return testsupport::EngineTestBed::Documents(m_Bed.Engine().GetCataloguePath(folder));
  }
  std::string Path(const std::string& relative) const { return m_Bed.Scratch().File(relative); }

  testsupport::EngineTestBed m_Bed;
};

// The tests of the early stop run on the bed's clock, moved past files dated in the future:
// their arrival times are their modification times, whatever the file system's listing order.
TEST(StopRuleTest, ALevelEndsOnlyAtAFileThatArrivedBeforeTheLastCompleteWalkWithAMargin) {
  const std::int64_t started = 1800000000;
  EXPECT_FALSE(CIndexingEngine::MayEndLevelAt(started - 1000, std::nullopt)) << "no record: the level is walked in full";
  EXPECT_TRUE(CIndexingEngine::MayEndLevelAt(started - 2, started));
  EXPECT_FALSE(CIndexingEngine::MayEndLevelAt(started - 1, started)) << "a second of margin";
  EXPECT_FALSE(CIndexingEngine::MayEndLevelAt(started, started));
  EXPECT_FALSE(CIndexingEngine::MayEndLevelAt(started + 5, started));
}

TEST_F(ReconcileTest, NewestUnchangedFileEndsItsLevelButSubDirectoriesAreStillWalked) {
  const FK::CFolder folder = m_Bed.MakeFolder("A");
  const std::int64_t base = std::time(nullptr) + 10000;
  const std::string older = m_Bed.WriteInvoice("A/older.xml", "Older");
  const std::string newest = m_Bed.WriteInvoice("A/newest.xml", "Newest");
  m_Bed.WriteInvoice("A/sub/s1.xml", "Sub");
  testsupport::EngineTestBed::SetModificationTime(older, base - 100);
  testsupport::EngineTestBed::SetModificationTime(newest, base - 50);
  m_Bed.SetNow(base);  // the fresh walk starts after both files arrived
  EXPECT_EQ(Walk(folder, true), 3);

  m_Bed.Engine().RemoveFile(older, folder);
  const std::string added = m_Bed.WriteInvoice("A/sub/s2.xml", "Added");
  testsupport::EngineTestBed::SetModificationTime(added, base + 5);  // arrived after that walk began
  m_Bed.SetNow(base + 10);
  EXPECT_EQ(Walk(folder, false), 1);
  const auto documents = Documents(folder);
  EXPECT_EQ(documents.count(older), 0u) << "an older file of an up-to-date level is not looked at";
  EXPECT_EQ(documents.count(added), 1u);
  EXPECT_EQ(documents.size(), 3u);
}

TEST_F(ReconcileTest, FilesOfTheSameSecondAsTheNewestCataloguedOneAreAllTaken) {
  const FK::CFolder folder = m_Bed.MakeFolder("A");
  const std::int64_t second = std::time(nullptr) + 10000;
  testsupport::EngineTestBed::SetModificationTime(m_Bed.WriteInvoice("A/first.xml", "First"), second);
  m_Bed.SetNow(second);  // a walk in the very second the burst arrives
  EXPECT_EQ(Walk(folder, true), 1);
  std::vector<std::string> burst;
  for (int i = 0; i < 24; ++i) {
    burst.push_back(m_Bed.WriteInvoice("A/burst" + std::to_string(i) + ".xml", "Burst"));
    testsupport::EngineTestBed::SetModificationTime(burst.back(), second);
  }
  m_Bed.SetNow(second + 30);
  EXPECT_EQ(Walk(folder, false), 24) << "whatever the listing order puts before the catalogued file";
  EXPECT_EQ(Documents(folder).size(), 25u);
  EXPECT_EQ(Walk(folder, false), 0);
}

TEST_F(ReconcileTest, FilesThatArrivedDuringOrAfterTheLastCompleteWalkAreAllChecked) {
  const FK::CFolder folder = m_Bed.MakeFolder("A");
  const std::int64_t base = std::time(nullptr) + 10000;
  const std::string older = m_Bed.WriteInvoice("A/older.xml", "Older");
  const std::string newest = m_Bed.WriteInvoice("A/newest.xml", "Newest");
  testsupport::EngineTestBed::SetModificationTime(older, base - 100);
  testsupport::EngineTestBed::SetModificationTime(newest, base - 50);
  m_Bed.SetNow(base - 1000);  // the walk started before both arrived: it proves nothing of them
  EXPECT_EQ(Walk(folder, true), 2);
  m_Bed.Engine().RemoveFile(older, folder);
  m_Bed.SetNow(base);
  EXPECT_EQ(Walk(folder, false), 1) << "the newest file, unchanged, cannot end the level";
  EXPECT_EQ(Documents(folder).count(older), 1u);
}

TEST_F(ReconcileTest, WithoutARecordOfACompleteWalkEveryLevelIsWalkedInFull) {
  const FK::CFolder folder = m_Bed.MakeFolder("A");
  const std::int64_t base = std::time(nullptr) + 10000;
  const std::string older = m_Bed.WriteInvoice("A/older.xml", "Older");
  const std::string newest = m_Bed.WriteInvoice("A/newest.xml", "Newest");
  testsupport::EngineTestBed::SetModificationTime(older, base - 100);
  testsupport::EngineTestBed::SetModificationTime(newest, base - 50);
  // A catalogue written by the library alone (as before the record existed) has no record.
  const std::string catalogue = m_Bed.Engine().GetCataloguePath(folder);
  fs::create_directories(catalogue);
  {
    LIndexer indexer;
    LWriter* writer = indexer.GetWriter(catalogue);
    ASSERT_NE(writer, nullptr);
    ASSERT_EQ(indexer.Index(writer, newest), 1);
    ASSERT_TRUE(indexer.ReleaseWriter(writer));
  }
  m_Bed.SetNow(base);
  EXPECT_EQ(Walk(folder, false), 1);
  EXPECT_EQ(Documents(folder).count(older), 1u);
  // Now that a complete walk is recorded, the next one ends the level at the newest file.
  m_Bed.Engine().RemoveFile(older, folder);
  m_Bed.SetNow(base + 10);
  EXPECT_EQ(Walk(folder, false), 0);
}

TEST_F(ReconcileTest, AWalkCutShortLeavesTheRecordOfTheLastCompleteOne) {
  const FK::CFolder folder = m_Bed.MakeFolder("A");
  const std::int64_t base = std::time(nullptr) + 10000;
  const std::string older = m_Bed.WriteInvoice("A/older.xml", "Older");
  testsupport::EngineTestBed::SetModificationTime(older, base - 100);
  m_Bed.SetNow(base - 1000);
  EXPECT_EQ(Walk(folder, true), 1);
  // A walk stopped by the marker before its end records nothing.
  m_Bed.Engine().SetMarkerClock([n = std::int64_t{1} << 50]() mutable { return n += 1000; });  // never a cached answer
  { std::ofstream(m_Bed.Parameters().ProgramDirectory + "_stop_"); }
  ASSERT_TRUE(fs::exists(m_Bed.Parameters().ProgramDirectory + "_stop_")) << m_Bed.Parameters().ProgramDirectory;
  ASSERT_EQ(m_Bed.Engine().CanContinueWalk(), 0);
  const std::string newest = m_Bed.WriteInvoice("A/newest.xml", "Newest");
  testsupport::EngineTestBed::SetModificationTime(newest, base - 50);
  m_Bed.SetNow(base);
  EXPECT_EQ(Walk(folder, false), 0);
  fs::remove(m_Bed.Parameters().ProgramDirectory + "_stop_");
  m_Bed.Engine().RemoveFile(older, folder);
  m_Bed.SetNow(base + 10);
  EXPECT_EQ(Walk(folder, false), 2) << "the record is still the walk that began before both arrived";
}

TEST_F(ReconcileTest, AFileCopiedInWithAnOldModificationTimeIsTakenFirst) {
  const FK::CFolder folder = m_Bed.MakeFolder("A");
  const std::string first = m_Bed.WriteInvoice("A/first.xml", "First");
  const std::string second = m_Bed.WriteInvoice("A/second.xml", "Second");
  testsupport::EngineTestBed::SetModificationTime(first, 1000000000);
  testsupport::EngineTestBed::SetModificationTime(second, 1000000100);
  EXPECT_EQ(Walk(folder, true), 2);
  // The copy must arrive in a later second than the catalogued files' status changes.
  const std::time_t catalogued = std::time(nullptr);
  testsupport::PollUntil([&] { return std::time(nullptr) != catalogued; }, 3000);
  const std::string copied = m_Bed.WriteInvoice("A/copied.xml", "Copied");
  testsupport::EngineTestBed::SetModificationTime(copied, 900000000);  // as cp -p leaves it
  EXPECT_EQ(Walk(folder, false), 1);
  EXPECT_EQ(Documents(folder).count(copied), 1u);
}

TEST_F(ReconcileTest, ChangedDocumentIsReplacedWithDebugLines) {
  m_Bed.Parameters().IsDebugAction = 1;
  const FK::CFolder folder = m_Bed.MakeFolder("A");
  const std::string invoice = m_Bed.WriteInvoice("A/inv.xml", "Amberline");
  EXPECT_EQ(Walk(folder, true), 1);
  m_Bed.WriteInvoice("A/inv.xml", "Bracken");
  testsupport::EngineTestBed::SetModificationTime(invoice, std::time(nullptr) + 500);
  m_Bed.Listener().Clear();
  EXPECT_EQ(Walk(folder, false), 1);
  EXPECT_EQ(m_Bed.Listener().Count(5, "remove file " + invoice), 1);
  EXPECT_EQ(m_Bed.Listener().Count(5, "index file " + invoice), 1);
  EXPECT_EQ(m_Bed.Listener().Count(2, "Indexing Folder A..."), 1);
  const std::string catalogue = m_Bed.Engine().GetCataloguePath(folder);
  EXPECT_EQ(testsupport::CatalogueScratch::FindIn(catalogue, "Bracken"), std::vector<std::string>{invoice});
  EXPECT_EQ(testsupport::CatalogueScratch::FindIn(catalogue, "Amberline"), std::vector<std::string>{});
  EXPECT_EQ(m_Bed.Count(folder), 1);

  // The fresh walk over a catalogue that holds the changed file replaces it as well (kind 6).
  m_Bed.WriteInvoice("A/inv.xml", "Cinderwick");
  testsupport::EngineTestBed::SetModificationTime(invoice, std::time(nullptr) + 900);
  m_Bed.Listener().Clear();
  EXPECT_EQ(Walk(folder, true), 1);
  EXPECT_EQ(m_Bed.Listener().Count(6, "remove file " + invoice), 1);
  EXPECT_EQ(m_Bed.Count(folder), 1);
}

TEST_F(ReconcileTest, NameRulesOfTheTwoWalks) {
  const char* tree[] = {"a.xml",          "b.pdf",          "invoice.fk2.xml",     "inv.FK$.xml",
                        "notes.txt",      "ORIGINALS/o.xml", "x/originals/o2.xml", "Catalogue_IS/c.xml",
                        "Originals2/d.xml", "OriginalsWest/w.xml"};
  for (const std::string ref : {"F", "R"}) {
    for (const char* name : tree) m_Bed.WriteInvoice(ref + "/" + name, "Word");
  }
  Walk(m_Bed.MakeFolder("F"), true);
  Walk(m_Bed.MakeFolder("R"), false);
  auto names = [this](const std::string& ref) {
    std::set<std::string> result;
    for (const auto& entry : Documents(m_Bed.MakeFolder(ref))) {
      result.insert(entry.first.substr(Path(ref + "/").size()));
    }
    return result;
  };
  EXPECT_EQ(names("F"), (std::set<std::string>{"a.xml", "b.pdf", "invoice.fk2.xml", "Catalogue_IS/c.xml",
                                               "Originals2/d.xml", "OriginalsWest/w.xml"}));
  // The reconciling walk skips a directory whose path holds "Originals" or "Catalogue_IS" followed
  // by a W or nothing, in any case, so "OriginalsWest" goes too; it also leaves out companions.
  EXPECT_EQ(names("R"), (std::set<std::string>{"a.xml", "b.pdf", "Originals2/d.xml"}));
}

TEST_F(ReconcileTest, AnArchiveLyingBelowAnOriginalsLikeNameIsStillWalked) {
  FK::CFolder folder = m_Bed.MakeFolder("A");
  folder.SetArchivePath(Path("OriginalsWork/A"));
  m_Bed.WriteInvoice("OriginalsWork/A/sub/a.xml", "Word");
  m_Bed.WriteInvoice("OriginalsWork/A/sub/Originals/o.xml", "Word");
  EXPECT_EQ(Walk(folder, false), 1);
  const auto documents = Documents(folder);
  ASSERT_EQ(documents.size(), 1u);
  EXPECT_EQ(documents.begin()->first, Path("OriginalsWork/A/sub/a.xml"));
}

TEST_F(ReconcileTest, ExcludedDirectoriesAreLeftOutAtAnyDepth) {
  FK::CFolder folder = m_Bed.MakeFolder("A");
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
  EXPECT_TRUE(m_Bed.Engine().IsExcludedDirectory(folder, Path("A/orig"), "/elsewhere"));
  EXPECT_FALSE(m_Bed.Engine().IsExcludedDirectory(folder, Path("A/Orig"), "/elsewhere"));
}

TEST_F(ReconcileTest, AnUnlistableDirectoryEndsOnlyItsOwnPass) {
  const FK::CFolder folder = m_Bed.MakeFolder("A");
  const std::string catalogue = m_Bed.Engine().GetCataloguePath(folder);
  fs::create_directories(catalogue);
  CFolderDirectoryPass pass(m_Bed.Engine(), folder, catalogue, nullptr);
  const std::string missing = Path("A/gone/");
  pass.LoadSnapshot(missing, true);
  pass.Reconcile(missing);
  pass.IndexFresh(missing);
  const auto lines = m_Bed.Listener().Texts(0);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind(":sub: :error: Cannot list directory " + missing + ": ", 0), 0u) << lines[0];
  // A file where a directory was expected is reported the same way.
  const std::string file = m_Bed.WriteInvoice("A/plain.xml", "Word");
  pass.Reconcile(file + "/");
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
  const int medium = pausesForNewFiles("medium");  // MEDIUM: a pause after more than one second
  EXPECT_GE(m_Bed.Listener().Count(1, "Waiting for file to index..."), 1);
  m_Bed.Engine().SetWorkSlice(800);  // LOW: a pause as soon as one whole second has passed
  const int low = pausesForNewFiles("low");
  m_Bed.Engine().SetWorkSlice(2000);  // HIGH: a pause after more than two seconds
  const int high = pausesForNewFiles("high");
  EXPECT_GT(high, 0);
  EXPECT_GT(medium, high);
  EXPECT_GT(low, medium);
}

TEST_F(ReconcileTest, AFreshWalkLeavesEveryPageInTheDatabaseFileAndNoneOnlyInItsLog) {
  const FK::CFolder folder = m_Bed.MakeFolder("A");
  for (int i = 0; i < 40; ++i) m_Bed.WriteInvoice("A/d" + std::to_string(i % 3) + "/" + std::to_string(i) + ".xml", "Word");
  EXPECT_EQ(Walk(folder, true), 40);
  const std::string catalogue = m_Bed.Engine().GetCataloguePath(folder);
  // The writer's connection stays open: only a checkpoint has put the pages in the file.
  const std::uintmax_t pages = std::stoull(testsupport::CatalogueScratch::Pragma(catalogue, "page_count"));
  const std::uintmax_t pageSize = std::stoull(testsupport::CatalogueScratch::Pragma(catalogue, "page_size"));
  EXPECT_EQ(fs::file_size(catalogue + "/catalogue.sqlite"), pages * pageSize);
  EXPECT_EQ(Documents(folder).size(), 40u);
  EXPECT_EQ(testsupport::CatalogueScratch::FtsIntegrityCheck(catalogue), "ok");
}

TEST_F(ReconcileTest, CleanerDropsVanishedDocumentsButKeepsAMissingDirectorysEntries) {
  const FK::CFolder folder = m_Bed.MakeFolder("A");
  const std::string kept = m_Bed.WriteInvoice("A/kept.xml", "Word");
  const std::string gone = m_Bed.WriteInvoice("A/sub/gone.xml", "Word");
  m_Bed.WriteInvoice("A/sub/other.xml", "Word");
  EXPECT_EQ(Walk(folder, true), 3);
  fs::remove(gone);
  const std::string catalogue = m_Bed.Engine().GetCataloguePath(folder);
  CFolderDirectoryPass pass(m_Bed.Engine(), folder, catalogue, nullptr);
  pass.Clean(Path("A/"));
  auto documents = Documents(folder);
  EXPECT_EQ(documents.size(), 2u);
  EXPECT_EQ(documents.count(kept), 1u);

  fs::remove_all(Path("A/sub"));
  pass.Clean(Path("A/sub/"));
  EXPECT_EQ(Documents(folder).size(), 2u);
  EXPECT_TRUE(m_Bed.Listener().HasPrefix(":sub: :error: Directory " + Path("A/sub/") + " is missing or empty"));
  m_Bed.Listener().Clear();
  pass.Clean(Path("B/"));  // nothing under it: no line at all
  EXPECT_TRUE(m_Bed.Listener().Messages().empty());
}

}  // namespace
