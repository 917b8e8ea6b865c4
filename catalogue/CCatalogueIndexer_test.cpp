#include "catalogue/CCatalogueIndexer.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "catalogue/LSearcher.h"
#include "pdf/CTool_QuickPDFLib.h"
#include "testsupport/EngineTestBed.h"
#include "testsupport/PdfMaker.h"

namespace {

TEST(CCatalogueIndexerTest, DocumentsAreXmlAndPdfFilesThatAreNoCompanions) {
  for (const char* name : {"invoice.xml", "INVOICE.Xml", "scan.pdf", "/a/b.c/invoice.fk2.xml", ".xml",
                           "/archive/2024/x.PDF"}) {
    EXPECT_TRUE(CCatalogueIndexer::IsIndexableDocument(name)) << name;
  }
  for (const char* name : {"invoice.FK$.xml", "invoice.fk$.PDF", "notes.txt", "/a/b.xml/readme", "xml",
                           "/archive.pdf/noext", "invoice.xml.bak"}) {
    EXPECT_FALSE(CCatalogueIndexer::IsIndexableDocument(name)) << name;
  }
}

TEST(CCatalogueIndexerTest, IndexesReplacesAndRemovesOneDocument) {
  testsupport::EngineTestBed bed;
  const std::string catalogue = bed.Scratch().File("catalogues/C1");
  boost::filesystem::create_directories(catalogue);
  const std::string xml = bed.WriteInvoice("docs/a.xml", "Quillfeather");
  const std::string pdf = bed.Scratch().Write("docs/b.pdf", "not really a pdf");
  const std::string text = bed.Scratch().Write("docs/c.txt", "plain");
  CCatalogueIndexer indexer;
  EXPECT_NE(indexer.IndexDocument(xml, catalogue, nullptr), 0);
  // Without a PDF tool a PDF still gets its entry, with no text.
  EXPECT_NE(indexer.IndexDocument(pdf, catalogue, nullptr), 0);
  indexer.ReleaseWriter();
  LSearcher searcher;
  EXPECT_EQ(searcher.Count(catalogue), 2);
  auto found = searcher.Search("Quillfeather", catalogue);
  ASSERT_TRUE(found);
  ASSERT_EQ(found->Count, 1);
  EXPECT_EQ(found->Paths[0], xml);

  indexer.RemoveDocument(text, catalogue);  // not a document: nothing happens
  indexer.RemoveDocument(pdf, catalogue);
  EXPECT_EQ(searcher.Count(catalogue), 1);
  int present = 0;
  EXPECT_NE(indexer.FileExists(xml, catalogue, present), 0);
  EXPECT_EQ(indexer.CountDocumentsUnder(bed.Scratch().File("docs/"), catalogue), 1);
  EXPECT_EQ(indexer.CountDocumentsUnder(bed.Scratch().File("other/"), catalogue), 0);
  EXPECT_FALSE(indexer.CorruptionSeen());
}

TEST(CCatalogueIndexerTest, PdfDocumentsCarryTheTextOfAllTheirPages) {
  testsupport::EngineTestBed bed;
  const std::string catalogue = bed.Scratch().File("catalogues/P");
  boost::filesystem::create_directories(catalogue);
  boost::filesystem::create_directories(bed.Scratch().File("docs"));
  const std::string good = bed.Scratch().File("docs/good.PDF");
  ASSERT_TRUE(testsupport::MakePdf(good, {"first page Heatherby", "second page Tollwick"}));
  const std::string broken = bed.Scratch().File("docs/broken.pdf");
  ASSERT_TRUE(testsupport::MakeTruncatedPdf(broken, {"Heatherby"}, 40));
  CTool_QuickPDFLib pdfTool;
  ASSERT_TRUE(pdfTool.IsUsable());
  CCatalogueIndexer indexer;
  EXPECT_NE(indexer.IndexDocument(good, catalogue, &pdfTool), 0);
  EXPECT_NE(indexer.IndexDocument(broken, catalogue, &pdfTool), 0);  // indexed, with no text
  indexer.ReleaseWriter();
  LSearcher searcher;
  EXPECT_EQ(searcher.Count(catalogue), 2);
  for (const char* word : {"Heatherby", "Tollwick"}) {
    auto found = searcher.Search(word, catalogue);
    ASSERT_TRUE(found);
    ASSERT_EQ(found->Count, 1) << word;
    EXPECT_EQ(found->Paths[0], good);
  }
}

TEST(CCatalogueIndexerTest, ReopenWithoutAnOpenWriterOpensNothing) {
  testsupport::EngineTestBed bed;
  const std::string catalogue = bed.Scratch().File("catalogues/C2");
  boost::filesystem::create_directories(catalogue);
  CCatalogueIndexer indexer;
  indexer.ReopenWriter(catalogue);
  EXPECT_FALSE(boost::filesystem::exists(catalogue + "/catalogue.sqlite"));
  const std::string xml = bed.WriteInvoice("docs/a.xml", "Mossgrove");
  ASSERT_NE(indexer.IndexDocument(xml, catalogue, nullptr), 0);
  indexer.ReopenWriter(catalogue);  // commits: a reader sees the document
  LSearcher searcher;
  EXPECT_EQ(searcher.Count(catalogue), 1);
  indexer.Shutdown();
  indexer.Shutdown();  // a second shutdown is harmless
}

}  // namespace
