// End-to-end tests of the real service against hostile and broken input: files that would
// stall the worker, links that would leak files from outside the archive, settings that
// would catalogue the whole machine, and a read that hangs until the watchdog ends the run.
#include <sys/stat.h>
#include <sys/time.h>

#include <chrono>
#include <fstream>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "catalogue/LSearcher.h"
#include "testsupport/CatalogueScratch.h"
#include "testsupport/EngineTestBed.h"
#include "testsupport/NotifySocket.h"
#include "testsupport/PdfMaker.h"
#include "testsupport/Polling.h"
#include "testsupport/ServiceRunner.h"

namespace fs = boost::filesystem;

namespace {

constexpr int kDeadlineMs = FK_SANITIZER_BUILD ? 180000 : 30000;
const char kPollingWithDebug[] = "<DisableMonitoring>TRUE</DisableMonitoring><IsDebugAction>TRUE</IsDebugAction>";

constexpr auto& FolderXml = testsupport::ServiceRunner::FolderXml;
using testsupport::CatalogueScratch;

std::string Invoice(const std::string& word) {
  return "<?xml version=\"1.0\"?><Invoice><Supplier>" + word + "</Supplier></Invoice>";
}

std::string ReadAll(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  return content.str();
}

// Sets a file's last-write time secondsFromNow away, so a walk takes the newest files first.
bool SetWriteTime(const std::string& path, int secondsFromNow) {
  const std::time_t when = std::time(nullptr) + secondsFromNow;
  const timeval times[2] = {{when, 0}, {when, 0}};
  return utimes(path.c_str(), times) == 0;
}

class HostileInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_Runner.SetEnv("FK_LOCK_DIR", m_Runner.MakeDirectory("locks"));
    m_Catalogues = m_Runner.MakeDirectory("catalogues");
    m_Archive = m_Runner.MakeDirectory("archives/acme");
  }
  void WriteSetup(const std::string& folders) {
    ASSERT_TRUE(m_Runner.WriteFolderList(folders));
    ASSERT_TRUE(m_Runner.WriteSettings(m_Runner.PathOf("Fennrick Folders.xml"), m_Catalogues, kPollingWithDebug));
  }
  void WriteDocument(const std::string& name, const std::string& content) {
    ASSERT_TRUE(m_Runner.WriteFile("archives/acme/" + name, content));
  }
  bool WaitForPasses(int count) {
    return m_Runner.WaitForLine("starting monitoring for folder Acme", kDeadlineMs, count);
  }
  std::set<std::string> Catalogued() {
    std::set<std::string> names;
    for (const auto& entry : testsupport::EngineTestBed::Documents(m_Catalogues + "ACME", m_Archive)) {
      names.insert(entry.first.substr(m_Archive.size()));
    }
    return names;
  }
  std::vector<std::string> Find(const std::string& word) { return CatalogueScratch::FindIn(m_Catalogues + "ACME", word); }
  bool LogHas(const std::string& message) { return m_Runner.CountLines(message) > 0; }
  void StopService() { EXPECT_EQ(m_Runner.StopAndWait(kDeadlineMs), 0); }

  testsupport::ServiceRunner m_Runner;
  std::string m_Catalogues;
  std::string m_Archive;  // ends with '/'
};

TEST_F(HostileInputTest, LinksLeakNothingAndHugeOrWideDocumentsNeitherStallNorFloodTheCatalogue) {
  // Secrets outside the archive, reached only through links planted in it.
  ASSERT_TRUE(m_Runner.WriteFile("secret/shadow", "root:$6$rootsecrethash:19000:0:99999:7:::\n"));
  ASSERT_TRUE(m_Runner.WriteFile("secret/dir/inner.xml", Invoice("dirsecret")));
  ASSERT_TRUE(testsupport::MakePdf(m_Runner.PathOf("secret/private.pdf"), {"pdfsecret"}));
  fs::create_symlink(m_Runner.PathOf("secret/shadow"), m_Archive + "shadow.xml");
  fs::create_symlink(m_Runner.PathOf("secret/private.pdf"), m_Archive + "private.pdf");
  fs::create_symlink(m_Runner.PathOf("secret/dir"), m_Archive + "linked");
  WriteDocument("good.xml", Invoice("Ashgrove"));
  // One element with 200,000 attributes: hours of the XML parser's duplicate checks.
  std::string wide = "<?xml version=\"1.0\"?><Invoice";
  for (int i = 0; i < 200000; ++i) wide += " a" + std::to_string(i) + "=\"v\"";
  WriteDocument("wide.xml", wide + " last=\"Widevalue\">Widetext</Invoice>");
  // 3 MiB of text against a cap of 1 MiB, in an XML and in a PDF document.
  std::string words;
  while (words.size() < (3u << 20)) words += "filler ";
  WriteDocument("big.xml", "<Invoice>Bigstart " + words + "Bigtail</Invoice>");
  // 300 full pages of about 4 KiB of text each.
  std::string page;
  for (int line = 0; line < 50; ++line) page += words.substr(0, 80) + "\n";
  std::vector<std::string> pages(300, page);
  pages.front() = "Pdfstart\n" + page;
  pages.back() = page + "Pdftail";
  ASSERT_TRUE(testsupport::MakePdf(m_Archive + "big.pdf", pages));
  // A name that would write a line of its own into the log with debug lines on.
  WriteDocument("evil\n:error: forged\t.xml", Invoice("Evil"));
  m_Runner.SetEnv("FK_MAX_TEXT_MB", "1");
  WriteSetup(FolderXml("ACME", "Acme", m_Archive, true));
  ASSERT_TRUE(m_Runner.Start());
  ASSERT_TRUE(WaitForPasses(1));

  EXPECT_EQ(Catalogued(), (std::set<std::string>{"good.xml", "wide.xml", "big.xml", "big.pdf",
                                                 "evil\n:error: forged\t.xml"}));
  for (const char* secret : {"rootsecrethash", "dirsecret", "pdfsecret"}) EXPECT_TRUE(Find(secret).empty()) << secret;
  EXPECT_EQ(Find("Widevalue"), std::vector<std::string>{m_Archive + "wide.xml"}) << "attribute values kept";
  EXPECT_EQ(Find("Widetext"), std::vector<std::string>{m_Archive + "wide.xml"});
  EXPECT_TRUE(LogHas(":error: Document " + m_Archive +
                     "wide.xml: too many attributes in one element for the XML parser: text read without it"));
  for (const char* name : {"big.xml", "big.pdf"}) {
    EXPECT_TRUE(LogHas(":error: Document " + m_Archive + name + ": text longer than 1 MiB: only the first part is kept"));
  }
  EXPECT_EQ(Find("Bigstart").size(), 1u);
  EXPECT_EQ(Find("Pdfstart").size(), 1u);
  EXPECT_TRUE(Find("Bigtail").empty());
  EXPECT_TRUE(Find("Pdftail").empty());
  const std::string errorLog = ReadAll(m_Runner.PathOf("FKIndexingServicelogError.txt"));
  EXPECT_NE(errorLog.find("text longer than 1 MiB"), std::string::npos) << errorLog;

  const std::string log = ReadAll(m_Runner.LogPath());
  EXPECT_EQ(log.find("\n:error: forged"), std::string::npos) << "a forged line";
  EXPECT_NE(log.find("index file " + m_Archive + "evil\\n:error: forged\\t.xml"), std::string::npos);
  StopService();
}

TEST_F(HostileInputTest, AFifoSwappedInForAListedFileDoesNotBlockTheWalk) {
  WriteDocument("victim.xml", Invoice("Victim"));
  WriteDocument("other.xml", Invoice("Other"));
  const std::string slow = m_Archive + "slow.pdf";
  // The helper stalls on slow.pdf until the plug-in's deadline: time to swap the file the walk
  // has listed and will read next.
  m_Runner.SetEnv("FK_PDFTEXT_DEADLINE_MS", "3000");
  m_Runner.SetEnv("FK_PDFTEXT_HELPER_FAULT", "hang:" + slow);
  WriteSetup(FolderXml("ACME", "Acme", m_Archive, true));
  ASSERT_TRUE(m_Runner.Start());
  ASSERT_TRUE(WaitForPasses(1));

  ASSERT_TRUE(testsupport::MakePdf(slow, {"Slow"}));
  ASSERT_TRUE(SetWriteTime(slow, 3600));  // newest: read first
  WriteDocument("victim.xml", Invoice("Changed"));
  ASSERT_TRUE(SetWriteTime(m_Archive + "victim.xml", 1800));  // changed: read second
  ASSERT_TRUE(m_Runner.WaitForLine("index file " + slow, kDeadlineMs));
  fs::remove(m_Archive + "victim.xml");
  ASSERT_EQ(mkfifo((m_Archive + "victim.xml").c_str(), 0600), 0);
  ASSERT_TRUE(SetWriteTime(m_Archive + "victim.xml", 1800));  // not taken for the catalogued file

  ASSERT_TRUE(WaitForPasses(3)) << "the walk blocked on the FIFO";
  EXPECT_EQ(Catalogued(), (std::set<std::string>{"other.xml", "slow.pdf"}));
  StopService();
}

TEST_F(HostileInputTest, AHungReadStopsTheWatchdogAndIsSkippedOnceAfterTheRestart) {
  testsupport::NotifySocket notify(m_Runner.PathOf("notify"));
  ASSERT_TRUE(notify.IsOpen());
  m_Runner.SetEnv("NOTIFY_SOCKET", notify.Path());
  m_Runner.SetEnv("WATCHDOG_USEC", "1000000");  // the host looks for progress every 0.5 s
  const std::string stuck = m_Archive + "stuck.pdf";
  m_Runner.SetEnv("FK_PDFTEXT_DEADLINE_MS", "120000");
  m_Runner.SetEnv("FK_PDFTEXT_HELPER_FAULT", "hang:" + stuck);
  ASSERT_TRUE(testsupport::MakePdf(stuck, {"Stuck"}));
  WriteDocument("a.xml", Invoice("Ashgrove"));
  WriteDocument("b.xml", Invoice("Birchwood"));
  WriteSetup(FolderXml("ACME", "Acme", m_Archive, true));
  ASSERT_TRUE(m_Runner.Start());
  ASSERT_TRUE(m_Runner.WaitForLine("index file " + stuck, kDeadlineMs));

  // Stuck in the read: the pings stop, so systemd would end the run within its watchdog time.
  auto lastPing = std::chrono::steady_clock::now();
  const bool quiet = testsupport::PollUntil(
      [&] {
        if (notify.TakeWatchdogPings() > 0) lastPing = std::chrono::steady_clock::now();
        return std::chrono::steady_clock::now() - lastPing > std::chrono::seconds(3);
      },
      kDeadlineMs);
  EXPECT_TRUE(quiet) << "the watchdog is still fed while the worker is stuck";
  EXPECT_EQ(ReadAll(m_Runner.PathOf("_reading_")).compare(0, stuck.size() + 2, "R" + stuck + '\0'), 0);
  m_Runner.KillWithChildren();

  // The next start leaves the document unread once, says so, and goes on with the rest.
  ASSERT_TRUE(m_Runner.Start());
  ASSERT_TRUE(WaitForPasses(2)) << "the restarted service stalled on the same document";
  EXPECT_EQ(m_Runner.CountLines(":error: Document " + stuck +
                                ": the service's last run ended while reading it (hung or crashed): "
                                "catalogued without its text"),
            1);
  EXPECT_EQ(Catalogued(), (std::set<std::string>{"a.xml", "b.xml", "stuck.pdf"}));
  EXPECT_TRUE(testsupport::PollUntil([&] { return notify.TakeWatchdogPings() > 0; }, kDeadlineMs))
      << "a working service feeds the watchdog";
  StopService();
}

TEST_F(HostileInputTest, TheRootAndSystemTreesAreRefusedAsFolderDirectories) {
  WriteDocument("good.xml", Invoice("Ashgrove"));
  WriteSetup(FolderXml("ROOT", "Root", "/", true) + FolderXml("PROC", "Proc", "/proc/", true) +
             "<Folder><Reference>ACME</Reference><Name>Acme</Name><ArchivePath>" + m_Archive +
             "</ArchivePath><ProcessingPath>/sys</ProcessingPath><Catalogue><UseMIS>TRUE</UseMIS></Catalogue></Folder>");
  ASSERT_TRUE(m_Runner.Start());
  ASSERT_TRUE(WaitForPasses(2));
  EXPECT_TRUE(LogHas(":error: Folder ROOT: directory / is refused: it is the root directory: the whole machine "
                     "would be catalogued"));
  EXPECT_TRUE(LogHas(":error: Folder PROC: directory /proc/ is refused: it lies in /proc, a system directory"));
  EXPECT_TRUE(LogHas(":error: Folder ACME: directory /sys is refused: it lies in /sys, a system directory"));
  EXPECT_FALSE(fs::exists(m_Catalogues + "ROOT"));
  EXPECT_FALSE(fs::exists(m_Catalogues + "PROC"));
  EXPECT_EQ(Catalogued(), std::set<std::string>{"good.xml"});
  StopService();
}

}  // namespace
