// End-to-end tests with the real service: slips in the settings and the folder list, unreadable
// documents and many folders under a low descriptor limit.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "catalogue/LIndexer.h"
#include "testsupport/EngineTestBed.h"
#include "testsupport/Polling.h"
#include "testsupport/ServiceEndToEndTest.h"

namespace fs = boost::filesystem;

namespace {

using testsupport::FoundCount;
using testsupport::InvoiceXml;
using testsupport::kServiceDeadlineMs;
using testsupport::UsingFolderXml;

class SafeguardsTest : public testsupport::ServiceEndToEndTest {};

// PathCatalogues holds an archive; a catalogue directory holds files of the operator's own.
TEST_F(SafeguardsTest, CataloguesTouchOnlyTheirOwnFilesAndOneThatIsAFolderDirectoryIsRefused) {
  Write("archives/ok/ok.xml", InvoiceXml("Okword"));
  Write("catalogues/OK/notes.txt", "the operator's");
  Write("catalogues/OK/kept.xml", InvoiceXml("Keptword"));
  Write("catalogues/OK/_tobedeleted_", "");
  Write("catalogues/SAME/same.xml", InvoiceXml("Sameword"));
  Write("catalogues/SAME/_tobedeleted_", "");
  Configure(UsingFolderXml("OK", "Ok", m_Runner.PathOf("archives/ok")) +
            UsingFolderXml("SAME", "Same", m_Runner.PathOf("catalogues/SAME/")));
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
  EXPECT_EQ(FoundCount(m_Catalogues + "OK", "okword"), 1);
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
  EXPECT_EQ(FoundCount(m_Catalogues + "OK", "okword"), 1);
  StopService();
}

TEST_F(SafeguardsTest, UnusableReferencesAndAFolderWithoutProcessingDirectoryGetTheRightLines) {
  Write("archives/plain/a.xml", InvoiceXml("Plainword"));
  Configure(UsingFolderXml("..", "Dots", m_Runner.PathOf("archives/plain")) +
            UsingFolderXml("a/b", "Slash", m_Runner.PathOf("archives/plain")) +
            UsingFolderXml("", "Nameless", m_Runner.PathOf("archives/plain")) +
            UsingFolderXml("PLAIN", "Plain", m_Runner.PathOf("archives/plain")));
  ASSERT_TRUE(m_Runner.Start());
  ASSERT_TRUE(WaitForPasses("Plain", 3));
  EXPECT_GE(m_Runner.CountLines(":sub: :error: Reference \"..\" of folder Dots is unusable as a catalogue name"), 1);
  EXPECT_GE(m_Runner.CountLines(":sub: :error: Reference \"a/b\" of folder Slash is unusable as a catalogue name"), 1);
  EXPECT_EQ(m_Runner.CountLines(":sub: :error: Reference \"\" of folder Nameless is unusable as a catalogue name"), 1);
  EXPECT_EQ(CountContaining("No Archive Directory"), 0);
  EXPECT_EQ(CountContaining("doesn't exist"), 0) << "a folder without processing directory lacks nothing";
  EXPECT_EQ(m_Runner.CountLines(":sub: :error: "), 0);
  EXPECT_EQ(FoundCount(m_Catalogues + "PLAIN", "plainword"), 1);
  EXPECT_FALSE(fs::exists(m_Runner.PathOf("catalogue.sqlite")));
  StopService();
}

// As root, the service runs without the capabilities that read any file.
TEST_F(SafeguardsTest, AnUnreadableXmlDocumentIsReportedOnceAndCataloguedOnceItCanBeRead) {
  if (geteuid() == 0) {
    const char caps[] = "-dac_override,-dac_read_search";
    m_Runner.SetCommandPrefix({"/usr/bin/setpriv", std::string("--inh-caps=") + caps, std::string("--bounding-set=") + caps, "--"});
  }
  Write("archives/x/hidden.xml", InvoiceXml("Hiddenword"));
  Write("archives/x/open.xml", InvoiceXml("Openword"));
  const std::string hidden = m_Runner.PathOf("archives/x/hidden.xml");
  ASSERT_EQ(chmod(hidden.c_str(), 0), 0);
  // Older than its readable neighbour: the walk's early stop would pass it by for good.
  testsupport::EngineTestBed::SetModificationTime(hidden, 1600000000);
  Configure(UsingFolderXml("X", "Xfolder", m_Runner.PathOf("archives/x")));
  ASSERT_TRUE(m_Runner.Start());
  ASSERT_TRUE(WaitForPasses("Xfolder", 3));
  EXPECT_EQ(CountContaining(":sub: :error: Cannot read document " + hidden + ": "), 1);
  EXPECT_EQ(CountContaining("Permission denied"), 1);
  const std::string errors = testsupport::ReadAll(m_Runner.PathOf("FKIndexingServicelogError.txt"));
  EXPECT_NE(errors.find(",File or directory : " + hidden), std::string::npos) << errors;
  EXPECT_EQ(FoundCount(m_Catalogues + "X", "openword"), 1);
  EXPECT_EQ(FoundCount(m_Catalogues + "X", "hiddenword"), 0);

  ASSERT_EQ(chmod(hidden.c_str(), 0644), 0);
  EXPECT_TRUE(testsupport::PollUntil([&] { return FoundCount(m_Catalogues + "X", "hiddenword") == 1; }, kServiceDeadlineMs));
  StopService();
}

// Each catalogue connection holds three descriptors: under 64 the old service stopped at about 15.
TEST_F(SafeguardsTest, ManyFoldersAreCataloguedUnderALowDescriptorLimit) {
  constexpr int kFolders = FK_SANITIZER_BUILD ? 120 : 300;
  std::string folders;
  for (int i = 0; i < kFolders; ++i) {
    const std::string name = "f" + std::to_string(i);
    Write("archives/" + name + "/a.xml", InvoiceXml("Word" + name));
    folders += UsingFolderXml(name, "Folder " + name, m_Runner.PathOf("archives/" + name));
  }
  Configure(folders);
  m_Runner.SetCommandPrefix({"/usr/bin/prlimit", "--nofile=64", "--"});
  ASSERT_TRUE(m_Runner.Start());
  int catalogued = 0;
  const auto countCatalogued = [&] {
    catalogued = 0;
    for (int i = 0; i < kFolders; ++i) {
      const std::string name = "f" + std::to_string(i);
      catalogued += FoundCount(m_Catalogues + name, "word" + name);
    }
    return catalogued == kFolders;
  };
  EXPECT_TRUE(testsupport::PollUntil(countCatalogued, kServiceDeadlineMs)) << catalogued << " of " << kFolders;
  EXPECT_EQ(CountContaining(":error: "), 0);
  StopService();
}

}  // namespace
