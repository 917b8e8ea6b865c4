#include "catalogue/LIndexer.h"

#include <chrono>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "catalogue/LSearcher.h"
#include "platform/CChildProcess.h"

namespace fs = boost::filesystem;

namespace {

class LIndexerCleanerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_Root = fs::temp_directory_path() / fs::unique_path("fk_clean_%%%%%%%%");
    m_Catalogue = (m_Root / "catalogue").string();
    m_Docs = (m_Root / "archive").string() + "/";
    fs::create_directories(m_Catalogue);
    fs::create_directories(m_Docs);
  }
  void TearDown() override {
    LIndexer::CloseCatalogue(m_Catalogue);
    fs::remove_all(m_Root);
  }

  std::vector<std::string> IndexInvoices(int count) {
    std::vector<std::string> paths;
    LIndexer indexer;
    LWriter* writer = indexer.GetWriter(m_Catalogue);
    for (int i = 0; i < count; ++i) {
      paths.push_back(m_Docs + "inv" + std::to_string(i) + ".xml");
      std::ofstream(paths.back()) << "<Invoice><Number>" << i << "</Number></Invoice>";
      EXPECT_EQ(indexer.Index(writer, paths.back()), 1);
    }
    indexer.ReleaseWriter(writer);
    return paths;
  }

  // The engine's cleaner pass: every entry once, duplicates flagged, flushed every 500.
  void CleanPass(LIndexer& indexer, const std::string& directory) {
    LCleaner* cleaner = indexer.InitCleaner(directory, m_Catalogue);
    std::vector<std::string> seen;
    for (int i = 0; i < indexer.GetCleanCount(); ++i) {
      int duplicate = 0;
      if (const auto name = indexer.GetCleanerFileName(i)) {
        for (const auto& earlier : seen) duplicate |= earlier == *name ? 1 : 0;
        seen.push_back(*name);
      }
      indexer.Clean(i, duplicate);
      if (i % 500 == 0) indexer.FlushDeleter(cleaner);
    }
    indexer.ReleaseCleaner();
  }

  int Count() {
    LSearcher searcher;
    return searcher.Count(m_Catalogue);
  }

  fs::path m_Root;
  std::string m_Catalogue;
  std::string m_Docs;
};

TEST_F(LIndexerCleanerTest, DropsEntriesOfVanishedFilesAndKeepsTheOthers) {
  const auto paths = IndexInvoices(1200);
  for (size_t i = 0; i < paths.size(); i += 3) fs::remove(paths[i]);
  LIndexer indexer;
  CleanPass(indexer, m_Docs);
  EXPECT_FALSE(indexer.CleanerSkippedPurge());
  EXPECT_EQ(Count(), 800);
  int found = 0;
  LSearcher searcher;
  EXPECT_EQ(searcher.FileExists(paths[0], m_Catalogue, found), 0);
  EXPECT_EQ(searcher.FileExists(paths[1], m_Catalogue, found), 1);
}

TEST_F(LIndexerCleanerTest, FlagOneDropsTheEntryAndAnEmptyPassDoesNothing) {
  const auto paths = IndexInvoices(3);
  LIndexer indexer;
  LCleaner* cleaner = indexer.InitCleaner(m_Docs, m_Catalogue);
  ASSERT_EQ(indexer.GetCleanCount(), 3);
  EXPECT_EQ(indexer.GetCleanerFileName(1), paths[1]);
  EXPECT_EQ(indexer.GetCleanerFileName(3), std::nullopt);
  indexer.Clean(1, 1);
  indexer.FlushDeleter(cleaner);
  indexer.ReleaseCleaner();
  EXPECT_EQ(Count(), 2);

  LCleaner* none = indexer.InitCleaner(m_Docs + "elsewhere/", m_Catalogue);
  EXPECT_NE(none, nullptr);
  EXPECT_EQ(indexer.GetCleanCount(), 0);
  indexer.ReleaseCleaner();
  EXPECT_EQ(Count(), 2);
}

TEST_F(LIndexerCleanerTest, NeverPurgesWhileTheDirectoryIsMissingOrEmpty) {
  const auto paths = IndexInvoices(50);
  for (const auto& path : paths) fs::remove(path);  // an unmounted share leaves the mount point empty
  LIndexer indexer;
  CleanPass(indexer, m_Docs);
  EXPECT_TRUE(indexer.CleanerSkippedPurge());
  EXPECT_EQ(Count(), 50);

  fs::remove_all(m_Docs);
  CleanPass(indexer, m_Docs);
  EXPECT_TRUE(indexer.CleanerSkippedPurge());
  EXPECT_EQ(Count(), 50);
}

TEST_F(LIndexerCleanerTest, ShareThatVanishesDuringThePassKeepsItsEntries) {
  const auto paths = IndexInvoices(20);
  LIndexer indexer;
  LCleaner* cleaner = indexer.InitCleaner(m_Docs, m_Catalogue);
  fs::remove_all(m_Docs);
  for (int i = 0; i < indexer.GetCleanCount(); ++i) {
    indexer.GetCleanerFileName(i);
    indexer.Clean(i, 0);
  }
  indexer.FlushDeleter(cleaner);
  indexer.ReleaseCleaner();
  EXPECT_TRUE(indexer.CleanerSkippedPurge());
  EXPECT_EQ(Count(), 20);
}

std::string IntegrityCheck(const std::string& file) {
  sqlite3* db = nullptr;
  std::string verdict = "cannot open";
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr);
    verdict = sqlite3_step(stmt) == SQLITE_ROW ? reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)) : "no row";
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return verdict;
}

int ReadCommitted(const std::string& file) {
  std::ifstream in(file);
  int committed = -1;
  in >> committed;
  return in ? committed : -1;
}

TEST_F(LIndexerCleanerTest, KilledWriterLeavesAnIntactCatalogueWithExactlyTheLastCommit) {
  constexpr int kBatch = 50;
  const std::string progress = (m_Root / "committed").string();
  std::ofstream(m_Docs + "doc.xml") << "<Invoice><Total>1</Total></Invoice>";
  platform::CChildProcess writerProcess;
  ASSERT_TRUE(writerProcess.Fork([&]() {
    LIndexer indexer;
    for (int committed = 0;; committed += kBatch) {
      LWriter* writer = indexer.GetWriter(m_Catalogue);
      for (int i = 0; i < kBatch; ++i) {
        indexer.IndexFromContent(writer, m_Docs + std::to_string(committed + i) + ".xml", std::string(2000, 'w'));
      }
      indexer.ReleaseWriter(writer);
      std::ofstream(progress + ".tmp") << committed + kBatch;
      fs::rename(progress + ".tmp", progress);
    }
    return 0;
  }));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (ReadCommitted(progress) < 20 * kBatch && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(writerProcess.Kill(), "killed by signal 9");
  const int reported = ReadCommitted(progress);
  ASSERT_GE(reported, 20 * kBatch);

  EXPECT_EQ(IntegrityCheck(m_Catalogue + "/catalogue.sqlite"), "ok");
  const int count = Count();
  // The kill may fall between a commit and its report: one batch more, never a part of one.
  EXPECT_TRUE(count == reported || count == reported + kBatch) << count << " after " << reported;
  LIndexer indexer;
  LWriter* writer = indexer.GetWriter(m_Catalogue);
  EXPECT_EQ(indexer.Index(writer, m_Docs + "doc.xml"), 1);
  indexer.ReleaseWriter(writer);
  EXPECT_EQ(Count(), count + 1);
}

}  // namespace
