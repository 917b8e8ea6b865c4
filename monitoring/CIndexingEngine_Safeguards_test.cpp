// End-to-end tests with the real service: slips in the settings and the folder list, unreadable
// documents and many folders under a low descriptor limit.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "catalogue/LIndexer.h"
#include "catalogue/LSearcher.h"
#include "testsupport/EngineTestBed.h"
#include "testsupport/Polling.h"
#include "testsupport/ServiceRunner.h"

namespace fs = boost::filesystem;

namespace {

constexpr int kDeadlineMs = FK_SANITIZER_BUILD ? 180000 : 30000;
const char kPolling[] = "<DisableMonitoring>TRUE</DisableMonitoring>";

std::string Invoice(const std::string& word) {
  return "<?xml version=\"1.0\"?><Invoice><Supplier>" + word + "</Supplier></Invoice>";
}

std::string FolderXml(const std::string& reference, const std::string& name, const std::string& archive,
                      const std::string& processing = "") {
  return "<Folder><Reference>" + reference + "</Reference><Name>" + name + "</Name><ArchivePath>" + archive +
         "</ArchivePath>" + (processing.empty() ? "" : "<ProcessingPath>" + processing + "</ProcessingPath>") +
         "<Catalogue><UseMIS>TRUE</UseMIS></Catalogue></Folder>";
}

int Found(const std::string& catalogue, const std::string& word) {
  const auto result = LSearcher().Search(word, catalogue);
  return result ? result->Count : 0;
}

class SafeguardsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_Runner.SetEnv("FK_LOCK_DIR", m_Runner.MakeDirectory("locks"));
    m_Catalogues = m_Runner.MakeDirectory("catalogues");
  }
  void Configure(const std::string& folders) {
    ASSERT_TRUE(m_Runner.WriteFolderList(folders));
    ASSERT_TRUE(m_Runner.WriteSettings(m_Runner.PathOf("Fennrick Folders.xml"), m_Catalogues, kPolling));
  }
  void Write(const std::string& relative, const std::string& content) {
    ASSERT_TRUE(m_Runner.WriteFile(relative, content));
  }
  bool WaitForPasses(const std::string& folderName, int count) {
    return m_Runner.WaitForLine("starting monitoring for folder " + folderName, kDeadlineMs, count);
  }
  int CountContaining(const std::string& part) const {
    int count = 0;
    for (const std::string& line : m_Runner.LogMessages()) count += line.find(part) != std::string::npos ? 1 : 0;
    return count;
  }
  void StopService() { EXPECT_EQ(m_Runner.StopAndWait(kDeadlineMs), 0); }

  testsupport::ServiceRunner m_Runner;
  std::string m_Catalogues;
};

// PathCatalogues holds an archive; a catalogue directory holds files of the operator's own.
TEST_F(SafeguardsTest, CataloguesTouchOnlyTheirOwnFilesAndOneThatIsAFolderDirectoryIsRefused) {
  Write("archives/ok/ok.xml", Invoice("Okword"));
  Write("catalogues/OK/notes.txt", "the operator's");
  Write("catalogues/OK/kept.xml", Invoice("Keptword"));
  Write("catalogues/OK/_tobedeleted_", "");
  Write("catalogues/SAME/same.xml", Invoice("Sameword"));
  Write("catalogues/SAME/_tobedeleted_", "");
  Configure(FolderXml("OK", "Ok", m_Runner.PathOf("archives/ok")) +
            FolderXml("SAME", "Same", m_Runner.PathOf("catalogues/SAME/")));
  ASSERT_TRUE(m_Runner.Start());
  ASSERT_TRUE(WaitForPasses("Ok", 2));
  const std::string refused = ":error: Catalogue directory " + m_Catalogues + "SAME is the folder directory " +
                              m_Catalogues + "SAME of folder SAME: folder SAME is not indexed";
  EXPECT_GE(m_Runner.CountLines(refused), 1);
  EXPECT_TRUE(fs::exists(m_Catalogues + "SAME/same.xml"));
  EXPECT_TRUE(fs::exists(m_Catalogues + "SAME/_tobedeleted_"));
  EXPECT_FALSE(fs::exists(m_Catalogues + "SAME/catalogue.sqlite"));
  EXPECT_EQ(m_Runner.CountLines("starting monitoring for folder Same"), 0);

  EXPECT_TRUE(fs::exists(m_Catalogues + "OK/notes.txt"));
  EXPECT_TRUE(fs::exists(m_Catalogues + "OK/kept.xml"));
  EXPECT_FALSE(fs::exists(m_Catalogues + "OK/_tobedeleted_"));
  EXPECT_EQ(Found(m_Catalogues + "OK", "okword"), 1);
  StopService();

  // A damaged catalogue is set aside: its database files only.
  LIndexer::CloseCatalogue(m_Catalogues + "OK");
  for (const char* name : {"catalogue.sqlite-wal", "catalogue.sqlite-shm"}) fs::remove(m_Catalogues + "OK/" + name);
  Write("catalogues/OK/catalogue.sqlite", std::string(8192, 'x'));
  ASSERT_TRUE(m_Runner.Start());
  ASSERT_TRUE(WaitForPasses("Ok", 1));
  EXPECT_EQ(CountContaining(":error: Damaged catalogue " + m_Catalogues + "OK"), 1);
  EXPECT_TRUE(fs::exists(m_Catalogues + "OK/notes.txt"));
  EXPECT_TRUE(fs::exists(m_Catalogues + "OK/kept.xml"));
  EXPECT_EQ(Found(m_Catalogues + "OK", "okword"), 1);
  StopService();
}

TEST_F(SafeguardsTest, UnusableReferencesAndAFolderWithoutProcessingDirectoryGetTheRightLines) {
  Write("archives/plain/a.xml", Invoice("Plainword"));
  Configure(FolderXml("..", "Dots", m_Runner.PathOf("archives/plain")) +
            FolderXml("a/b", "Slash", m_Runner.PathOf("archives/plain")) +
            FolderXml("", "Nameless", m_Runner.PathOf("archives/plain")) +
            FolderXml("PLAIN", "Plain", m_Runner.PathOf("archives/plain")));
  ASSERT_TRUE(m_Runner.Start());
  ASSERT_TRUE(WaitForPasses("Plain", 3));
  EXPECT_GE(m_Runner.CountLines(":sub: :error: Reference \"..\" of folder Dots is unusable as a catalogue name"), 1);
  EXPECT_GE(m_Runner.CountLines(":sub: :error: Reference \"a/b\" of folder Slash is unusable as a catalogue name"), 1);
  EXPECT_EQ(m_Runner.CountLines(":sub: :error: Reference \"\" of folder Nameless is unusable as a catalogue name"), 1);
  EXPECT_EQ(CountContaining("No Archive Directory"), 0);
  EXPECT_EQ(CountContaining("doesn't exist"), 0) << "a folder without processing directory lacks nothing";
  EXPECT_EQ(m_Runner.CountLines(":sub: :error: "), 0);
  EXPECT_EQ(Found(m_Catalogues + "PLAIN", "plainword"), 1);
  EXPECT_FALSE(fs::exists(m_Runner.PathOf("catalogue.sqlite")));
  StopService();
}

// As root, the service runs without the capabilities that read any file.
TEST_F(SafeguardsTest, AnUnreadableXmlDocumentIsReportedOnceAndCataloguedOnceItCanBeRead) {
  if (geteuid() == 0) {
    const char caps[] = "-dac_override,-dac_read_search";
    m_Runner.SetCommandPrefix({"/usr/bin/setpriv", std::string("--inh-caps=") + caps, std::string("--bounding-set=") + caps, "--"});
  }
  Write("archives/x/hidden.xml", Invoice("Hiddenword"));
  Write("archives/x/open.xml", Invoice("Openword"));
  const std::string hidden = m_Runner.PathOf("archives/x/hidden.xml");
  ASSERT_EQ(chmod(hidden.c_str(), 0), 0);
  // Older than its readable neighbour: the walk's early stop would pass it by for good.
  testsupport::EngineTestBed::SetModificationTime(hidden, 1600000000);
  Configure(FolderXml("X", "Xfolder", m_Runner.PathOf("archives/x")));
  ASSERT_TRUE(m_Runner.Start());
  ASSERT_TRUE(WaitForPasses("Xfolder", 3));
  EXPECT_EQ(CountContaining(":sub: :error: Cannot read document " + hidden + ": "), 1);
  EXPECT_EQ(CountContaining("Permission denied"), 1);
  std::ifstream errorLog(m_Runner.PathOf("FKIndexingServicelogError.txt"), std::ios::binary);
  const std::string errors((std::istreambuf_iterator<char>(errorLog)), std::istreambuf_iterator<char>());
  EXPECT_NE(errors.find(",File or directory : " + hidden), std::string::npos) << errors;
  EXPECT_EQ(Found(m_Catalogues + "X", "openword"), 1);
  EXPECT_EQ(Found(m_Catalogues + "X", "hiddenword"), 0);

  ASSERT_EQ(chmod(hidden.c_str(), 0644), 0);
  EXPECT_TRUE(testsupport::PollUntil([&] { return Found(m_Catalogues + "X", "hiddenword") == 1; }, kDeadlineMs));
  StopService();
}

// Each catalogue connection holds three descriptors: under 64 the old service stopped at about 15.
TEST_F(SafeguardsTest, ManyFoldersAreCataloguedUnderALowDescriptorLimit) {
  constexpr int kFolders = FK_SANITIZER_BUILD ? 120 : 300;
  std::string folders;
  for (int i = 0; i < kFolders; ++i) {
    const std::string name = "f" + std::to_string(i);
    Write("archives/" + name + "/a.xml", Invoice("Word" + name));
    folders += FolderXml(name, "Folder " + name, m_Runner.PathOf("archives/" + name));
  }
  Configure(folders);
  m_Runner.SetCommandPrefix({"/usr/bin/prlimit", "--nofile=64", "--"});
  ASSERT_TRUE(m_Runner.Start());
  int catalogued = 0;
  const auto countCatalogued = [&] {
    catalogued = 0;
    for (int i = 0; i < kFolders; ++i) {
      const std::string name = "f" + std::to_string(i);
      catalogued += Found(m_Catalogues + name, "word" + name);
    }
    return catalogued == kFolders;
  };
  EXPECT_TRUE(testsupport::PollUntil(countCatalogued, kDeadlineMs)) << catalogued << " of " << kFolders;
  EXPECT_EQ(CountContaining(":error: "), 0);
  StopService();
}

}  // namespace
