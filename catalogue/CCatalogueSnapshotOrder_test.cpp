#include "catalogue/CCatalogueSnapshot.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "testsupport/ScratchDir.h"

namespace {

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
  CCatalogueSnapshot snapshot;
  snapshot.Load(tree, catalogue);
  EXPECT_EQ(snapshot.GetDocumentCount(), 9);
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

}  // namespace
