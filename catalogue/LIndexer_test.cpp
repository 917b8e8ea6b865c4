#include "catalogue/LIndexer.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "catalogue/LConnectionRegistry.h"
#include "catalogue/LSearcher.h"
#include "platform/CFileSystemType.h"
#include "testsupport/CatalogueScratch.h"
#include "testsupport/ScopedEnvironment.h"

namespace fs = boost::filesystem;

namespace {

class LIndexerTest : public ::testing::Test {
 protected:
  std::string Invoice(const std::string& relative, const std::string& supplier) {
    return m_Scratch.WriteInvoice(relative, supplier);
  }
  std::vector<std::string> Find(const std::string& query) { return m_Scratch.Find(query); }
  int Count() { return m_Scratch.Count(); }

  testsupport::CatalogueScratch m_Scratch;
  const std::string& m_Catalogue = m_Scratch.Catalogue();
  const std::string& m_Docs = m_Scratch.Docs();
};

TEST_F(LIndexerTest, TextSearchFindsWordsAndPhrasesRankedWithExcerptsFromABoundedPartIgnoringDiacritics) {
  const std::string a = Invoice("a.xml", "Zoë Müller Bakery supplies flour");
  const std::string b = Invoice("b.xml", "flour flour flour mill");
  const std::string c = m_Scratch.WriteDoc("c.xml", "<Invoice ref=\"R-7\"><Note>bakery</Note></Invoice>");
  fs::last_write_time(a, 1700000000);
  ASSERT_TRUE(m_Scratch.IndexAll({a, b, c}));
  std::string words;
  for (int i = 0; i < 20000; ++i) words += "w" + std::to_string(i) + " ";  // about 130 KB
  LIndexer indexer;
  LWriter* writer = indexer.GetWriter(m_Catalogue);
  ASSERT_EQ(indexer.IndexFromContent(writer, m_Docs + "long.pdf", words), 1);
  indexer.ReleaseWriter(writer);

  EXPECT_EQ(Find("muller"), std::vector<std::string>{a});
  EXPECT_EQ(Find("\"bakery supplies\""), std::vector<std::string>{a});
  EXPECT_EQ(Find("flour")[0], b);  // bm25: three occurrences in a shorter text
  EXPECT_EQ(Find("bak*").size(), 2u);
  EXPECT_EQ(Find("zoe bakery flour"), std::vector<std::string>{a});

  LSearcher searcher;
  const auto result = searcher.Search("supplies", m_Catalogue);
  ASSERT_TRUE(result);
  ASSERT_EQ(result->Count, 1);
  EXPECT_EQ(result->Times[0], "20231114221320");  // fourteen digits, UTC
  const auto excerpt = [&](const std::string& query) {
    const auto found = LSearcher().Search(query, m_Catalogue);
    return found && found->Count == 1 ? found->Snippets[0] : std::string("<none>");
  };
  EXPECT_NE(excerpt("muller").find("Zo\xC3\xAB [M\xC3\xBCller] Bakery"), std::string::npos) << excerpt("muller");
  EXPECT_EQ(excerpt("w500"), "...w495 w496 w497 w498 w499 [w500] w501 w502 w503 w504 w505 w506...");
  EXPECT_EQ(excerpt("w0"), "[w0] w1 w2 w3 w4 w5 w6 w7 w8 w9 w10 w11...");
  EXPECT_EQ(excerpt("w19999"), "w0 w1 w2 w3 w4 w5 w6 w7 w8 w9 w10 w11...") << "past the scanned part: the beginning";
  EXPECT_EQ(LSearcher::GetModificationTime(m_Docs + "missing.xml"), "");

  // FTS5 syntax in people's words is taken as words, never as an error or a crash.
  for (const char* hostile : {"\"unbalanced", "AND OR NOT", "NEAR(a b", "*", "a:b", "(", "col:flour", "''\"\""}) {
    const auto r = LSearcher().Search(hostile, m_Catalogue);
    ASSERT_TRUE(r) << hostile;
    EXPECT_EQ(r->Count, static_cast<int>(r->Paths.size()));
  }
  const auto none = searcher.Search("   ", m_Catalogue);
  ASSERT_TRUE(none);
  EXPECT_EQ(none->Count, 0);
  EXPECT_FALSE(searcher.LastError().Message.empty());
}

TEST_F(LIndexerTest, ALargeWalkWithReplacementsAndRemovalsLeavesASoundIndexWithoutTheOldTexts) {
  constexpr int kDocuments = 3000;
  const auto pathOf = [&](int i) { return m_Docs + "d" + std::to_string(i / 500) + "/" + std::to_string(i) + ".pdf"; };
  const auto textOf = [](int i, const char* word) {
    return std::string(word) + " w" + std::to_string(i) + " " + std::string(static_cast<size_t>(200 + i % 700), 'x');
  };
  LIndexer indexer;
  // Commits at uneven points, as the walks' pauses give them.
  LWriter* writer = indexer.GetWriter(m_Catalogue);
  for (int i = 0; i < kDocuments; ++i) {
    ASSERT_EQ(indexer.IndexFromContent(writer, pathOf(i), textOf(i, "first")), 1) << indexer.LastError().Message;
    if (i % 733 == 0) {
      indexer.ReleaseWriter(writer);
      writer = indexer.GetWriter(m_Catalogue);
    }
  }
  for (int i = 0; i < kDocuments; i += 7) indexer.IndexFromContent(writer, pathOf(i), textOf(i, "second"));
  indexer.ReleaseWriter(writer);
  LDeleter* deleter = indexer.GetDeleter(m_Catalogue);
  for (int i = 3; i < kDocuments; i += 10) indexer.Delete(deleter, pathOf(i));
  indexer.Delete(deleter, m_Docs + "never-indexed.xml");
  indexer.ReleaseDeleter(deleter);
  // Replaced between removals, in one transaction with them.
  writer = indexer.GetWriter(m_Catalogue);
  for (int i = 1; i < kDocuments; i += 10) indexer.IndexFromContent(writer, pathOf(i), textOf(i, "third"));
  indexer.ReleaseWriter(writer);

  const int removed = kDocuments / 10;
  EXPECT_EQ(Count(), kDocuments - removed);
  EXPECT_EQ(testsupport::CatalogueScratch::FtsIntegrityCheck(m_Catalogue), "ok");
  EXPECT_EQ(testsupport::CatalogueScratch::QueryText(
                m_Catalogue, "SELECT count(*) FROM document_text WHERE rowid NOT IN (SELECT id FROM documents)"),
            "0");
  EXPECT_EQ(testsupport::CatalogueScratch::QueryText(m_Catalogue, "SELECT count(*) FROM document_text"),
            std::to_string(kDocuments - removed));
  EXPECT_EQ(Find("w7"), std::vector<std::string>{pathOf(7)});
  EXPECT_EQ(Find("second w7"), std::vector<std::string>{pathOf(7)});
  EXPECT_TRUE(Find("first w7").empty()) << "the replaced text is gone";
  EXPECT_EQ(Find("third w21"), std::vector<std::string>{pathOf(21)});
  EXPECT_TRUE(Find("w13").empty()) << "a removed document is gone";
}

TEST_F(LIndexerTest, DocumentsUnderADirectoryAreAPrefixRangeOfExactBytes) {
  const std::vector<std::string> under = {Invoice("50%_off/a.xml", "one"), Invoice("50%_off/sub/b.xml", "two"),
                                          Invoice("50%_off/\xC3\xA9t\xC3\xA9.xml", "three")};
  ASSERT_TRUE(m_Scratch.IndexAll(under));
  ASSERT_TRUE(m_Scratch.IndexAll({Invoice("50%_offX/c.xml", "four"), Invoice("50a_off/d.xml", "five"),
                                  Invoice("50%_of/e.xml", "six"), Invoice("5/\xFF\xFE.xml", "seven")}));
  LSearcher searcher;
  EXPECT_EQ(searcher.Count(m_Catalogue), 7);
  EXPECT_EQ(searcher.Count(m_Docs + "50%_off/", m_Catalogue), 3);
  EXPECT_EQ(searcher.Count(m_Docs + "5/\xFF", m_Catalogue), 1);
  EXPECT_EQ(searcher.Count(m_Docs + "50_", m_Catalogue), 0);
  EXPECT_EQ(searcher.Count(m_Docs + "50%_OFF/", m_Catalogue), 0);  // byte for byte, case included
  std::vector<std::string> listed = Find("path:\"" + m_Docs + "50%_off/\"");
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, (std::vector<std::string>{under[0], under[1], under[2]}));
  int found = 0;
  EXPECT_EQ(searcher.FileExists(under[2], m_Catalogue, found), 1);

  // The range is served by the path index, never by a scan of the table.
  const std::string plan = testsupport::CatalogueScratch::QueryText(
      m_Catalogue, "EXPLAIN QUERY PLAN SELECT count(*) FROM documents WHERE path >= 'a' AND path < 'b'", 3);
  EXPECT_NE(plan.find("INDEX"), std::string::npos) << plan;

  // A directory moved takes its entries, texts kept, and none of a sibling that shares the
  // prefix; a file moved onto a stale entry replaces it. One write transaction each.
  LIndexer indexer;
  LWriter* writer = indexer.GetWriter(m_Catalogue);
  EXPECT_EQ(indexer.Move(writer, m_Docs + "50%_off", m_Docs + "moved", true), 3);
  EXPECT_EQ(indexer.Move(writer, m_Docs + "50a_off/d.xml", m_Docs + "50%_of/e.xml", false), 1);
  ASSERT_TRUE(indexer.ReleaseWriter(writer));
  EXPECT_EQ(Find("two"), std::vector<std::string>{m_Docs + "moved/sub/b.xml"});
  EXPECT_EQ(Find("four"), std::vector<std::string>{m_Docs + "50%_offX/c.xml"});
  EXPECT_EQ(Find("five"), std::vector<std::string>{m_Docs + "50%_of/e.xml"});
  EXPECT_TRUE(Find("six").empty());
  EXPECT_EQ(searcher.Count(m_Catalogue), 6);
  const std::string byInode = testsupport::CatalogueScratch::QueryText(
      m_Catalogue, "EXPLAIN QUERY PLAN SELECT id FROM file_identities WHERE inode = 5", 3);
  EXPECT_NE(byInode.find("file_identities_inode"), std::string::npos) << byInode;
}

TEST_F(LIndexerTest, ManyWritersOfTheProcessShareOneConnectionAndReadersAreNotBlocked) {
  std::vector<std::string> paths;
  for (int i = 0; i < 200; ++i) paths.push_back(Invoice("t/" + std::to_string(i) + ".xml", "word" + std::to_string(i)));
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      LIndexer indexer;
      for (int i = t; i < 200; i += 4) {
        LWriter* writer = indexer.GetWriter(m_Catalogue);
        if (indexer.Index(writer, paths[static_cast<size_t>(i)]) != 1) ++failures;
        if (i % 3 == 0) {
          indexer.ReleaseWriter(writer);
        } else {
          indexer.CloseWriter(writer);
        }
        if (LSearcher().Count(m_Catalogue) < 1) ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(LSearcher().Count(m_Docs + "t/", m_Catalogue), 200);

  // An open write transaction does not block a reader: it sees the last commit.
  LIndexer indexer;
  LWriter* writer = indexer.GetWriter(m_Catalogue);
  EXPECT_EQ(indexer.Index(writer, Invoice("late.xml", "late")), 1);
  EXPECT_EQ(Count(), 200);
  indexer.ReleaseWriter(writer);
  EXPECT_EQ(Count(), 201);
}

TEST_F(LIndexerTest, CloseCatalogueCommitsAndLetsItsFilesBeDeleted) {
  const auto removeFiles = [this] {
    for (fs::directory_iterator it(m_Catalogue), end; it != end; ++it) fs::remove(it->path());
  };
  LIndexer indexer;
  LWriter* writer = indexer.GetWriter(m_Catalogue);
  EXPECT_EQ(indexer.Index(writer, Invoice("a.xml", "alpha")), 1);
  LIndexer::CloseCatalogue(m_Catalogue);
  EXPECT_EQ(Count(), 1);
  removeFiles();

  // Releasing a writer of a closed catalogue does not bring its files back.
  LWriter* stale = indexer.GetWriter(m_Catalogue);
  LIndexer::CloseCatalogue(m_Catalogue);
  removeFiles();
  indexer.ReleaseWriter(stale);
  EXPECT_FALSE(fs::exists(m_Catalogue + "/catalogue.sqlite"));

  // A writer still held opens the catalogue afresh when it writes.
  EXPECT_EQ(indexer.Index(writer, Invoice("b.xml", "beta")), 1);
  indexer.ReleaseWriter(writer);
  EXPECT_EQ(Count(), 1);
  EXPECT_EQ(Find("beta").size(), 1u);
}

TEST_F(LIndexerTest, MissingOrDamagedCatalogueGivesZeroAndTheError) {
  LSearcher searcher;
  const std::string missing = m_Scratch.Scratch().File("nowhere");
  EXPECT_EQ(searcher.Count(missing), 0);
  EXPECT_TRUE(searcher.LastError().Message.empty());
  EXPECT_EQ(testsupport::CatalogueScratch::FindIn(missing, "path:\"/\""), std::vector<std::string>{});
  LIndexer indexer;
  EXPECT_EQ(indexer.GetWriter(missing + "/sub"), nullptr);
  EXPECT_EQ(indexer.Index(nullptr, Invoice("a.xml", "alpha")), 0);
  EXPECT_FALSE(indexer.LastError().Message.empty());

  m_Scratch.Scratch().Write("catalogue/catalogue.sqlite", std::string(8192, 'G'));
  EXPECT_EQ(searcher.Count(m_Catalogue), 0);
  EXPECT_TRUE(searcher.LastError().Corrupt);
  EXPECT_EQ(searcher.Search("alpha", m_Catalogue), nullptr);
  EXPECT_TRUE(searcher.LastError().Corrupt);
  int found = 0;
  EXPECT_EQ(searcher.FileExists("/x", m_Catalogue, found), 0);
  EXPECT_EQ(indexer.GetWriter(m_Catalogue), nullptr);
  EXPECT_TRUE(indexer.LastError().Corrupt);
}

TEST_F(LIndexerTest, UnreadableFileIsNotIndexedAndPdfContentIsTakenAsGiven) {
  LIndexer indexer;
  LWriter* writer = indexer.GetWriter(m_Catalogue);
  EXPECT_EQ(indexer.Index(writer, m_Docs + "missing.xml"), 0);
  EXPECT_NE(indexer.LastError().Message.find("missing.xml"), std::string::npos);
  EXPECT_FALSE(indexer.LastError().Unreadable) << "a file that is gone is left out";
  // Nor is what is no regular file.
  fs::create_directories(m_Docs + "directory.xml");
  EXPECT_EQ(indexer.Index(writer, m_Docs + "directory.xml"), 0);
  EXPECT_FALSE(indexer.LastError().Unreadable);
  EXPECT_NE(indexer.LastError().Message.find("directory.xml"), std::string::npos);
  const std::string pdf = m_Scratch.WriteDoc("scan.pdf", "%PDF-1.4 binary");
  EXPECT_EQ(indexer.IndexFromContent(writer, pdf, "Rechnung f\xC3\xBCr Gr\xC3\xB6\xC3\x9F" "e"), 1);
  indexer.ReleaseWriter(writer);
  EXPECT_EQ(Find("rechnung fur"), std::vector<std::string>{pdf});
  EXPECT_EQ(Count(), 1);
}

// Under a bound of two, a third catalogue closes the least recently used one: what it had
// written is committed first, and it reopens at its next use.
TEST_F(LIndexerTest, OpenConnectionsAreBoundedAndAClosedOneKeepsItsWorkAndReopens) {
  LConnectionRegistry::SetMaxOpen(2);
  const std::string other = m_Scratch.Scratch().File("other");
  const std::string third = m_Scratch.Scratch().File("third");
  fs::create_directories(other);
  fs::create_directories(third);
  LIndexer indexer;
  LWriter* first = indexer.GetWriter(m_Catalogue);
  EXPECT_EQ(indexer.Index(first, Invoice("a.xml", "alpha")), 1);  // left uncommitted
  LWriter* second = indexer.GetWriter(other);
  EXPECT_EQ(indexer.Index(second, Invoice("b.xml", "beta")), 1);
  EXPECT_EQ(Count(), 0) << "not committed yet";
  LWriter* last = indexer.GetWriter(third);
  EXPECT_EQ(LConnectionRegistry::CountOpen(), 2u);
  EXPECT_EQ(Count(), 1) << "committed when its connection was closed";
  EXPECT_EQ(indexer.Index(first, Invoice("c.xml", "gamma")), 1);  // reopens, closing "other"
  EXPECT_EQ(LConnectionRegistry::CountOpen(), 2u);
  EXPECT_EQ(LSearcher().Count(other), 1);
  for (LWriter* writer : {first, second, last}) indexer.ReleaseWriter(writer);
  EXPECT_EQ(Count(), 2);
  for (const std::string& catalogue : {other, third}) LIndexer::CloseCatalogue(catalogue);
  LConnectionRegistry::SetMaxOpen(0);
}

TEST_F(LIndexerTest, TextPastTheCapIsCutOnACharacterBoundaryAndSaid) {
  testsupport::ScopedEnvironment environment;
  environment.Set("FK_MAX_TEXT_MB", "1");
  LIndexer indexer;
  LWriter* writer = indexer.GetWriter(m_Catalogue);
  // Two-byte characters from an odd offset: the cap falls in the middle of one.
  std::string wide = "a";
  while (wide.size() < (1u << 20) + 100) wide += "\xC3\xA9";
  const std::string pdf = m_Scratch.WriteDoc("bomb.pdf", "%PDF-1.4");
  EXPECT_EQ(indexer.IndexFromContent(writer, pdf, wide + " tailword"), 1);
  EXPECT_EQ(indexer.LastNote(), "text longer than 1 MiB: only the first part is kept");
  EXPECT_EQ(indexer.IndexFromContent(writer, m_Scratch.WriteDoc("small.pdf", "%PDF-1.4"), "small"), 1);
  EXPECT_EQ(indexer.LastNote(), "");
  indexer.ReleaseWriter(writer);
  EXPECT_TRUE(Find("tailword").empty());
  const std::string kept = testsupport::CatalogueScratch::QueryText(
      m_Catalogue, "SELECT t.text FROM document_text t JOIN documents d ON d.id = t.rowid WHERE d.path = '" + pdf + "'");
  EXPECT_EQ(kept.size(), (1u << 20) - 1);
  EXPECT_EQ(kept, wide.substr(0, (1u << 20) - 1));
}

TEST_F(LIndexerTest, NetworkCatalogueIsWrittenWithARollbackJournalAndStillRead) {
  EXPECT_FALSE(LIndexer::UsesRollbackJournal(m_Catalogue));
  platform::CFileSystemType::OverrideForTests(1);
  EXPECT_TRUE(LIndexer::UsesRollbackJournal(m_Catalogue));
  LIndexer indexer;
  LWriter* writer = indexer.GetWriter(m_Catalogue);
  platform::CFileSystemType::OverrideForTests(-1);
  EXPECT_EQ(indexer.Index(writer, Invoice("a.xml", "alpha")), 1);
  EXPECT_EQ(Count(), 0);  // readers are not shut out by the open transaction
  indexer.ReleaseWriter(writer);
  EXPECT_EQ(Count(), 1);
  EXPECT_EQ(testsupport::CatalogueScratch::Pragma(m_Catalogue, "journal_mode"), "delete");
  LIndexer::CloseCatalogue(m_Catalogue);

  // Back on a local disk, the same catalogue goes back to the write-ahead log.
  indexer.ReleaseWriter(indexer.GetWriter(m_Catalogue));
  EXPECT_EQ(testsupport::CatalogueScratch::Pragma(m_Catalogue, "journal_mode"), "wal");
}

}  // namespace
