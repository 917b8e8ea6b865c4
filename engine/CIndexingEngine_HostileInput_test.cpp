// End-to-end tests of the real service against hostile and broken input: files that would
// stall the worker, links that would leak files from outside the archive, settings that
// would catalogue the whole machine, and a read that hangs until the watchdog ends the run.
#include <sys/stat.h>
#include <sys/time.h>

#include <chrono>
#include <set>

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "testsupport/CatalogueScratch.h"
#include "testsupport/NotifySocket.h"
#include "testsupport/PdfMaker.h"
#include "testsupport/Polling.h"
#include "testsupport/ServiceEndToEndTest.h"

namespace fs = boost::filesystem;

namespace {

using testsupport::kServiceDeadlineMs;
const char kPollingWithDebug[] = "<DisableMonitoring>TRUE</DisableMonitoring><IsDebugAction>TRUE</IsDebugAction>";

using testsupport::CatalogueScratch;
using testsupport::InvoiceXml;
using testsupport::ReadAll;
using testsupport::UsingFolderXml;

// Sets a file's last-write time secondsFromNow away, so a walk takes the newest files first.
bool SetWriteTime(const std::string& path, int secondsFromNow) {
  const std::time_t when = std::time(nullptr) + secondsFromNow;
  const timeval times[2] = {{when, 0}, {when, 0}};
  return utimes(path.c_str(), times) == 0;
}

class HostileInputTest : public testsupport::ServiceEndToEndTest {
 protected:
  HostileInputTest() : m_Archive(m_Runner.MakeDirectory("archives/acme")) {}
  void WriteSetup(const std::string& folders) { Configure(folders, kPollingWithDebug); }
  void WriteDocument(const std::string& name, const std::string& content) { Write("archives/acme/" + name, content); }
  bool WaitForAcmePasses(int count) { return WaitForPasses("Acme", count); }
  std::set<std::string> Catalogued() { return testsupport::CataloguedNames(m_Catalogues + "ACME", m_Archive); }
  std::vector<std::string> Find(const std::string& word) { return CatalogueScratch::FindIn(m_Catalogues + "ACME", word); }
  bool LogHas(const std::string& message) { return m_Runner.CountLines(message) > 0; }
  // No watchdog ping for 3 s, as systemd would see before it ends the run.
  static bool WatchdogFallsQuiet(testsupport::NotifySocket& notify) {
    auto lastPing = std::chrono::steady_clock::now();
    return testsupport::PollUntil(
        [&] {
          if (notify.TakeWatchdogPings() > 0) lastPing = std::chrono::steady_clock::now();
          return std::chrono::steady_clock::now() - lastPing > std::chrono::seconds(3);
        },
        kServiceDeadlineMs);
  }

  const std::string m_Archive;  // ends with '/'
};

TEST_F(HostileInputTest, LinksLeakNothingAndHugeOrWideDocumentsNeitherStallNorFloodTheCatalogue) {
  // Secrets outside the archive, reached only through links planted in it.
  ASSERT_TRUE(m_Runner.WriteFile("secret/shadow", "root:$6$rootsecrethash:19000:0:99999:7:::\n"));
  ASSERT_TRUE(m_Runner.WriteFile("secret/dir/inner.xml", InvoiceXml("dirsecret")));
  ASSERT_TRUE(testsupport::MakePdf(m_Runner.PathOf("secret/private.pdf"), {"pdfsecret"}));
  fs::create_symlink(m_Runner.PathOf("secret/shadow"), m_Archive + "shadow.xml");
  fs::create_symlink(m_Runner.PathOf("secret/private.pdf"), m_Archive + "private.pdf");
  fs::create_symlink(m_Runner.PathOf("secret/dir"), m_Archive + "linked");
  WriteDocument("good.xml", InvoiceXml("Ashgrove"));
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
  WriteDocument("evil\n:error: forged\t.xml", InvoiceXml("Evil"));
  m_Runner.SetEnv("FK_MAX_TEXT_MB", "1");
  WriteSetup(UsingFolderXml("ACME", "Acme", m_Archive));
  ASSERT_TRUE(m_Runner.Start());
  ASSERT_TRUE(WaitForAcmePasses(1));

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
  WriteDocument("victim.xml", InvoiceXml("Victim"));
  WriteDocument("other.xml", InvoiceXml("Other"));
  const std::string slow = m_Archive + "slow.pdf";
  // The helper spins on slow.pdf until the plug-in's deadline: time to swap the file the walk
  // has listed and will read next.
  m_Runner.SetEnv("FK_PDFTEXT_DEADLINE_MS", "3000");
  m_Runner.SetEnv("FK_PDFTEXT_HELPER_FAULT", "spin:" + slow);
  WriteSetup(UsingFolderXml("ACME", "Acme", m_Archive));
  ASSERT_TRUE(m_Runner.Start());
  ASSERT_TRUE(WaitForAcmePasses(1));

  ASSERT_TRUE(testsupport::MakePdf(slow, {"Slow"}));
  ASSERT_TRUE(SetWriteTime(slow, 3600));  // newest: read first
  WriteDocument("victim.xml", InvoiceXml("Changed"));
  ASSERT_TRUE(SetWriteTime(m_Archive + "victim.xml", 1800));  // changed: read second
  ASSERT_TRUE(m_Runner.WaitForLine("index file " + slow, kServiceDeadlineMs));
  fs::remove(m_Archive + "victim.xml");
  ASSERT_EQ(mkfifo((m_Archive + "victim.xml").c_str(), 0600), 0);
  ASSERT_TRUE(SetWriteTime(m_Archive + "victim.xml", 1800));  // not taken for the catalogued file

  ASSERT_TRUE(WaitForAcmePasses(3)) << "the walk blocked on the FIFO";
  EXPECT_EQ(Catalogued(), (std::set<std::string>{"other.xml", "slow.pdf"}));
  StopService();
}

TEST_F(HostileInputTest, AHungPdfReadStopsTheWatchdogAndIsReadOnceMoreAfterTheRestart) {
  testsupport::NotifySocket notify(m_Runner.PathOf("notify"));
  ASSERT_TRUE(notify.IsOpen());
  m_Runner.SetEnv("NOTIFY_SOCKET", notify.Path());
  m_Runner.SetEnv("WATCHDOG_USEC", "1000000");  // the host looks for progress every 0.5 s
  const std::string stuck = m_Archive + "stuck.pdf";
  m_Runner.SetEnv("FK_PDFTEXT_DEADLINE_MS", "120000");
  m_Runner.SetEnv("FK_PDFTEXT_HELPER_FAULT", "hang:" + stuck);
  ASSERT_TRUE(testsupport::MakePdf(stuck, {"Stuck"}));
  WriteDocument("a.xml", InvoiceXml("Ashgrove"));
  WriteDocument("b.xml", InvoiceXml("Birchwood"));
  WriteSetup(UsingFolderXml("ACME", "Acme", m_Archive));
  ASSERT_TRUE(m_Runner.Start());
  ASSERT_TRUE(m_Runner.WaitForLine("index file " + stuck, kServiceDeadlineMs));
  EXPECT_TRUE(WatchdogFallsQuiet(notify)) << "the watchdog is still fed while the worker is stuck";
  EXPECT_NE(ReadAll(m_Runner.PathOf("_reading_")).find("R1" + stuck + '\0'), std::string::npos);
  m_Runner.KillWithChildren();

  // The next start reads the document once more, says so, and goes on with the rest.
  m_Runner.SetEnv("FK_PDFTEXT_HELPER_FAULT", "");
  ASSERT_TRUE(m_Runner.Start());
  ASSERT_TRUE(WaitForAcmePasses(2)) << "the restarted service stalled on the same document";
  EXPECT_EQ(m_Runner.CountLines(":error: Document " + stuck +
                                ": read once more: the service's last run ended while reading it (hung or crashed)"),
            1);
  EXPECT_EQ(Catalogued(), (std::set<std::string>{"a.xml", "b.xml", "stuck.pdf"}));
  EXPECT_EQ(Find("Stuck"), std::vector<std::string>{stuck});
  EXPECT_TRUE(testsupport::PollUntil([&] { return notify.TakeWatchdogPings() > 0; }, kServiceDeadlineMs))
      << "a working service feeds the watchdog";
  StopService();
}

// A read that blocks for good (a hung share): the live change that meets it is given up after
// the stall bound, so the folder's other changes go on; the watchdog stops being fed; a stop
// still ends the service; and two runs cut in its read leave it catalogued without its text.
TEST_F(HostileInputTest, AReadThatBlocksHoldsNeitherTheFolderNorTheStopAndIsGivenUpAfterTwoRuns) {
  testsupport::NotifySocket notify(m_Runner.PathOf("notify"));
  ASSERT_TRUE(notify.IsOpen());
  m_Runner.SetEnv("NOTIFY_SOCKET", notify.Path());
  m_Runner.SetEnv("WATCHDOG_USEC", "2000000");
  const std::string hung = m_Archive + "hung.xml";
  m_Runner.SetEnv("FK_DOCUMENT_READ_FAULT", "hang:" + hung);
  m_Runner.SetEnv("FK_READ_STALL_MS", "1000");
  WriteDocument("a.xml", InvoiceXml("Ashgrove"));
  Configure(UsingFolderXml("ACME", "Acme", m_Archive), "<IsDebugAction>TRUE</IsDebugAction>");
  std::vector<std::string> options = testsupport::ServiceRunner::FastOptions();
  options.insert(options.end(), {"--xml-settle-ms", "100"});
  ASSERT_TRUE(m_Runner.Start(options));
  ASSERT_TRUE(WaitForAcmePasses(1));
  WriteDocument("hung.xml", InvoiceXml("Hung"));
  ASSERT_TRUE(m_Runner.WaitForLine("index file " + hung, kServiceDeadlineMs));
  WriteDocument("b.xml", InvoiceXml("Birchwood"));
  EXPECT_TRUE(testsupport::PollUntil([&] { return Catalogued().count("b.xml") == 1; }, kServiceDeadlineMs))
      << "the folder's changes stopped behind the hung read";
  EXPECT_EQ(CountContaining(":sub: :error: Cannot read document " + hung + ": cannot read " + hung +
                            ": no data came for 1000 ms"),
            1);
  EXPECT_NE(ReadAll(m_Runner.PathOf("_reading_")).find("R1" + hung + '\0'), std::string::npos);
  EXPECT_TRUE(WatchdogFallsQuiet(notify)) << "the watchdog is still fed while a read hangs";
  StopService();
  EXPECT_EQ(m_Runner.CountLines("Stopped"), 1);
  // Nobody reads the notify socket from here on: a full one would hold the service's sends.
  m_Runner.SetEnv("NOTIFY_SOCKET", "");
  m_Runner.SetEnv("WATCHDOG_USEC", "");

  // The next run reads it once more and hangs in it again: a stop gives the read up at once,
  // long before its stall bound.
  m_Runner.SetEnv("FK_READ_STALL_MS", "3600000");
  ASSERT_TRUE(m_Runner.Start(options));
  EXPECT_TRUE(testsupport::PollUntil(
      [&] { return ReadAll(m_Runner.PathOf("_reading_")).find("R2" + hung + '\0') != std::string::npos; },
      kServiceDeadlineMs));
  StopService();
  EXPECT_EQ(m_Runner.CountLines(":error: Document " + hung +
                                ": read once more: the service's last run ended while reading it (hung or crashed)"),
            1);
  m_Runner.SetEnv("FK_DOCUMENT_READ_FAULT", "");
  ASSERT_TRUE(m_Runner.Start(options));
  ASSERT_TRUE(WaitForAcmePasses(1));  // each start begins a new activity log
  EXPECT_EQ(m_Runner.CountLines(":error: Document " + hung +
                                ": the service's last two runs ended while reading it (hung or crashed): catalogued "
                                "without its text"),
            1);
  EXPECT_EQ(Catalogued(), (std::set<std::string>{"a.xml", "b.xml", "hung.xml"}));
  EXPECT_TRUE(Find("Hung").empty());
  StopService();
}

TEST_F(HostileInputTest, TheRootAndSystemTreesAreRefusedAsFolderDirectories) {
  WriteDocument("good.xml", InvoiceXml("Ashgrove"));
  WriteSetup(UsingFolderXml("ROOT", "Root", "/") + UsingFolderXml("PROC", "Proc", "/proc/") +
             UsingFolderXml("ACME", "Acme", m_Archive, "/sys"));
  ASSERT_TRUE(m_Runner.Start());
  ASSERT_TRUE(WaitForAcmePasses(2));
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
