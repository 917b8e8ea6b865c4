#include "catalogue/LIndexer.h"

#include <algorithm>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "catalogue/LSearcher.h"
#include "platform/CChildProcess.h"
#include "testsupport/CatalogueScratch.h"
#include "testsupport/Polling.h"

namespace fs = boost::filesystem;

namespace {

class LIndexerCleanerTest : public ::testing::Test {
 protected:
  std::vector<std::string> IndexInvoices(int count) {
    std::vector<std::string> paths;
    for (int i = 0; i < count; ++i) paths.push_back(m_Scratch.WriteInvoice("inv" + std::to_string(i) + ".xml", "S"));
    EXPECT_TRUE(m_Scratch.IndexAll(paths));
    return paths;
  }

  // A cleaner pass as the engine runs it; beforeFirst runs once the pass has started.
  void CleanPass(LIndexer& indexer, const std::string& directory, const std::function<void()>& beforeFirst = {}) {
    LCleaner* cleaner = indexer.InitCleaner(directory, m_Scratch.Catalogue());
    if (beforeFirst) beforeFirst();
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

  testsupport::CatalogueScratch m_Scratch;
};

TEST_F(LIndexerCleanerTest, DropsEntriesOfVanishedFilesButNeverPurgesADirectoryMissingEmptyOrVanishingMidPass) {
  const auto paths = IndexInvoices(1200);
  for (size_t i = 0; i < paths.size(); i += 3) fs::remove(paths[i]);
  LIndexer indexer;
  CleanPass(indexer, m_Scratch.Docs());
  EXPECT_FALSE(indexer.CleanerSkippedPurge());
  EXPECT_EQ(m_Scratch.Count(), 800);
  int found = 0;
  EXPECT_EQ(LSearcher().FileExists(paths[0], m_Scratch.Catalogue(), found), 0);
  EXPECT_EQ(LSearcher().FileExists(paths[1], m_Scratch.Catalogue(), found), 1);

  CleanPass(indexer, m_Scratch.Docs(), [&] { fs::remove_all(m_Scratch.Docs()); });
  EXPECT_TRUE(indexer.CleanerSkippedPurge());
  EXPECT_EQ(m_Scratch.Count(), 800);
  CleanPass(indexer, m_Scratch.Docs());  // missing
  EXPECT_TRUE(indexer.CleanerSkippedPurge());
  fs::create_directories(m_Scratch.Docs());  // an unmounted share leaves the mount point empty
  CleanPass(indexer, m_Scratch.Docs());
  EXPECT_TRUE(indexer.CleanerSkippedPurge());
  EXPECT_EQ(m_Scratch.Count(), 800);
}

// Paths are read with the ids up to a bound, the rest in batches: each answer must still be the
// entry as at the pass's start, or gone.
TEST_F(LIndexerCleanerTest, BatchReadsGiveEveryEntryUnderTheDirectoryInPathOrderWhateverChangesMidPass) {
  const std::string& catalogue = m_Scratch.Catalogue();
  const auto write = [&](const std::vector<std::string>& paths) {
    LIndexer writerIndexer;
    LWriter* writer = writerIndexer.GetWriter(catalogue);
    for (const std::string& path : paths) ASSERT_EQ(writerIndexer.IndexFromContent(writer, path, "word"), 1);
    writerIndexer.ReleaseWriter(writer);
  };
  std::vector<std::string> under;
  for (int i = 0; i < 2500; ++i) under.push_back("/archive/d" + std::to_string(i % 7) + "/inv" + std::to_string(i) + ".xml");
  write(under);
  write({"/archive0/x.xml", "/archiv/y.xml", "/archivf.xml", "/a.xml"});  // beside the directory
  std::sort(under.begin(), under.end());

  LIndexer indexer;
  indexer.InitCleaner("/archive/", catalogue, nullptr, 16 << 10);  // some 700 paths read with the ids
  ASSERT_EQ(indexer.GetCleanCount(), 2500);
  LIndexer other;  // gone before its batch is read
  LDeleter* deleter = other.GetDeleter(catalogue);
  other.Delete(deleter, under[1700]);
  other.ReleaseDeleter(deleter);
  write({"/archive/d0/inv0.xml-new"});  // new entries do not shift the pass
  for (int i = 0; i < 2500; ++i) {
    EXPECT_EQ(indexer.GetCleanerFileName(i).value_or("gone"), i == 1700 ? "gone" : under[static_cast<size_t>(i)]);
  }
  EXPECT_FALSE(indexer.GetCleanerFileName(2500).has_value());
  EXPECT_FALSE(indexer.GetCleanerFileName(-1).has_value());
  // Out of order, as a caller may ask.
  for (int i : {2499, 3, 1999, 1000, 999, 1701, 1700}) {
    EXPECT_EQ(indexer.GetCleanerFileName(i).value_or("gone"), i == 1700 ? "gone" : under[static_cast<size_t>(i)]);
  }
  EXPECT_TRUE(indexer.LastError().Message.empty()) << indexer.LastError().Message;
  indexer.ReleaseCleaner();
}

// Between reading an entry's path and dropping it, the entry may move (the watch renames it) or
// go and leave its id to a new document: neither present file may lose its entry.
TEST_F(LIndexerCleanerTest, AnEntryMovedOrWhoseIdWasTakenAgainMidPassIsKept) {
  const auto paths = IndexInvoices(3);  // inv0, inv1, inv2 in path order, inv2 the newest id
  const std::string moved = m_Scratch.Docs() + "moved.xml";
  const std::string newer = m_Scratch.WriteInvoice("newer.xml", "S");
  LIndexer indexer;
  LCleaner* cleaner = indexer.InitCleaner(m_Scratch.Docs(), m_Scratch.Catalogue());
  ASSERT_EQ(indexer.GetCleanCount(), 3);
  LIndexer other;
  LWriter* writer = other.GetWriter(m_Scratch.Catalogue());
  fs::rename(paths[0], moved);
  ASSERT_EQ(other.Move(writer, paths[0], moved, false), 1);
  fs::remove(paths[2]);
  ASSERT_EQ(other.Remove(writer, paths[2], false), 1);
  ASSERT_EQ(other.IndexFromContent(writer, newer, "word"), 1);  // takes inv2's id
  ASSERT_TRUE(other.ReleaseWriter(writer));
  for (int i = 0; i < 3; ++i) indexer.Clean(i, 0);
  indexer.FlushDeleter(cleaner);
  indexer.ReleaseCleaner();
  int found = 0;
  EXPECT_EQ(LSearcher().FileExists(moved, m_Scratch.Catalogue(), found), 1);
  EXPECT_EQ(LSearcher().FileExists(newer, m_Scratch.Catalogue(), found), 1);
  EXPECT_EQ(LSearcher().FileExists(paths[1], m_Scratch.Catalogue(), found), 1);
  EXPECT_EQ(m_Scratch.Count(), 3);
}

int ReadCommitted(const std::string& file) {
  std::ifstream in(file);
  int committed = -1;
  in >> committed;
  return in ? committed : -1;
}

TEST_F(LIndexerCleanerTest, KilledWriterLeavesAnIntactCatalogueWithExactlyTheLastCommit) {
  constexpr int kBatch = 50;
  const std::string progress = m_Scratch.Scratch().File("committed");
  const std::string catalogue = m_Scratch.Catalogue();
  platform::CChildProcess writerProcess;
  ASSERT_TRUE(writerProcess.Fork([&]() {
    LIndexer indexer;
    for (int committed = 0;; committed += kBatch) {
      LWriter* writer = indexer.GetWriter(catalogue);
      for (int i = 0; i < kBatch; ++i) {
        indexer.IndexFromContent(writer, m_Scratch.Docs() + std::to_string(committed + i) + ".xml", std::string(2000, 'w'));
      }
      indexer.ReleaseWriter(writer);
      std::ofstream(progress + ".tmp") << committed + kBatch;
      fs::rename(progress + ".tmp", progress);
    }
    return 0;
  }));
  testsupport::PollUntil([&] { return ReadCommitted(progress) >= 20 * kBatch; }, 60000);
  EXPECT_EQ(writerProcess.Kill(), "killed by signal 9");
  const int reported = ReadCommitted(progress);
  ASSERT_GE(reported, 20 * kBatch);

  EXPECT_EQ(testsupport::CatalogueScratch::Pragma(catalogue, "integrity_check"), "ok");
  EXPECT_EQ(testsupport::CatalogueScratch::FtsIntegrityCheck(catalogue), "ok");
  const int count = m_Scratch.Count();
  // The kill may fall between a commit and its report: one batch more, never a part of one.
  EXPECT_TRUE(count == reported || count == reported + kBatch) << count << " after " << reported;
  EXPECT_TRUE(m_Scratch.IndexAll({m_Scratch.WriteInvoice("doc.xml", "After")}));
  EXPECT_EQ(m_Scratch.Count(), count + 1);
}

}  // namespace
