#include "catalogue/CCatalogueIndexer.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "catalogue/LSearcher.h"
#include "testsupport/CatalogueScratch.h"
#include "testsupport/EngineTestBed.h"

namespace {

TEST(CCatalogueIndexerTest, IndexesAndRemovesDocumentsAndOpensNoCatalogueUnasked) {
  testsupport::EngineTestBed bed;
  const std::string catalogue = bed.Scratch().File("catalogues/C1");
  boost::filesystem::create_directories(catalogue);
  CCatalogueIndexer indexer;
  indexer.ReopenWriter(catalogue);  // no writer open: nothing is created
  EXPECT_FALSE(boost::filesystem::exists(catalogue + "/catalogue.sqlite"));
  const std::string xml = bed.WriteInvoice("docs/a.xml", "Quillfeather");
  const std::string pdf = bed.Scratch().Write("docs/b.pdf", "not really a pdf");
  EXPECT_NE(indexer.IndexDocument(xml, catalogue, nullptr), 0);
  // Without a PDF tool a PDF still gets its entry, with no text.
  EXPECT_NE(indexer.IndexDocument(pdf, catalogue, nullptr), 0);
  indexer.ReopenWriter(catalogue);  // commits: a reader sees the documents
  LSearcher searcher;
  EXPECT_EQ(searcher.Count(catalogue), 2);
  EXPECT_EQ(testsupport::CatalogueScratch::FindIn(catalogue, "Quillfeather"), std::vector<std::string>{xml});

  indexer.RemoveDocument(bed.Scratch().Write("docs/c.txt", "plain"), catalogue);  // not a document
  indexer.RemoveDocument(pdf, catalogue);
  EXPECT_EQ(searcher.Count(catalogue), 1);
  int present = 0;
  EXPECT_NE(indexer.FileExists(xml, catalogue, present), 0);
  EXPECT_EQ(indexer.CountDocumentsUnder(bed.Scratch().File("docs/"), catalogue), 1);
  EXPECT_EQ(indexer.CountDocumentsUnder(bed.Scratch().File("other/"), catalogue), 0);
  EXPECT_FALSE(indexer.CorruptionSeen());
  indexer.Shutdown();
  indexer.Shutdown();  // a second shutdown is harmless
}

}  // namespace
