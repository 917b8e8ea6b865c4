#include "catalogue/LIndexer.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "testsupport/ScratchDir.h"

namespace fs = boost::filesystem;

namespace {

// The cleaner reads its entries' paths ahead in batches; these tests hold it to the answers of
// one look-up per entry: the pass's entries as they stood at its start, a removed one as gone.
class LIndexerCleanerBatchTest : public ::testing::Test {
 protected:
  LIndexerCleanerBatchTest() : m_Catalogue(m_Scratch.File("catalogue")) { fs::create_directories(m_Catalogue); }
  ~LIndexerCleanerBatchTest() override { LIndexer::CloseCatalogue(m_Catalogue); }

  void Catalogue(const std::vector<std::string>& paths) {
    LIndexer indexer;
    LWriter* writer = indexer.GetWriter(m_Catalogue);
    for (const std::string& path : paths) ASSERT_EQ(indexer.IndexFromContent(writer, path, "word"), 1);
    indexer.ReleaseWriter(writer);
  }
  void Remove(const std::string& path) {
    LIndexer other;
    LDeleter* deleter = other.GetDeleter(m_Catalogue);
    other.Delete(deleter, path);
    other.ReleaseDeleter(deleter);
  }

  testsupport::ScratchDir m_Scratch;
  std::string m_Catalogue;
};

TEST_F(LIndexerCleanerBatchTest, EveryEntryUnderTheDirectoryInPathOrderWhateverChangesMidPass) {
  std::vector<std::string> under;
  for (int i = 0; i < 2500; ++i) under.push_back("/archive/d" + std::to_string(i % 7) + "/inv" + std::to_string(i) + ".xml");
  Catalogue(under);
  Catalogue({"/archive0/x.xml", "/archiv/y.xml", "/archivf.xml", "/a.xml"});  // beside the directory
  std::sort(under.begin(), under.end());

  LIndexer indexer;
  indexer.InitCleaner("/archive/", m_Catalogue);
  ASSERT_EQ(indexer.GetCleanCount(), 2500);
  Remove(under[1700]);                       // gone before its batch is read
  Catalogue({"/archive/d0/inv0.xml-new"});   // new entries do not shift the pass
  for (int i = 0; i < 2500; ++i) {
    const std::optional<std::string> path = indexer.GetCleanerFileName(i);
    if (i == 1700) {
      EXPECT_FALSE(path.has_value());
    } else {
      ASSERT_TRUE(path.has_value()) << i;
      EXPECT_EQ(*path, under[static_cast<size_t>(i)]);
    }
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

}  // namespace
