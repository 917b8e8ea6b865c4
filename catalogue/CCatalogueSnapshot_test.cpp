#include "catalogue/CCatalogueSnapshot.h"

#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "catalogue/CCatalogueIndexer.h"
#include "catalogue/LDatabase.h"
#include "catalogue/LIndexer.h"
#include "testsupport/EngineTestBed.h"
#include "testsupport/ScratchDir.h"

namespace {

// Both ways of taking a snapshot give the same answers.
void Take(CCatalogueSnapshot& snapshot, bool lookUp, const std::string& directory, const std::string& catalogue) {
  if (lookUp) {
    snapshot.Open(directory, catalogue);
  } else {
    snapshot.Load(directory, catalogue);
  }
}

class CCatalogueSnapshotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    boost::filesystem::create_directories(Catalogue());
    for (const char* name : {"tree/a.xml", "tree/sub/b.xml", "tree/ORIGINALS/o.xml", "tree/x/originals/p.xml",
                             "tree/Originals/q.xml", "treeish/c.xml"}) {
      m_Paths.push_back(m_Bed.WriteInvoice(name, "Word"));
      EXPECT_NE(m_Indexer.IndexDocument(m_Paths.back(), Catalogue(), nullptr), 0);
    }
    m_Indexer.ReleaseWriter();
  }
  std::string Catalogue() const { return m_Bed.Scratch().File("catalogues/S"); }
  std::string Tree() const { return m_Bed.Scratch().File("tree/"); }

  testsupport::EngineTestBed m_Bed;
  CCatalogueIndexer m_Indexer;
  std::vector<std::string> m_Paths;
};

TEST_F(CCatalogueSnapshotTest, HoldsTheDirectorysDocumentsOutsideOriginalsByExactPathAndSeesChangesButNoMissingCatalogue) {
  for (const bool lookUp : {false, true}) {
    SCOPED_TRACE(lookUp ? "looked up" : "loaded");
    testsupport::EngineTestBed::SetModificationTime(m_Paths[1], 1500000000);
    m_Indexer.IndexDocument(m_Paths[1], Catalogue(), nullptr);
    m_Indexer.ReleaseWriter();
    CCatalogueSnapshot snapshot;
    Take(snapshot, lookUp, Tree(), Catalogue());
    EXPECT_EQ(snapshot.GetDocumentCount(), lookUp ? 0 : 5);  // the search result, Originals included
    int modified = 1;
    EXPECT_EQ(snapshot.IsModified(m_Paths[0], modified), 1);
    EXPECT_EQ(modified, 0);
    EXPECT_EQ(snapshot.IsModified(m_Paths[1], modified), 1);
    // Left out of the map whatever their case.
    for (size_t i : {2, 3, 4}) EXPECT_EQ(snapshot.IsModified(m_Paths[i], modified), 0) << m_Paths[i];
    // Another directory that only shares the prefix of the name is not under the tree.
    EXPECT_EQ(snapshot.IsModified(m_Paths[5], modified), 0);
    // Paths compare exactly: another case or a doubled slash is not the catalogued path.
    std::string upper = m_Paths[0];
    upper.replace(upper.size() - 5, 5, "A.xml");
    EXPECT_EQ(snapshot.IsModified(upper, modified), 0);
    EXPECT_EQ(snapshot.IsModified(Tree() + "/a.xml", modified), 0);
    EXPECT_FALSE(snapshot.IsCorrupt());
    testsupport::EngineTestBed::SetModificationTime(m_Paths[1], 1000000000);
    EXPECT_EQ(snapshot.IsModified(m_Paths[1], modified), 1);
    EXPECT_EQ(modified, 1);

    CCatalogueSnapshot inside;  // a tree of its own: only the names below it count
    Take(inside, lookUp, m_Bed.Scratch().File("tree/x/originals/"), Catalogue());
    EXPECT_EQ(inside.IsModified(m_Paths[3], modified), 1);
    CCatalogueSnapshot missing;
    Take(missing, lookUp, Tree(), m_Bed.Scratch().File("catalogues/none"));
    EXPECT_EQ(missing.IsModified(m_Paths[0], modified), 0);
    EXPECT_FALSE(missing.IsCorrupt());
    EXPECT_FALSE(boost::filesystem::exists(m_Bed.Scratch().File("catalogues/none")));
  }
}

// As `touch -r` or `cp -p` leave it: other content of the same size, the old time put back.
void ReplaceKeepingTheTime(const std::string& path, const std::string& word) {
  const std::time_t time = boost::filesystem::last_write_time(path);
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      << "<?xml version=\"1.0\"?><Invoice><Supplier>" + word + "</Supplier><Amount>12.50</Amount></Invoice>";
  boost::filesystem::last_write_time(path, time);
}

TEST_F(CCatalogueSnapshotTest, AFileChangedWithItsTimeKeptIsChangedButByTimeOnlyInACatalogueWithoutIdentities) {
  const auto modifiedNow = [&](const std::string& path) {
    int result[2] = {-1, -1};
    for (const bool lookUp : {false, true}) {
      CCatalogueSnapshot snapshot;
      Take(snapshot, lookUp, Tree(), Catalogue());
      int modified = -1;
      EXPECT_EQ(snapshot.IsModified(path, modified), 1) << lookUp;
      result[lookUp ? 1 : 0] = modified;
    }
    EXPECT_EQ(result[0], result[1]) << "loaded and looked up alike";
    return result[0];
  };
  ReplaceKeepingTheTime(m_Paths[0], "Wxrd");
  EXPECT_EQ(modifiedNow(m_Paths[0]), 1);
  EXPECT_EQ(modifiedNow(m_Paths[1]), 0);
  // A catalogue written before the table existed: compared by time, as it always was.
  LIndexer::CloseCatalogue(Catalogue());
  {
    LDatabase db;
    ASSERT_TRUE(db.OpenForWriting(Catalogue()));
    ASSERT_TRUE(db.Exec("DROP TABLE file_identities"));
  }
  EXPECT_EQ(modifiedNow(m_Paths[0]), 0);
  // Its next store keeps the identity.
  EXPECT_NE(m_Indexer.IndexDocument(m_Paths[0], Catalogue(), nullptr), 0);
  m_Indexer.ReleaseWriter();
  EXPECT_EQ(modifiedNow(m_Paths[0]), 0);
  ReplaceKeepingTheTime(m_Paths[0], "Word");
  EXPECT_EQ(modifiedNow(m_Paths[0]), 1);
  EXPECT_EQ(modifiedNow(m_Paths[1]), 0);
}

TEST_F(CCatalogueSnapshotTest, TellsTheDocumentsStoredWithoutATimeAndADamagedCatalogue) {
  {
    LIndexer indexer;
    LWriter* writer = indexer.GetWriter(Catalogue());
    ASSERT_EQ(indexer.IndexFromContent(writer, m_Paths[0], "word", ""), 1);
    ASSERT_EQ(indexer.IndexFromContent(writer, Tree() + "sub/deeper/d.xml", "word", ""), 1);
    ASSERT_EQ(indexer.IndexFromContent(writer, m_Paths[2], "word", ""), 1);  // in ORIGINALS
    indexer.ReleaseWriter(writer);
  }
  for (const bool lookUp : {false, true}) {
    SCOPED_TRACE(lookUp ? "looked up" : "loaded");
    CCatalogueSnapshot snapshot;
    Take(snapshot, lookUp, Tree(), Catalogue());
    EXPECT_EQ(snapshot.GetRetriesIn(Tree()), std::vector<std::string>{m_Paths[0]});
    EXPECT_TRUE(snapshot.HasUnreadIn(Tree()));
    EXPECT_FALSE(snapshot.HasUnreadIn(Tree() + "sub/"));
    EXPECT_TRUE(snapshot.HasUnreadIn(Tree() + "sub/deeper/"));
    int modified = 0;
    EXPECT_EQ(snapshot.IsModified(m_Paths[0], modified), 1);
    EXPECT_EQ(modified, 1) << "an empty time is never the file's";
  }
  LIndexer::CloseCatalogue(Catalogue());
  {
    std::fstream file(Catalogue() + "/catalogue.sqlite", std::ios::in | std::ios::out | std::ios::binary);
    file.write("this is no database at all", 26);
  }
  for (const bool lookUp : {false, true}) {
    CCatalogueSnapshot snapshot;
    Take(snapshot, lookUp, Tree(), Catalogue());
    EXPECT_TRUE(snapshot.IsCorrupt()) << lookUp;
    int modified = 0;
    EXPECT_EQ(snapshot.IsModified(m_Paths[1], modified), 0) << lookUp;
  }
}

// Paths whose byte order is easy to get wrong: bytes above 0x7F, characters below '/', case.
TEST(CCatalogueSnapshotOrderTest, FindsEveryPathWhateverItsBytesAndCountsTheLookUps) {
  testsupport::ScratchDir scratch;
  const std::string catalogue = scratch.File("catalogue");
  boost::filesystem::create_directories(catalogue);
  const std::string tree = "/tree/";
  const std::vector<std::string> catalogued = {
      tree + "a.xml",  tree + "a b.xml",          tree + "a-b.xml",      tree + "a/b.xml",   tree + "a/ORIGINALS/c.xml",
      tree + "Z.xml",  tree + "\xc3\xa9t\xc3\xa9.xml", tree + "\xff.pdf", tree + "z\n.xml", "/tree-other/a.xml"};
  {
    LIndexer indexer;
    LWriter* writer = indexer.GetWriter(catalogue);
    for (const std::string& path : catalogued) ASSERT_EQ(indexer.IndexFromContent(writer, path, "word"), 1);
    indexer.ReleaseWriter(writer);
    LIndexer::CloseCatalogue(catalogue);
  }
  for (const bool lookUp : {false, true}) {
    SCOPED_TRACE(lookUp ? "looked up" : "loaded");
    CCatalogueSnapshot snapshot;
    Take(snapshot, lookUp, tree, catalogue);
    EXPECT_EQ(snapshot.GetDocumentCount(), lookUp ? 0 : 9);
    int modified = 1;
    for (const std::string& path : catalogued) {
      const bool expected = path.rfind(tree, 0) == 0 && path.find("/ORIGINALS/") == std::string::npos;
      EXPECT_EQ(snapshot.IsModified(path, modified), expected ? 1 : 0) << path;
      EXPECT_EQ(modified, 0) << "neither file exists: both times are empty";
  }
  for (const std::string& path : {tree + "A.xml", tree + "a.xm", tree + "a.xml ", tree, std::string()}) {
    EXPECT_EQ(snapshot.IsModified(path, modified), 0) << path;
  }
  EXPECT_EQ(snapshot.GetLookUpCount(), static_cast<int>(catalogued.size()) + 5);
  }
}

}  // namespace
