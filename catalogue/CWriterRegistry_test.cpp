#include "catalogue/CWriterRegistry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>

#include "catalogue/CCatalogueIndexer.h"
#include "catalogue/LSearcher.h"
#include "testsupport/CatalogueScratch.h"
#include "testsupport/EngineTestBed.h"
#include "testsupport/Polling.h"

namespace {

class WriterRegistryTest : public ::testing::Test {
 protected:
  std::string MakeCatalogue(const std::string& name) const {
    const std::string catalogue = m_Bed.Scratch().File("catalogues/" + name);
    boost::filesystem::create_directories(catalogue);
    return catalogue;
  }
  testsupport::EngineTestBed m_Bed;
};

TEST_F(WriterRegistryTest, TwoCataloguesWrittenFromTwoThreadsAtOnceShareNoWriter) {
  const std::vector<std::string> catalogues = {MakeCatalogue("T1"), MakeCatalogue("T2")};
  constexpr int kDocuments = 40;
  std::vector<std::vector<std::string>> documents(2);
  for (int i = 0; i < 2 * kDocuments; ++i) {
    const std::string c = std::to_string(i % 2);
    documents[i % 2].push_back(m_Bed.WriteInvoice("docs" + c + "/" + std::to_string(i) + ".xml", "Word" + c));
  }
  std::atomic<int> ready{0};
  std::vector<IndexWriterToRelease*> writers(2, nullptr);
  std::vector<int> stored(2, 0);
  auto write = [&](int c) {
    CCatalogueIndexer indexer;
    ++ready;
    testsupport::PollUntil([&] { return ready.load() == 2; }, 10000);  // both threads write at once
    for (const std::string& path : documents[c]) {
      if (indexer.IndexDocument(path, catalogues[c], nullptr) != 0) ++stored[c];
      if (stored[c] % 7 == 0) indexer.ReopenWriter(catalogues[c]);  // commits on the way
    }
    writers[c] = indexer.GetWriter(catalogues[c]);
    indexer.ReleaseWriter();
    EXPECT_FALSE(indexer.WriteFailureSeen()) << indexer.GetWriteFailure().Message;
  };
  std::thread first(write, 0), second(write, 1);
  first.join();
  second.join();
  ASSERT_NE(writers[0], nullptr);
  EXPECT_NE(writers[0], writers[1]);
  EXPECT_EQ(writers[0]->GetCatalogue(), catalogues[0]);
  EXPECT_EQ(writers[1]->GetCatalogue(), catalogues[1]);
  for (int c = 0; c < 2; ++c) {
    EXPECT_EQ(stored[c], kDocuments);
    EXPECT_EQ(LSearcher().Count(catalogues[c]), kDocuments);
    EXPECT_EQ(testsupport::CatalogueScratch::FindIn(catalogues[c], "Word" + std::to_string(1 - c)).size(), 0u);
  }
}

TEST_F(WriterRegistryTest, ASlowPdfReadDoesNotHoldUpAnotherWriterOfItsCatalogue) {
  const std::string catalogue = MakeCatalogue("S1");
  const std::string pdf = m_Bed.Scratch().Write("docs/slow.pdf", "%PDF-1.4 slow");
  const std::string xml = m_Bed.WriteInvoice("docs/quick.xml", "Brightwater");
  // Written well before its read, so its time is stored and the read counts as complete.
  boost::filesystem::last_write_time(pdf, std::time(nullptr) - 100);
  std::atomic<bool> reading{false};
  std::atomic<bool> slowDone{false};
  std::atomic<bool> finishRead{false};
  // Stands for a PDF that takes the helper up to its deadline.
  const PdfTextReader slowReader = [&](const std::string&) {
    reading = true;
    testsupport::PollUntil([&] { return finishRead.load(); }, 60000);
    return PdfText{PdfText::Result::Read, "Slowmoor"};
  };
  CCatalogueIndexer walk;
  ASSERT_NE(walk.GetWriter(catalogue), nullptr);  // the walk has the catalogue's writer open
  int slowResult = 0;
  CDocumentReader::SRead slowRead;
  std::thread slow([&] {
    slowResult = walk.IndexDocument(pdf, catalogue, slowReader, false, &slowRead);
    slowDone = true;
  });
  ASSERT_TRUE(testsupport::PollUntil([&] { return reading.load(); }, 20000));

  // While the PDF is read, another writer of the catalogue stores and commits its document.
  CCatalogueIndexer other;
  EXPECT_NE(other.IndexDocument(xml, catalogue, nullptr), 0);
  other.ReleaseWriter();
  EXPECT_FALSE(slowDone.load());
  EXPECT_EQ(testsupport::CatalogueScratch::FindIn(catalogue, "Brightwater"), std::vector<std::string>{xml});

  finishRead = true;
  slow.join();
  EXPECT_NE(slowResult, 0);
  walk.ReleaseWriter();
  EXPECT_EQ(testsupport::CatalogueScratch::FindIn(catalogue, "Slowmoor"), std::vector<std::string>{pdf});
  EXPECT_EQ(slowRead.eOutcome, CDocumentReader::Outcome::Complete);
}

}  // namespace
