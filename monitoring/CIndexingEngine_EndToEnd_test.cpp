#include "monitoring/CIndexingEngine.h"

#include <chrono>
#include <ctime>
#include <fstream>
#include <set>

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "catalogue/LIndexer.h"
#include "catalogue/LSearcher.h"
#include "testsupport/CatalogueScratch.h"
#include "testsupport/EngineTestBed.h"
#include "testsupport/PdfMaker.h"
#include "testsupport/Polling.h"
#include "testsupport/ServiceRunner.h"

namespace fs = boost::filesystem;

namespace {

// Sanitizer builds index several times slower; the deadline only bounds a failing wait.
constexpr int kDeadlineMs = FK_SANITIZER_BUILD ? 180000 : 30000;
const char kPolling[] = "<DisableMonitoring>TRUE</DisableMonitoring>";

constexpr auto& FolderXml = testsupport::ServiceRunner::FolderXml;

std::string Invoice(const std::string& word) {
  return "<?xml version=\"1.0\"?><Invoice><Supplier>" + word + "</Supplier></Invoice>";
}

int Count(const std::string& catalogue) { return LSearcher().Count(catalogue); }

std::string IntegrityCheck(const std::string& catalogue) {
  return testsupport::CatalogueScratch::Pragma(catalogue, "integrity_check");
}

class EndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_Runner.SetEnv("FK_LOCK_DIR", m_Runner.MakeDirectory("locks"));
    m_Catalogues = m_Runner.MakeDirectory("catalogues");
  }
  void WriteFolderList(const std::string& folders) { ASSERT_TRUE(m_Runner.WriteFolderList(folders)); }
  void WriteSettings(const std::string& catalogues, const std::string& extra = kPolling) {
    ASSERT_TRUE(m_Runner.WriteSettings(m_Runner.PathOf("Fennrick Folders.xml"), catalogues, extra));
  }
  std::string Archive(const std::string& name) { return m_Runner.PathOf("archives/" + name); }
  void WriteDocument(const std::string& relative, const std::string& content) {
    ASSERT_TRUE(m_Runner.WriteFile("archives/" + relative, content));
  }
  bool WaitForPasses(const std::string& folderName, int count) {
    return m_Runner.WaitForLine("starting monitoring for folder " + folderName, kDeadlineMs, count);
  }
  std::set<std::string> Names(const std::string& catalogue, const std::string& archive) {
    std::set<std::string> names;
    for (const auto& entry : testsupport::EngineTestBed::Documents(catalogue)) {
      names.insert(entry.first.compare(0, archive.size(), archive) == 0 ? entry.first.substr(archive.size() + 1)
                                                                         : entry.first);
    }
    return names;
  }
  // A large tree for the walks that must be caught in the middle: few files (they are slow
  // to create here) with much text each (slow to index).
  int WriteLargeTree(const std::string& name, int directories, int perDirectory) {
    std::string text;
    for (int word = 0; text.size() < 40000; ++word) text += " item" + std::to_string(word * 7919 % 100003);
    for (int d = 0; d < directories; ++d) {
      const std::string directory = Archive(name + "/d" + std::to_string(d));
      fs::create_directories(directory);
      for (int f = 0; f < perDirectory; ++f) {
        std::ofstream(directory + "/f" + std::to_string(f) + ".xml") << Invoice("Supplier" + std::to_string(f) + text);
      }
    }
    return directories * perDirectory;
  }
  // Starts a polling service on a large tree with a 5 s pause between work slices, and waits
  // until the walk has committed something; the number of documents of the tree.
  int StartLargeWalk(const std::vector<std::string>& options) {
    const int total = WriteLargeTree("alpha", 8, 400);
    WriteFolderList(FolderXml("A", "Alpha", Archive("alpha"), true));
    WriteSettings(m_Catalogues, std::string(kPolling) + "<Priority>LOW</Priority>");
    EXPECT_TRUE(m_Runner.Start(options));
    EXPECT_TRUE(testsupport::PollUntil([&] { return Count(m_Catalogues + "A") > 0; }, kDeadlineMs));
    return total;
  }
  void StopService() { EXPECT_EQ(m_Runner.StopAndWait(kDeadlineMs), 0); }

  testsupport::ServiceRunner m_Runner;
  std::string m_Catalogues;
};

TEST_F(EndToEndTest, PollingCataloguesEveryDocumentAndCatchesEveryChange) {
  const std::string alpha = Archive("alpha");
  WriteDocument("alpha/a.xml", Invoice("Ashgrove"));
  WriteDocument("alpha/sub/b.xml", Invoice("Birchwood"));
  ASSERT_TRUE(testsupport::MakePdf(alpha + "/c.pdf", {"Invoice from Pinecrest", "Total due"}));
  WriteDocument("alpha/damaged.pdf", "%PDF-1.4 not a real document");
  WriteDocument("alpha/ORIGINALS/o.xml", Invoice("Original"));
  WriteDocument("alpha/sub/originals/o2.pdf", "%PDF-1.4");
  WriteDocument("alpha/a.FK$.xml", Invoice("Companion"));
  WriteDocument("alpha/notes.txt", "notes");
  WriteDocument("alpha/Catalogue_IS/A/stray.xml", Invoice("Stray"));
  WriteDocument("beta/b.xml", Invoice("Unused"));
  WriteFolderList(FolderXml("A", "Alpha", alpha, true) + FolderXml("B", "Beta", Archive("beta"), false));
  WriteSettings("FOLDER_ARCHIVE_PATH");
  ASSERT_TRUE(m_Runner.Start());
  ASSERT_TRUE(WaitForPasses("Alpha", 1));
  const std::string catalogue = alpha + "/Catalogue_IS/A";
  EXPECT_EQ(Names(catalogue, alpha), (std::set<std::string>{"a.xml", "sub/b.xml", "c.pdf", "damaged.pdf"}));
  for (const char* word : {"Pinecrest", "due"}) {  // the text of every page
    EXPECT_EQ(testsupport::CatalogueScratch::FindIn(catalogue, word), std::vector<std::string>{alpha + "/c.pdf"});
  }
  EXPECT_FALSE(fs::exists(Archive("beta/Catalogue_IS")));
  EXPECT_EQ(m_Runner.CountLines("starting monitoring for folder Beta"), 0);

  WriteDocument("alpha/sub/new.xml", Invoice("Newcomer"));
  WriteDocument("alpha/a.xml", Invoice("Rewritten"));
  fs::last_write_time(alpha + "/a.xml", std::time(nullptr) + 100);
  fs::remove(alpha + "/sub/b.xml");
  const int passes = m_Runner.CountLines("starting monitoring for folder Alpha");
  ASSERT_TRUE(WaitForPasses("Alpha", passes + 2));
  EXPECT_EQ(Names(catalogue, alpha), (std::set<std::string>{"a.xml", "sub/new.xml", "c.pdf", "damaged.pdf"}));
  EXPECT_EQ(testsupport::CatalogueScratch::FindIn(catalogue, "Rewritten"), std::vector<std::string>{alpha + "/a.xml"});
  EXPECT_EQ(testsupport::CatalogueScratch::FindIn(catalogue, "Ashgrove"), std::vector<std::string>{});
  StopService();
}

TEST_F(EndToEndTest, FolderListChangesWhileRunningAreFollowed) {
  WriteDocument("alpha/a.xml", Invoice("Alpha"));
  WriteDocument("gamma/g1.xml", Invoice("Gamma"));
  WriteFolderList(FolderXml("A", "Alpha", Archive("alpha"), true));
  WriteSettings(m_Catalogues);
  ASSERT_TRUE(m_Runner.Start());
  ASSERT_TRUE(WaitForPasses("Alpha", 1));
  EXPECT_FALSE(fs::exists(m_Catalogues + "G"));

  WriteFolderList(FolderXml("A", "Alpha", Archive("alpha"), true) + FolderXml("G", "Gamma", Archive("gamma"), true));
  ASSERT_TRUE(WaitForPasses("Gamma", 1));
  EXPECT_EQ(Count(m_Catalogues + "G"), 1);

  WriteFolderList(FolderXml("A", "Alpha", Archive("alpha"), true) +
                  FolderXml("G", "Gamma", Archive("gamma"), false));
  ASSERT_TRUE(m_Runner.WaitForLine("Fennrick Folders.xml Loaded Successfully", kDeadlineMs, 3));
  WriteDocument("gamma/g2.xml", Invoice("Later"));
  const int gammaPasses = m_Runner.CountLines("starting monitoring for folder Gamma");
  ASSERT_TRUE(WaitForPasses("Alpha", m_Runner.CountLines("starting monitoring for folder Alpha") + 2));
  EXPECT_EQ(m_Runner.CountLines("starting monitoring for folder Gamma"), gammaPasses);
  EXPECT_EQ(Count(m_Catalogues + "G"), 1) << "a folder switched off is no longer processed";
  StopService();
}

TEST_F(EndToEndTest, TheDeletionMarkerRebuildsTheCatalogue) {
  const std::string alpha = Archive("alpha");
  WriteDocument("alpha/a.xml", Invoice("Alpha"));
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
  WriteSettings(m_Catalogues);
  ASSERT_TRUE(m_Runner.Start());
  ASSERT_TRUE(WaitForPasses("Alpha", 1));
  EXPECT_EQ(Names(catalogue, alpha), (std::set<std::string>{"a.xml", "/nowhere/ghost.xml"}));
  ASSERT_TRUE(m_Runner.WriteFile("catalogues/A/_tobedeleted_", ""));
  ASSERT_TRUE(testsupport::PollUntil([&] { return !fs::exists(catalogue + "/_tobedeleted_"); }, kDeadlineMs));
  ASSERT_TRUE(WaitForPasses("Alpha", m_Runner.CountLines("starting monitoring for folder Alpha") + 1));
  EXPECT_EQ(Names(catalogue, alpha), (std::set<std::string>{"a.xml"}));
  StopService();
}

const std::vector<std::string> kSlowPauses = {"--pause-ms", "5000", "--folder-pause-ms", "20000",
                                              "--cycle-wait-ms", "60000"};

TEST_F(EndToEndTest, TheStopMarkerEndsTheRunWithinOnePause) {
  const int total = StartLargeWalk(kSlowPauses);
  ASSERT_TRUE(m_Runner.WriteFile("_stop_", ""));
  const auto stopped = std::chrono::steady_clock::now();
  int exitCode = -1;
  ASSERT_TRUE(m_Runner.WaitForExit(kDeadlineMs, exitCode));
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::milliseconds(7000));
  EXPECT_EQ(exitCode, 0);
  EXPECT_LT(Count(m_Catalogues + "A"), total);
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
  EXPECT_LT(Count(m_Catalogues + "A"), total);
}

TEST_F(EndToEndTest, ACatalogueKilledMidWalkIsSoundAndTheNextRunCompletesIt) {
  const int total = StartLargeWalk({"--pause-ms", "20", "--folder-pause-ms", "20000", "--cycle-wait-ms", "60000"});
  const std::string catalogue = m_Catalogues + "A";
  m_Runner.Kill();
  EXPECT_EQ(IntegrityCheck(catalogue), "ok");
  const int afterKill = Count(catalogue);
  EXPECT_LT(afterKill, total);

  ASSERT_TRUE(m_Runner.Start());
  ASSERT_TRUE(WaitForPasses("Alpha", 1));
  EXPECT_EQ(Count(catalogue), total);
  StopService();
  EXPECT_EQ(IntegrityCheck(catalogue), "ok");
}

}  // namespace
