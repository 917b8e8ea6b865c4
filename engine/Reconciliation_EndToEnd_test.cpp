// The real service in polling mode with passes back to back, while documents arrive: nothing
// may be left out of the catalogue for good, and a catalogue that cannot be written is said.

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "testsupport/CatalogueScratch.h"
#include "testsupport/PdfMaker.h"
#include "testsupport/Polling.h"
#include "testsupport/ServiceEndToEndTest.h"

namespace fs = boost::filesystem;

namespace {

using testsupport::kServiceDeadlineMs;
// Passes back to back: no wait after a cycle, no pause after a folder.
const std::vector<std::string> kBackToBack = {"--cycle-wait-ms", "0", "--folder-pause-ms", "0", "--pause-ms", "10"};

std::string FolderXml(const std::string& reference, const std::string& archive, const std::string& processing) {
  return testsupport::UsingFolderXml(reference, reference, archive, processing);
}

std::string Invoice(const std::string& lastWord) {
  return "<?xml version=\"1.0\"?><Invoice><Supplier>Acme</Supplier><Amount>12.50</Amount><Note>" + lastWord +
         "</Note></Invoice>";
}

class ReconciliationEndToEndTest : public testsupport::ServiceEndToEndTest {
 protected:
  void SetUp() override {
    m_Runner.SetEnv("FK_PDFTEXT_PLUGIN", FK_PDFTEXT_PLUGIN_PATH);
    m_Runner.SetEnv("FK_PDFTEXT_HELPER", FK_PDFTEXT_HELPER_PATH);
  }
  // Two whole passes that start after this call.
  bool WaitForTwoMorePasses(const std::string& reference) const {
    return WaitForPasses(reference, Passes(reference) + 3);
  }
};

TEST_F(ReconciliationEndToEndTest, DocumentsArrivingWhilePassesRunAreAllFoundByTheirLastWord) {
  // The processing directory shares the first letters of the archive's path, nothing more.
  const std::string archive = m_Runner.MakeDirectory("data/arch");
  const std::string processing = m_Runner.MakeDirectory("data/arch2/in");
  ASSERT_TRUE(m_Runner.WriteFile("data/arch/old.xml", Invoice("Oldendword")));
  Configure(FolderXml("A", archive, processing));
  ASSERT_TRUE(m_Runner.Start(kBackToBack));
  ASSERT_TRUE(WaitForPasses("A", 1));

  std::vector<std::pair<std::string, std::string>> expected;  // path, last word
  const std::string pdfSource = m_Runner.PathOf("source.pdf");
  int serial = 0;
  const auto word = [&](const std::string& kind) { return "End" + kind + "word" + std::to_string(serial++); };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(4);
  bool chmodDone = false;
  for (int round = 0; std::chrono::steady_clock::now() < deadline; ++round) {
    // A burst in one go, as a scanner's batch arrives: most of it in one second.
    for (int i = 0; i < 24; ++i) {
      const std::string directory = i % 3 == 0 ? processing : archive + (i % 3 == 1 ? "" : "sub/");
      const std::string path = directory + "burst" + std::to_string(round) + "-" + std::to_string(i) + ".xml";
      const std::string last = word("Burst");
      fs::create_directories(directory);
      std::ofstream(path, std::ios::binary) << Invoice(last);
      expected.emplace_back(path, last);
    }
    // Documents written in four pieces while the passes run, XML and PDF.
    const std::string xmlLast = word("Piece");
    const std::string xmlPath = archive + "piece" + std::to_string(round) + ".xml";
    testsupport::WriteInPieces(xmlPath, Invoice(xmlLast), 4, 60);
    expected.emplace_back(xmlPath, xmlLast);
    const std::string pdfLast = word("Pdf");
    ASSERT_TRUE(testsupport::MakePdf(pdfSource, {"Invoice total 12.50 " + pdfLast}));
    const std::string pdfPath = processing + "piece" + std::to_string(round) + ".pdf";
    testsupport::WriteInPieces(pdfPath, testsupport::ReadAll(pdfSource), 4, 60);
    expected.emplace_back(pdfPath, pdfLast);
    // Halfway, every file of the archive gets one status-change second, as a chmod -R does.
    if (!chmodDone && std::chrono::steady_clock::now() > deadline - std::chrono::seconds(2)) {
      for (fs::recursive_directory_iterator it(archive), end; it != end; ++it) {
        fs::permissions(it->path(), fs::owner_read | fs::owner_write | fs::group_read | fs::others_read |
                                        (fs::is_directory(it->path()) ? fs::owner_exe | fs::group_exe | fs::others_exe
                                                                      : fs::no_perms));
      }
      chmodDone = true;
    }
  }
  ASSERT_TRUE(WaitForTwoMorePasses("A"));
  // Checked while the service runs on: a document being read again stays in the catalogue.
  const std::string catalogue = m_Catalogues + "A";
  int missing = 0;
  for (const auto& [path, last] : expected) {
    const std::vector<std::string> found = testsupport::CatalogueScratch::FindIn(catalogue, last);
    if (found != std::vector<std::string>{path}) {
      ++missing;
      std::string foundText;
      for (const std::string& each : found) foundText += " " + each;
      ADD_FAILURE() << path << " is not found by " << last << "; the search found:" << foundText << " ("
                    << testsupport::CatalogueScratch::QueryText(
                           catalogue, "SELECT count(*) FROM documents WHERE path = '" + path + "'", 0)
                    << " rows of that path, stored time "
                    << testsupport::CatalogueScratch::QueryText(
                           catalogue, "SELECT modified FROM documents WHERE path = '" + path + "'", 0)
                    << ", file time " << fs::last_write_time(path) << ", text "
                    << testsupport::CatalogueScratch::QueryText(
                           catalogue, "SELECT text FROM document_text WHERE rowid = (SELECT id FROM documents WHERE path = '" + path + "')", 0)
                    << ")";
    }
  }
  EXPECT_EQ(missing, 0) << "of " << expected.size();
  EXPECT_EQ(testsupport::CatalogueScratch::FindIn(catalogue, "Oldendword").size(), 1u);
  StopService();
  EXPECT_EQ(testsupport::CatalogueCount(catalogue), static_cast<int>(expected.size()) + 1);
}

TEST_F(ReconciliationEndToEndTest, ACatalogueDatabaseThatIsADirectoryIsSaidAndItsDocumentsComeLater) {
  const std::string archive = m_Runner.MakeDirectory("data/arch");
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(m_Runner.WriteFile("data/arch/d" + std::to_string(i) + ".xml", Invoice("Dirword" + std::to_string(i))));
  }
  Configure(FolderXml("A", archive, ""));
  const std::string catalogue = m_Catalogues + "A";
  fs::create_directories(catalogue + "/catalogue.sqlite");
  ASSERT_TRUE(m_Runner.Start(kBackToBack));
  const std::string prefix = ":error: Catalogue " + catalogue + " cannot be written: ";
  ASSERT_TRUE(testsupport::PollUntil([&] { return CountStartingWith(prefix) >= 2; }, kServiceDeadlineMs));
  fs::remove(catalogue + "/catalogue.sqlite");
  ASSERT_TRUE(WaitForTwoMorePasses("A"));
  StopService();
  EXPECT_EQ(testsupport::CatalogueCount(catalogue), 20);
}

TEST_F(ReconciliationEndToEndTest, DocumentsReplacedWithTheirOldTimeAreReadAgainInAPassAndAfterARestart) {
  const std::string archive = m_Runner.MakeDirectory("data/arch");
  const std::string catalogue = m_Catalogues + "A";
  const std::vector<std::string> paths = {archive + "cp-p.xml", archive + "touch-r.xml", archive + "renamed.xml"};
  const auto write = [](const std::string& path, const std::string& word, std::time_t time) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << Invoice(word);
    fs::last_write_time(path, time);
  };
  for (size_t i = 0; i < paths.size(); ++i) write(paths[i], "Alphaword" + std::to_string(i), std::time(nullptr) - 100);
  // Content of the same size each time, the old modification time put back.
  const auto replace = [&](const std::string& stem) {
    const std::time_t old = fs::last_write_time(paths[0]);
    const std::string copy = m_Runner.PathOf("copy.xml");
    write(copy, stem + "0", old);
    fs::copy_file(copy, paths[0], fs::copy_option::overwrite_if_exists);  // cp -p: the same inode
    fs::last_write_time(paths[0], old);
    write(paths[1], stem + "1", old);  // touch -r
    write(archive + "renamed.tmp", stem + "2", old);
    fs::rename(archive + "renamed.tmp", paths[2]);
  };
  const auto allFound = [&](const std::string& stem) {
    for (size_t i = 0; i < paths.size(); ++i) {
      EXPECT_EQ(testsupport::CatalogueScratch::FindIn(catalogue, stem + std::to_string(i)),
                std::vector<std::string>{paths[i]}) << stem;
    }
  };
  Configure(FolderXml("A", archive, ""));
  ASSERT_TRUE(m_Runner.Start(kBackToBack));
  ASSERT_TRUE(WaitForPasses("A", 1));
  allFound("Alphaword");
  replace("Bravoword");
  ASSERT_TRUE(WaitForTwoMorePasses("A"));
  allFound("Bravoword");
  StopService();
  replace("Charlword");
  ASSERT_TRUE(m_Runner.Start(kBackToBack));
  ASSERT_TRUE(WaitForTwoMorePasses("A"));
  allFound("Charlword");
  StopService();
}

// Root only: a private mount namespace holds a small file system or a read-only view.
class PrivateMountTest : public ReconciliationEndToEndTest {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace (unshare -m); skipped";
    ReconciliationEndToEndTest::SetUp();
  }
  // The service runs after `script` (sh, in a private mount namespace) has run.
  void LaunchAfter(const std::string& script) {
    m_Runner.SetCommandPrefix({"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c",
                          script + " && exec \"$@\"", "sh"});
  }
  // A path as the service sees it, in its own mount namespace.
  std::string SeenByService(const std::string& path) const {
    return "/proc/" + std::to_string(m_Runner.GetPid()) + "/root" + path;
  }
  // The documents of a catalogue that lives in the service's mount namespace, counted there.
  int CountInServiceNamespace(const std::string& catalogue) const {
    const std::string tool = fs::path(FK_SERVICE_BINARY).parent_path().string() + "/fkcatalogue";
    const std::string command = "/usr/bin/nsenter -t " + std::to_string(m_Runner.GetPid()) + " -m -- '" + tool +
                                "' count '" + catalogue + "' 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    char buffer[64] = {};
    const bool read = fgets(buffer, sizeof buffer, pipe) != nullptr;
    pclose(pipe);
    return read ? std::atoi(buffer) : -1;
  }
  void WriteInvoices(int count) {
    for (int i = 0; i < count; ++i) {
      ASSERT_TRUE(m_Runner.WriteFile("data/arch/sub" + std::to_string(i % 10) + "/d" + std::to_string(i) + ".xml",
                                     Invoice("Diskword" + std::to_string(i) + std::string(1500, 'x'))));
    }
  }
};

TEST_F(PrivateMountTest, ACatalogueOnAFullDiskIsSaidAndItsDocumentsAreTakenWhenThereIsRoomAgain) {
  const std::string archive = m_Runner.MakeDirectory("data/arch");
  WriteInvoices(600);
  Configure(FolderXml("A", archive, ""));
  // A 16 MB file system almost filled by another file.
  LaunchAfter("mount -t tmpfs -o size=16m fkfull '" + m_Catalogues + "' && head -c 15800k /dev/zero > '" +
              m_Catalogues + "filler'");
  ASSERT_TRUE(m_Runner.Start(kBackToBack));
  const std::string catalogue = m_Catalogues + "A";
  const std::string prefix = ":error: Catalogue " + catalogue + " cannot be written: ";
  ASSERT_TRUE(testsupport::PollUntil([&] { return CountStartingWith(prefix) >= 1; }, kServiceDeadlineMs));
  bool sayFull = false;
  for (const std::string& message : m_Runner.LogMessages()) {
    sayFull = sayFull || (message.rfind(prefix, 0) == 0 && message.find("full") != std::string::npos);
  }
  EXPECT_TRUE(sayFull) << "the cause is named";
  ASSERT_TRUE(fs::exists(SeenByService(m_Catalogues + "filler"))) << SeenByService(m_Catalogues + "filler");
  fs::remove(SeenByService(m_Catalogues + "filler"));
  ASSERT_TRUE(WaitForTwoMorePasses("A"));
  // The catalogue lives in the service's namespace only: counted while it runs, once it settled.
  EXPECT_TRUE(testsupport::PollUntil([&] { return CountInServiceNamespace(catalogue) == 600; }, kServiceDeadlineMs))
      << CountInServiceNamespace(catalogue) << " documents; " << CountStartingWith(prefix) << " error lines, "
      << Passes("A") << " passes";
  StopService();
}

TEST_F(PrivateMountTest, AReadOnlyCatalogueDirectoryIsSaidAndItsDocumentsAreTakenOnceWritable) {
  const std::string archive = m_Runner.MakeDirectory("data/arch");
  WriteInvoices(30);
  Configure(FolderXml("A", archive, ""));
  const std::string catalogue = m_Runner.MakeDirectory("catalogues/A");
  LaunchAfter("mount --bind '" + catalogue + "' '" + catalogue + "' && mount -o remount,bind,ro '" + catalogue + "'");
  ASSERT_TRUE(m_Runner.Start(kBackToBack));
  const std::string prefix = ":error: Catalogue " + m_Catalogues + "A cannot be written: ";
  ASSERT_TRUE(testsupport::PollUntil([&] { return CountStartingWith(prefix) >= 2; }, kServiceDeadlineMs));
  StopService();
  EXPECT_EQ(testsupport::CatalogueCount(catalogue), 0);
  m_Runner.SetCommandPrefix({});
  ASSERT_TRUE(m_Runner.Start(kBackToBack));
  ASSERT_TRUE(WaitForTwoMorePasses("A"));
  EXPECT_EQ(testsupport::CatalogueCount(catalogue), 30);
  StopService();
}

}  // namespace
