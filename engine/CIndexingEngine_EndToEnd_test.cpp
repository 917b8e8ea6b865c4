#include "engine/CIndexingEngine.h"

#include <chrono>
#include <ctime>
#include <fstream>
#include <set>

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "catalogue/LIndexer.h"
#include "testsupport/CatalogueScratch.h"
#include "testsupport/PdfMaker.h"
#include "testsupport/Polling.h"
#include "testsupport/ServiceEndToEndTest.h"

namespace fs = boost::filesystem;

namespace {

using testsupport::CatalogueCount;
using testsupport::CataloguedNames;
using testsupport::InvoiceXml;
using testsupport::kServiceDeadlineMs;
constexpr auto& FolderXml = testsupport::ServiceRunner::FolderXml;

std::string IntegrityCheck(const std::string& catalogue) {
  return testsupport::CatalogueScratch::Pragma(catalogue, "integrity_check");
}

class EndToEndTest : public testsupport::ServiceEndToEndTest {
 protected:
  std::string Archive(const std::string& name) { return m_Runner.PathOf("archives/" + name); }
  void WriteDocument(const std::string& relative, const std::string& content) { Write("archives/" + relative, content); }
  // A large tree for the walks that must be caught in the middle: few files (they are slow
  // to create here) with much text each (slow to index).
  int WriteLargeTree(const std::string& name, int directories, int perDirectory) {
    std::string text;
    for (int word = 0; text.size() < 40000; ++word) text += " item" + std::to_string(word * 7919 % 100003);
    for (int d = 0; d < directories; ++d) {
      const std::string directory = Archive(name + "/d" + std::to_string(d));
      fs::create_directories(directory);
      for (int f = 0; f < perDirectory; ++f) {
        std::ofstream(directory + "/f" + std::to_string(f) + ".xml") << InvoiceXml("Supplier" + std::to_string(f) + text);
      }
    }
    return directories * perDirectory;
  }
  // Starts a polling service on a large tree with a 5 s pause between work slices, and waits
  // until the walk has committed something; the number of documents of the tree.
  int StartLargeWalk(const std::vector<std::string>& options) {
    const int total = WriteLargeTree("alpha", 8, 400);
    WriteFolderList(FolderXml("A", "Alpha", Archive("alpha"), true));
    WriteSettings(std::string(testsupport::kPollingElement) + "<Priority>LOW</Priority>");
    EXPECT_TRUE(m_Runner.Start(options));
    EXPECT_TRUE(testsupport::PollUntil([&] { return CatalogueCount(m_Catalogues + "A") > 0; }, kServiceDeadlineMs));
    return total;
  }
};

TEST_F(EndToEndTest, PollingCataloguesEveryDocumentAndCatchesEveryChange) {
  const std::string alpha = Archive("alpha");
  WriteDocument("alpha/a.xml", InvoiceXml("Ashgrove"));
  WriteDocument("alpha/sub/b.xml", InvoiceXml("Birchwood"));
  ASSERT_TRUE(testsupport::MakePdf(alpha + "/c.pdf", {"Invoice from Pinecrest", "Total due"}));
  WriteDocument("alpha/damaged.pdf", "%PDF-1.4 not a real document");
  WriteDocument("alpha/ORIGINALS/o.xml", InvoiceXml("Original"));
  WriteDocument("alpha/sub/originals/o2.pdf", "%PDF-1.4");
  WriteDocument("alpha/a.FK$.xml", InvoiceXml("Companion"));
  WriteDocument("alpha/notes.txt", "notes");
  WriteDocument("alpha/Catalogue_IS/A/stray.xml", InvoiceXml("Stray"));
  WriteDocument("beta/b.xml", InvoiceXml("Unused"));
  WriteFolderList(FolderXml("A", "Alpha", alpha, true) + FolderXml("B", "Beta", Archive("beta"), false));
  WriteSettings(testsupport::kPollingElement, "FOLDER_ARCHIVE_PATH");
  ASSERT_TRUE(m_Runner.Start());
  ASSERT_TRUE(WaitForPasses("Alpha", 1));
  const std::string catalogue = alpha + "/Catalogue_IS/A";
  EXPECT_EQ(CataloguedNames(catalogue, alpha), (std::set<std::string>{"a.xml", "sub/b.xml", "c.pdf", "damaged.pdf"}));
  for (const char* word : {"Pinecrest", "due"}) {  // the text of every page
    EXPECT_EQ(testsupport::CatalogueScratch::FindIn(catalogue, word), std::vector<std::string>{alpha + "/c.pdf"});
  }
  EXPECT_FALSE(fs::exists(Archive("beta/Catalogue_IS")));
  EXPECT_EQ(Passes("Beta"), 0);

  WriteDocument("alpha/sub/new.xml", InvoiceXml("Newcomer"));
  WriteDocument("alpha/a.xml", InvoiceXml("Rewritten"));
  fs::last_write_time(alpha + "/a.xml", std::time(nullptr) + 100);
  fs::remove(alpha + "/sub/b.xml");
  const int passes = Passes("Alpha");
  ASSERT_TRUE(WaitForPasses("Alpha", passes + 2));
  EXPECT_EQ(CataloguedNames(catalogue, alpha), (std::set<std::string>{"a.xml", "sub/new.xml", "c.pdf", "damaged.pdf"}));
  EXPECT_EQ(testsupport::CatalogueScratch::FindIn(catalogue, "Rewritten"), std::vector<std::string>{alpha + "/a.xml"});
  EXPECT_EQ(testsupport::CatalogueScratch::FindIn(catalogue, "Ashgrove"), std::vector<std::string>{});
  StopService();
}

TEST_F(EndToEndTest, FolderListChangesWhileRunningAreFollowed) {
  WriteDocument("alpha/a.xml", InvoiceXml("Alpha"));
  WriteDocument("gamma/g1.xml", InvoiceXml("Gamma"));
  WriteFolderList(FolderXml("A", "Alpha", Archive("alpha"), true));
  WriteSettings();
  ASSERT_TRUE(m_Runner.Start());
  ASSERT_TRUE(WaitForPasses("Alpha", 1));
  EXPECT_FALSE(fs::exists(m_Catalogues + "G"));

  WriteFolderList(FolderXml("A", "Alpha", Archive("alpha"), true) + FolderXml("G", "Gamma", Archive("gamma"), true));
  ASSERT_TRUE(WaitForPasses("Gamma", 1));
  EXPECT_EQ(CatalogueCount(m_Catalogues + "G"), 1);

  WriteFolderList(FolderXml("A", "Alpha", Archive("alpha"), true) +
                  FolderXml("G", "Gamma", Archive("gamma"), false));
  ASSERT_TRUE(m_Runner.WaitForLine("Fennrick Folders.xml Loaded Successfully", kServiceDeadlineMs, 3));
  WriteDocument("gamma/g2.xml", InvoiceXml("Later"));
  const int gammaPasses = Passes("Gamma");
  ASSERT_TRUE(WaitForPasses("Alpha", Passes("Alpha") + 2));
  EXPECT_EQ(Passes("Gamma"), gammaPasses);
  EXPECT_EQ(CatalogueCount(m_Catalogues + "G"), 1) << "a folder switched off is no longer processed";
  StopService();
}

TEST_F(EndToEndTest, TheDeletionMarkerRebuildsTheCatalogue) {
  const std::string alpha = Archive("alpha");
  WriteDocument("alpha/a.xml", InvoiceXml("Alpha"));
  const std::string catalogue = m_Catalogues + "A";
  fs::create_directories(catalogue);
  {
    LIndexer indexer;
    LWriter* writer = indexer.GetWriter(catalogue);
    ASSERT_NE(indexer.Index(writer, alpha + "/a.xml"), 0);
    ASSERT_NE(indexer.IndexFromContent(writer, "/nowhere/ghost.xml", "ghost"), 0);
    indexer.CloseWriter(writer);
    LIndexer::CloseCatalogue(catalogue);
  }
  WriteFolderList(FolderXml("A", "Alpha", alpha, true));
  WriteSettings();
  ASSERT_TRUE(m_Runner.Start());
  ASSERT_TRUE(WaitForPasses("Alpha", 1));
  EXPECT_EQ(CataloguedNames(catalogue, alpha), (std::set<std::string>{"a.xml", "/nowhere/ghost.xml"}));
  ASSERT_TRUE(m_Runner.WriteFile("catalogues/A/_tobedeleted_", ""));
  ASSERT_TRUE(testsupport::PollUntil([&] { return !fs::exists(catalogue + "/_tobedeleted_"); }, kServiceDeadlineMs));
  ASSERT_TRUE(WaitForPasses("Alpha", Passes("Alpha") + 1));
  EXPECT_EQ(CataloguedNames(catalogue, alpha), (std::set<std::string>{"a.xml"}));
  StopService();
}

const std::vector<std::string> kSlowPauses = {"--pause-ms", "5000", "--folder-pause-ms", "20000",
                                              "--cycle-wait-ms", "60000"};

TEST_F(EndToEndTest, TheStopMarkerEndsTheRunWithinOnePause) {
  const int total = StartLargeWalk(kSlowPauses);
  ASSERT_TRUE(m_Runner.WriteFile("_stop_", ""));
  const auto stopped = std::chrono::steady_clock::now();
  int exitCode = -1;
  ASSERT_TRUE(m_Runner.WaitForExit(kServiceDeadlineMs, exitCode));
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::milliseconds(7000));
  EXPECT_EQ(exitCode, 0);
  EXPECT_LT(CatalogueCount(m_Catalogues + "A"), total);
}

TEST_F(EndToEndTest, SigtermInTheMiddleOfALargeWalkStopsWithinSeconds) {
  const int total = StartLargeWalk(kSlowPauses);
  const auto stopped = std::chrono::steady_clock::now();
  StopService();
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::milliseconds(4000))
      << "the stop cuts the 5 s pause short";
  const auto messages = m_Runner.LogMessages();
  ASSERT_GE(messages.size(), 2u);
  EXPECT_EQ(messages[messages.size() - 2], "Stopping...");
  EXPECT_EQ(messages.back(), "Stopped");
  EXPECT_LT(CatalogueCount(m_Catalogues + "A"), total);
}

TEST_F(EndToEndTest, ACatalogueKilledMidWalkIsSoundAndTheNextRunCompletesIt) {
  const int total = StartLargeWalk({"--pause-ms", "20", "--folder-pause-ms", "20000", "--cycle-wait-ms", "60000"});
  const std::string catalogue = m_Catalogues + "A";
  m_Runner.Kill();
  EXPECT_EQ(IntegrityCheck(catalogue), "ok");
  const int afterKill = CatalogueCount(catalogue);
  EXPECT_LT(afterKill, total);

  ASSERT_TRUE(m_Runner.Start());
  ASSERT_TRUE(WaitForPasses("Alpha", 1));
  EXPECT_EQ(CatalogueCount(catalogue), total);
  StopService();
  EXPECT_EQ(IntegrityCheck(catalogue), "ok");
}

}  // namespace
