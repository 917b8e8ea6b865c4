// The real service in monitoring mode: documents created, changed, removed and renamed below
// the watched directories reach the catalogue without a further pass, whatever the kernel's
// queue or watch limits do, and a stop keeps what was committed.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "catalogue/LSearcher.h"
#include "testsupport/CatalogueScratch.h"
#include "testsupport/PdfMaker.h"
#include "testsupport/Polling.h"
#include "testsupport/ServiceEndToEndTest.h"
#include "tools/ServiceStatusFile.h"

namespace fs = boost::filesystem;

namespace {

using testsupport::CatalogueCount;
using testsupport::CatalogueScratch;
using testsupport::InvoiceXml;
using testsupport::kServiceDeadlineMs;
using testsupport::UsingFolderXml;

// Short settling delays and pauses; a pass every 100 ms, so a folder reconciled in every pass
// (rather than watched) catches up quickly too.
const std::vector<std::string> kWatchingOptions = {"--cycle-wait-ms", "100", "--folder-pause-ms", "10",
                                                   "--pause-ms", "10", "--xml-settle-ms", "200",
                                                   "--other-settle-ms", "500"};

bool Move(const std::string& from, const std::string& to) { return std::rename(from.c_str(), to.c_str()) == 0; }

// Maps the file shared and closes it (the close is the watch's last event), waits, then puts
// the bytes at the offset through the mapping alone, which raises no event at all.
bool WriteThroughMapping(const std::string& path, size_t offset, const std::string& bytes,
                         const std::function<bool()>& afterClose) {
  const int fd = ::open(path.c_str(), O_RDWR);
  if (fd < 0) return false;
  const off_t size = ::lseek(fd, 0, SEEK_END);
  void* map = ::mmap(nullptr, static_cast<size_t>(size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ::close(fd);
  if (map == MAP_FAILED) return false;
  const bool waited = afterClose();
  std::copy(bytes.begin(), bytes.end(), static_cast<char*>(map) + offset);
  const bool synced = ::msync(map, static_cast<size_t>(size), MS_SYNC) == 0;
  ::munmap(map, static_cast<size_t>(size));
  return waited && synced;
}

class MonitoringEndToEndTest : public testsupport::ServiceEndToEndTest {
 protected:
  MonitoringEndToEndTest()
      : m_Archive(m_Runner.MakeDirectory("archive")), m_Processing(m_Runner.MakeDirectory("processing")) {
    m_Runner.SetEnv("FK_PDFTEXT_PLUGIN", FK_PDFTEXT_PLUGIN_PATH);
    m_Runner.SetEnv("FK_PDFTEXT_HELPER", FK_PDFTEXT_HELPER_PATH);
  }
  // Starts the service watching folder ACME (archive and processing directory) and waits for
  // the end of its first pass: from then on, changes reach the catalogue only by the watcher.
  void StartWatching() {
    Configure(UsingFolderXml("ACME", "Acme", m_Archive, m_Processing), "");
    ASSERT_TRUE(m_Runner.Start(kWatchingOptions));
    ASSERT_TRUE(WaitForPasses("Acme", 1));
  }
  std::string Catalogue() const { return m_Catalogues + "ACME"; }
  std::vector<std::string> Find(const std::string& word) const { return CatalogueScratch::FindIn(Catalogue(), word); }
  bool WaitFound(const std::string& word, const std::string& path) const {
    return testsupport::PollUntil([&] { return Find(word) == std::vector<std::string>{path}; }, kServiceDeadlineMs);
  }
  bool Catalogued(const std::string& path) const {
    int found = 0;
    return LSearcher().FileExists(path, Catalogue(), found) != 0;
  }
  bool WaitGone(const std::string& path) const {
    return testsupport::PollUntil([&] { return !Catalogued(path); }, kServiceDeadlineMs);
  }
  // Documents below the directory, counted by one query.
  int CountUnder(const std::string& directory) const { return LSearcher().Count(directory, Catalogue()); }
  bool WaitCountUnder(const std::string& directory, int count) const {
    return testsupport::PollUntil([&] { return CountUnder(directory) == count; }, kServiceDeadlineMs);
  }
  std::string WriteInvoice(const std::string& path, const std::string& word) const {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << InvoiceXml(word);
    return path;
  }
  // Waits until a document written after every change the test made before is catalogued: the
  // watcher has taken those changes by then (one queue per catalogue, in arrival order).
  bool WaitForQuiet(const std::string& directory) {
    const std::string word = "Quietmarker" + std::to_string(++m_nMarkers);
    return WaitFound(word, WriteInvoice(directory + word + ".xml", word));
  }

  const std::string m_Archive;     // ends with '/'
  const std::string m_Processing;  // ends with '/', outside the archive
  int m_nMarkers = 0;
};

TEST_F(MonitoringEndToEndTest, DocumentsCreatedChangedRemovedAndRenamedBelowWatchedDirectoriesReachTheCatalogue) {
  WriteInvoice(m_Archive + "2024/old.xml", "Oldword");
  fs::create_directories(m_Archive + "2024/01");
  ASSERT_TRUE(testsupport::MakePdf(m_Archive + "2024/01/old.pdf", {"Oldpdfword"}));
  StartWatching();
  EXPECT_EQ(testsupport::CataloguedNames(Catalogue(), m_Archive), (std::set<std::string>{"2024/old.xml", "2024/01/old.pdf"}));

  // Created: in a first-level directory, deeper, and in the processing directory.
  const std::string first = WriteInvoice(m_Archive + "2024/first.xml", "Firstword");
  const std::string deep = WriteInvoice(m_Archive + "2024/01/02/deep.xml", "Deepword");
  const std::string processed = WriteInvoice(m_Processing + "in/processed.xml", "Processedword");
  const std::string pdf = m_Archive + "2024/01/new.pdf";
  ASSERT_TRUE(testsupport::MakePdf(pdf, {"Invoice from Pinecrest", "Total Pdfpageword"}));
  const std::string processedPdf = m_Processing + "scan.pdf";
  ASSERT_TRUE(testsupport::MakePdf(processedPdf, {"Scannedword"}));
  EXPECT_TRUE(WaitFound("Firstword", first));
  EXPECT_TRUE(WaitFound("Deepword", deep));
  EXPECT_TRUE(WaitFound("Processedword", processed));
  EXPECT_TRUE(WaitFound("Pdfpageword", pdf)) << "the text of every page";
  EXPECT_TRUE(WaitFound("Scannedword", processedPdf));

  // Modified: the old text leaves with the old entry.
  WriteInvoice(first, "Rewrittenword");
  ASSERT_TRUE(testsupport::MakePdf(processedPdf, {"Rescannedword"}));
  EXPECT_TRUE(WaitFound("Rewrittenword", first));
  EXPECT_TRUE(WaitFound("Rescannedword", processedPdf));
  EXPECT_TRUE(Find("Firstword").empty());
  EXPECT_TRUE(Find("Scannedword").empty());

  // Removed.
  fs::remove(deep);
  fs::remove(m_Archive + "2024/01/old.pdf");
  EXPECT_TRUE(WaitGone(deep));
  EXPECT_TRUE(WaitGone(m_Archive + "2024/01/old.pdf"));

  // Renamed within a directory, into another watched directory, and between the processing
  // directory and the archive: found under the new name only, a PDF still by its text.
  const std::string renamed = m_Archive + "2024/01/renamed.xml";
  ASSERT_TRUE(Move(first, renamed));
  const std::string renamedPdf = m_Archive + "2024/moved.pdf";
  ASSERT_TRUE(Move(pdf, renamedPdf));
  const std::string filed = m_Archive + "2024/01/02/filed.xml";
  ASSERT_TRUE(Move(processed, filed));
  const std::string filedPdf = m_Archive + "2024/scan.pdf";
  ASSERT_TRUE(Move(processedPdf, filedPdf));
  EXPECT_TRUE(WaitFound("Rewrittenword", renamed));
  EXPECT_TRUE(WaitFound("Pinecrest", renamedPdf));
  EXPECT_TRUE(WaitFound("Processedword", filed));
  EXPECT_TRUE(WaitFound("Rescannedword", filedPdf));
  EXPECT_TRUE(WaitForQuiet(m_Archive + "2024/"));
  for (const std::string& gone : {first, pdf, processed, processedPdf}) EXPECT_FALSE(Catalogued(gone)) << gone;

  EXPECT_EQ(Passes("Acme"), 1) << "the changes came by a pass, not by the watcher";
  StopService();
}

TEST_F(MonitoringEndToEndTest, ChangesUnderOriginalsAndFilesThatAreNoDocumentsAreIgnored) {
  fs::create_directories(m_Archive + "2024/01");
  fs::create_directories(m_Archive + "Originals");
  StartWatching();
  const std::vector<std::string> ignored = {
      WriteInvoice(m_Archive + "2024/ORIGINALS/upper.xml", "Ignoredword"),
      WriteInvoice(m_Archive + "2024/originals/lower.xml", "Ignoredword"),
      WriteInvoice(m_Archive + "2024/Originals/sub/mixed.xml", "Ignoredword"),
      WriteInvoice(m_Archive + "Originals/first-level.xml", "Ignoredword"),
      WriteInvoice(m_Processing + "ORIGINALS/processing.xml", "Ignoredword"),
      WriteInvoice(m_Archive + "2024/invoice.FK$.xml", "Ignoredword"),
      WriteInvoice(m_Archive + "2024/notes.txt", "Ignoredword"),
  };
  ASSERT_TRUE(testsupport::MakePdf(m_Archive + "2024/ORIGINALS/scan.pdf", {"Ignoredword"}));
  // The walks leave out an ORIGINALS directory at any depth; so does the watcher.
  const std::string deeper = WriteInvoice(m_Archive + "2024/01/ORIGINALS/deeper.xml", "Deeperoriginalword");
  EXPECT_TRUE(WaitForQuiet(m_Archive + "2024/01/"));
  EXPECT_TRUE(WaitForQuiet(m_Processing));
  // Past the PDF's settling delay as well.
  ASSERT_TRUE(testsupport::MakePdf(m_Archive + "2024/marker.pdf", {"Pdfmarkerword"}));
  EXPECT_TRUE(WaitFound("Pdfmarkerword", m_Archive + "2024/marker.pdf"));
  EXPECT_TRUE(Find("Ignoredword").empty());
  EXPECT_TRUE(Find("Deeperoriginalword").empty()) << deeper << " is left out by the walks but catalogued when watched";
  StopService();
}

TEST_F(MonitoringEndToEndTest, TreesMovedInAreCataloguedWholeAndATreeMovedOutLeavesTheCatalogue) {
  fs::create_directories(m_Archive + "2024");
  StartWatching();
  // 2,000 invoices in nested directories, made outside and moved in by one rename.
  constexpr int kBurst = 2000;
  const std::string staging = m_Runner.MakeDirectory("staging");
  for (int i = 0; i < kBurst; ++i) {
    WriteInvoice(staging + "batch/m" + std::to_string(i % 10) + "/d" + std::to_string(i % 7) + "/b" +
                     std::to_string(i) + ".xml",
                 "Batchword");
  }
  const std::string batch = m_Archive + "2024/batch/";
  ASSERT_TRUE(Move(staging + "batch", m_Archive + "2024/batch"));
  // A new first-level directory with documents written at once, before its watch can be in place.
  const std::string nextYear = WriteInvoice(m_Archive + "2025/01/02/early.xml", "Nextyearword");
  EXPECT_TRUE(WaitCountUnder(batch, kBurst)) << CountUnder(batch) << " of " << kBurst;
  EXPECT_TRUE(WaitFound("Nextyearword", nextYear));
  const std::string later = WriteInvoice(m_Archive + "2025/later.xml", "Laterword");
  EXPECT_TRUE(WaitFound("Laterword", later));

  // The whole batch moved out of the archive: its documents leave the catalogue.
  ASSERT_TRUE(Move(m_Archive + "2024/batch", staging + "gone"));
  EXPECT_TRUE(WaitCountUnder(batch, 0)) << CountUnder(batch) << " left";
  // And a first-level directory moved in whole.
  ASSERT_TRUE(Move(staging + "gone", m_Archive + "2026"));
  EXPECT_TRUE(WaitCountUnder(m_Archive + "2026/", kBurst)) << CountUnder(m_Archive + "2026/") << " of " << kBurst;
  EXPECT_EQ(CatalogueCount(Catalogue()), kBurst + 2);
  EXPECT_EQ(Passes("Acme"), 1);
  StopService();
}

TEST_F(MonitoringEndToEndTest, ADocumentStillBeingWrittenIsCataloguedWithItsFinalText) {
  fs::create_directories(m_Archive + "2024");
  StartWatching();
  // Each piece comes after the settling delay has passed: an early read sees a partial file.
  const std::string xml = m_Archive + "2024/slow.xml";
  testsupport::WriteInPieces(xml, InvoiceXml("Beginningword Middleword Finalxmlword"), 4, 400);
  const std::string source = m_Runner.PathOf("source.pdf");
  ASSERT_TRUE(testsupport::MakePdf(source, {"Invoice first page", "Last page Finalpdfword"}));
  const std::string pdf = m_Archive + "2024/slow.pdf";
  testsupport::WriteInPieces(pdf, testsupport::ReadAll(source), 3, 800);
  EXPECT_TRUE(WaitFound("Finalxmlword", xml));
  EXPECT_TRUE(WaitFound("Finalpdfword", pdf));
  StopService();
}

TEST_F(MonitoringEndToEndTest, AQueueOverflowIsCaughtUpByReconcilingTheFolder) {
  std::ifstream limitFile("/proc/sys/fs/inotify/max_queued_events");
  long queueLimit = 0;
  limitFile >> queueLimit;
  // Each new file queues at least a creation and a close after writing.
  constexpr int kFiles = 20000;
  const bool overflows = queueLimit > 0 && queueLimit < 2 * kFiles;
  fs::create_directories(m_Archive + "bulk");
  const std::string live = WriteInvoice(m_Archive + "2024/sub/live.xml", "Liveword");
  const std::string staging = m_Runner.MakeDirectory("staging");
  StartWatching();
  ASSERT_EQ(kill(m_Runner.GetPid(), SIGSTOP), 0);
  for (int i = 0; i < kFiles; ++i) {
    std::ofstream(m_Archive + "bulk/" + (i % 2 == 0 ? "" : "odd/") + "f" + std::to_string(i) + ".xml")
        << "<I>w" << i << "</I>";
    if (i == 0) fs::create_directories(m_Archive + "bulk/odd");
  }
  // Moved out while its events are lost, and made again with the same document.
  ASSERT_TRUE(Move(m_Archive + "2024/sub", staging + "sub"));
  WriteInvoice(live, "Liveword");
  ASSERT_EQ(kill(m_Runner.GetPid(), SIGCONT), 0);
  EXPECT_TRUE(WaitCountUnder(m_Archive + "bulk/", kFiles)) << CountUnder(m_Archive + "bulk/") << " of " << kFiles;
  if (overflows) {
    EXPECT_EQ(m_Runner.CountLines(":error: Folder ACME: changes were lost (the kernel's queue of change events "
                                  "overflowed): the folder is reconciled again"),
              1);
  }
  // Watching goes on after the overflow, and the copy moved out no longer speaks for the archive.
  EXPECT_TRUE(WaitForQuiet(m_Archive + "bulk/odd/"));
  fs::remove(staging + "sub/live.xml");
  EXPECT_TRUE(WaitForQuiet(m_Archive + "2024/sub/"));
  EXPECT_EQ(Find("Liveword"), std::vector<std::string>{live});
  StopService();
}

TEST_F(MonitoringEndToEndTest, ACatalogueDeletedOrReplacedWhileWatchedIsSaidAndBuiltAgainWithEveryDocument) {
  std::vector<std::pair<std::string, std::string>> documents = {{WriteInvoice(m_Archive + "old.xml", "Oldword"), "Oldword"}};
  // No pass but the first on its own: the write of a change finds the catalogue gone.
  Configure(UsingFolderXml("ACME", "Acme", m_Archive, m_Processing), "");
  std::vector<std::string> options = kWatchingOptions;
  options[1] = "3600000";
  ASSERT_TRUE(m_Runner.Start(options));
  ASSERT_TRUE(WaitForPasses("Acme", 1));
  const std::string database = Catalogue() + "/catalogue.sqlite";
  const std::string said =
      ":error: Catalogue " + Catalogue() + ": its file was removed or replaced while the service ran: it is built again";
  for (int round = 1; round <= 2; ++round) {
    if (round == 1) {
      for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(database + suffix);
    } else {
      std::ofstream(database + ".new") << "no database at all";
      ASSERT_TRUE(Move(database + ".new", database));
    }
    const std::string word = "Afterword" + std::to_string(round);
    documents.emplace_back(WriteInvoice(m_Processing + word + ".xml", word), word);
    EXPECT_TRUE(testsupport::PollUntil([&] { return m_Runner.CountLines(said) == round; }, kServiceDeadlineMs));
    for (const auto& [path, found] : documents) EXPECT_TRUE(WaitFound(found, path)) << round;
  }
  EXPECT_TRUE(WaitForQuiet(m_Archive)) << "watched on";
  StopService();
}

TEST_F(MonitoringEndToEndTest, AnArchiveThatGoesAwayAndComesBackIsReconciledAndWatchedAgain) {
  const std::string kept = WriteInvoice(m_Archive + "2024/kept.xml", "Keptword");
  StartWatching();
  const std::string archive = m_Archive.substr(0, m_Archive.size() - 1);
  // Gone as an unmounted share goes; changed meanwhile elsewhere.
  ASSERT_TRUE(Move(archive, archive + ".away"));
  EXPECT_TRUE(m_Runner.WaitForLine(":error: Folder ACME: watched directory " + m_Archive +
                                       " is gone (deleted, moved or unmounted): it is no longer watched, and the "
                                       "folder is reconciled again",
                                   kServiceDeadlineMs));
  WriteInvoice(archive + ".away/2024/meanwhile.xml", "Meanwhileword");
  fs::remove(archive + ".away/2024/kept.xml");
  ASSERT_TRUE(Move(archive + ".away", archive));
  EXPECT_TRUE(WaitFound("Meanwhileword", m_Archive + "2024/meanwhile.xml"));
  EXPECT_TRUE(WaitGone(kept));
  const std::string later = WriteInvoice(m_Archive + "2024/later.xml", "Laterword");
  EXPECT_TRUE(WaitFound("Laterword", later)) << "watched again";
  StopService();
}

TEST_F(MonitoringEndToEndTest, AnArchiveWhoseParentIsRenamedIsWatchedAgainAtItsPathNotInTheOldTree) {
  const std::string parent = m_Runner.MakeDirectory("outer");
  const std::string archive = parent + "archive/";
  const std::string kept = WriteInvoice(archive + "2024/kept.xml", "Keptword");
  Configure(UsingFolderXml("ACME", "Acme", archive), "");
  ASSERT_TRUE(m_Runner.Start(kWatchingOptions));
  ASSERT_TRUE(WaitForPasses("Acme", 1));
  const std::string old = parent.substr(0, parent.size() - 1) + ".old/";
  ASSERT_TRUE(Move(parent, old));
  WriteInvoice(kept, "Keptword");
  const std::string fresh = WriteInvoice(archive + "2024/fresh.xml", "Freshword");
  EXPECT_TRUE(WaitFound("Freshword", fresh));
  fs::remove(old + "archive/2024/kept.xml");
  EXPECT_TRUE(WaitForQuiet(archive + "2024/"));
  EXPECT_EQ(Find("Keptword"), std::vector<std::string>{kept});
  StopService();
}

TEST_F(MonitoringEndToEndTest, AFolderRemovedFromTheFolderListIsNoLongerWatched) {
  const std::string other = m_Runner.MakeDirectory("other");
  fs::create_directories(other + "2024");
  fs::create_directories(m_Archive + "2024");
  const std::string both =
      UsingFolderXml("ACME", "Acme", m_Archive) + UsingFolderXml("OTHER", "Other", other);
  Configure(both, "");
  ASSERT_TRUE(m_Runner.Start(kWatchingOptions));
  ASSERT_TRUE(WaitForPasses("Acme", 1));
  ASSERT_TRUE(WaitForPasses("Other", 1));
  const std::string otherCatalogue = m_Catalogues + "OTHER";
  const std::string watched = WriteInvoice(other + "2024/watched.xml", "Watchedword");
  EXPECT_TRUE(testsupport::PollUntil(
      [&] { return CatalogueScratch::FindIn(otherCatalogue, "Watchedword").size() == 1; }, kServiceDeadlineMs));

  WriteFolderList(UsingFolderXml("ACME", "Acme", m_Archive));
  ASSERT_TRUE(m_Runner.WaitForLine("Fennrick Folders.xml Loaded Successfully", kServiceDeadlineMs, 2));
  // The folders of the new list are checked once the ones that left it are stopped.
  ASSERT_TRUE(m_Runner.WaitForLine("Checking Folder ACME", kServiceDeadlineMs, 2));
  const std::string unwatched = WriteInvoice(other + "2024/unwatched.xml", "Unwatchedword");
  // The remaining folder is still watched; two rounds of its queue give the other time to go wrong.
  EXPECT_TRUE(WaitForQuiet(m_Archive + "2024/"));
  EXPECT_TRUE(WaitForQuiet(m_Archive + "2024/"));
  EXPECT_TRUE(CatalogueScratch::FindIn(otherCatalogue, "Unwatchedword").empty()) << unwatched;

  // Back in the list, the folder is reconciled: nothing written meanwhile is lost.
  WriteFolderList(both);
  EXPECT_TRUE(WaitForPasses("Other", 2));
  EXPECT_EQ(CatalogueScratch::FindIn(otherCatalogue, "Unwatchedword"), std::vector<std::string>{unwatched});
  EXPECT_EQ(CatalogueScratch::FindIn(otherCatalogue, "Watchedword"), std::vector<std::string>{watched});
  StopService();
}

TEST_F(MonitoringEndToEndTest, SigtermWithBusyFlushThreadsStopsWithinSecondsAndKeepsWhatWasCommitted) {
  const std::string other = m_Runner.MakeDirectory("other");
  fs::create_directories(other + "2024");
  fs::create_directories(m_Archive + "2024");
  Configure(UsingFolderXml("ACME", "Acme", m_Archive) + UsingFolderXml("OTHER", "Other", other), "");
  ASSERT_TRUE(m_Runner.Start(kWatchingOptions));
  ASSERT_TRUE(WaitForPasses("Acme", 1));
  ASSERT_TRUE(WaitForPasses("Other", 1));
  // Documents with much text, each committed on its own: both flush threads stay busy.
  std::string text;
  for (int word = 0; text.size() < 20000; ++word) text += " item" + std::to_string(word * 7919 % 100003);
  constexpr int kPerFolder = 1500;
  for (int i = 0; i < kPerFolder; ++i) {
    for (const std::string& archive : {m_Archive, other}) {
      std::ofstream(archive + "2024/f" + std::to_string(i) + ".xml") << InvoiceXml("Busyword" + text);
    }
  }
  const std::string otherCatalogue = m_Catalogues + "OTHER";
  ASSERT_TRUE(testsupport::PollUntil(
      [&] { return CatalogueCount(Catalogue()) > 0 && CatalogueCount(otherCatalogue) > 0; }, kServiceDeadlineMs));
  const auto committedAcme = testsupport::CataloguedNames(Catalogue(), m_Archive);
  const auto committedOther = testsupport::CataloguedNames(otherCatalogue, other);
  const auto stopped = std::chrono::steady_clock::now();
  StopService();
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(10));
  for (const std::string& catalogue : {Catalogue(), otherCatalogue}) {
    EXPECT_EQ(CatalogueScratch::Pragma(catalogue, "integrity_check"), "ok") << catalogue;
    EXPECT_EQ(CatalogueScratch::FtsIntegrityCheck(catalogue), "ok") << catalogue;
  }
  const auto afterAcme = testsupport::CataloguedNames(Catalogue(), m_Archive);
  const auto afterOther = testsupport::CataloguedNames(otherCatalogue, other);
  for (const std::string& name : committedAcme) EXPECT_EQ(afterAcme.count(name), 1u) << name << " was lost";
  for (const std::string& name : committedOther) EXPECT_EQ(afterOther.count(name), 1u) << name << " was lost";
  EXPECT_LT(afterAcme.size() + afterOther.size(), 2u * kPerFolder) << "the stop came too late to catch a busy flush";

  // The next run catches up the rest.
  ASSERT_TRUE(m_Runner.Start(kWatchingOptions));
  EXPECT_TRUE(WaitForPasses("Acme", 1));
  EXPECT_TRUE(WaitForPasses("Other", 1));
  EXPECT_EQ(CatalogueCount(Catalogue()), kPerFolder);
  EXPECT_EQ(CatalogueCount(otherCatalogue), kPerFolder);
  StopService();
}

// PDFs arriving in ten folders at once, each taking processor time: read side by side by ten
// helpers on the service's one processor, each takes far longer than the deadline in wall-clock
// time and keeps its text all the same. A stop during a hung read then ends at once, and the
// document is read at the next start as if nothing had happened.
TEST_F(MonitoringEndToEndTest, PdfsArrivingInTenFoldersAtOnceKeepTheirTextAndAStopAbandonsAHungRead) {
  std::string folders;
  std::vector<std::string> archives;
  for (int i = 0; i < 10; ++i) {
    archives.push_back(m_Runner.MakeDirectory("pdfs/f" + std::to_string(i)));
    folders += UsingFolderXml("F" + std::to_string(i), "Folder" + std::to_string(i), archives.back());
  }
  Configure(folders, "<IsDebugAction>TRUE</IsDebugAction>");
  m_Runner.SetEnv("FK_PDFTEXT_READERS", "10");
  m_Runner.SetEnv("FK_PDFTEXT_DEADLINE_MS", "1000");
  m_Runner.SetEnv("FK_PDFTEXT_HELPER_FAULT", "busy:" + m_Runner.PathOf("pdfs/"));  // 250 ms each
  ASSERT_TRUE(m_Runner.Start(kWatchingOptions));
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(WaitForPasses("Folder" + std::to_string(i), 1));
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(testsupport::MakePdf(archives[i] + "a.pdf", {"Pdfword" + std::to_string(i)}));
  for (int i = 0; i < 10; ++i) {
    const std::string catalogue = m_Catalogues + "F" + std::to_string(i);
    EXPECT_TRUE(testsupport::PollUntil(
        [&] { return CatalogueScratch::FindIn(catalogue, "Pdfword" + std::to_string(i)).size() == 1; },
        kServiceDeadlineMs))
        << archives[i] << "a.pdf lost its text";
  }
  StopService();

  const std::string hung = archives[0] + "hung.pdf";
  m_Runner.SetEnv("FK_PDFTEXT_READERS", "");
  m_Runner.SetEnv("FK_PDFTEXT_DEADLINE_MS", "600000");
  m_Runner.SetEnv("FK_PDFTEXT_HELPER_FAULT", "hang:" + hung);
  ASSERT_TRUE(m_Runner.Start(kWatchingOptions));
  ASSERT_TRUE(WaitForPasses("Folder0", 1));
  ASSERT_TRUE(testsupport::MakePdf(hung, {"Hungword"}));
  ASSERT_TRUE(m_Runner.WaitForLine("index file " + hung, kServiceDeadlineMs));
  const auto stopped = std::chrono::steady_clock::now();
  StopService();
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(10));
  EXPECT_EQ(CountContaining(hung), 1) << "only its index line: nothing blames the document";
  int found = 0;
  EXPECT_EQ(LSearcher().FileExists(hung, m_Catalogues + "F0", found), 0);

  m_Runner.SetEnv("FK_PDFTEXT_HELPER_FAULT", "");
  ASSERT_TRUE(m_Runner.Start(kWatchingOptions));
  EXPECT_TRUE(testsupport::PollUntil(
      [&] { return CatalogueScratch::FindIn(m_Catalogues + "F0", "Hungword").size() == 1; }, kServiceDeadlineMs));
  StopService();
}

// The kernel's watch limit, lowered in a user namespace of the service's own.
TEST_F(MonitoringEndToEndTest, AtTheWatchLimitTheLimitIsNamedAndEveryDirectoryIsStillKeptUpToDate) {
  if (std::system("unshare -Ur true >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "user namespaces are not available here (unshare -Ur): the watch limit cannot be lowered";
  }
  m_Runner.SetCommandPrefix({"/usr/bin/unshare", "-Ur", "/bin/sh", "-c",
                             "echo 3 > /proc/sys/user/max_inotify_watches && exec \"$@\"", "sh"});
  for (const char* directory : {"a/x/y", "b/x", "c", "d"}) fs::create_directories(m_Archive + directory);
  const std::string early = WriteInvoice(m_Archive + "a/x/y/early.xml", "Earlyword");
  StartWatching();
  EXPECT_EQ(Find("Earlyword"), std::vector<std::string>{early});
  const std::string limitLine = ":error: Folder ACME: directory ";
  const std::string limitReached = " is not watched: the kernel's limit fs.inotify.max_user_watches is reached; "
                                   "raise it (\"sysctl -w fs.inotify.max_user_watches=1048576\"";
  ASSERT_TRUE(testsupport::PollUntil([&] { return CountContaining(limitReached) >= 1; }, kServiceDeadlineMs));
  ASSERT_TRUE(WaitForPasses("Acme", Passes("Acme") + 3));
  const int said = CountContaining(limitReached);
  EXPECT_EQ(CountStartingWith(limitLine), said);
  EXPECT_EQ(CountStartingWith(":error: "), said) << "no other error";

  for (const std::string& directory : {m_Archive + "a/x/y/", m_Archive + "b/x/", m_Archive + "c/", m_Archive + "d/",
                                       m_Processing}) {
    const std::string path = WriteInvoice(directory + "late.xml", "Lateword");
    EXPECT_TRUE(testsupport::PollUntil([&] { return Catalogued(path); }, kServiceDeadlineMs)) << path;
  }
  fs::remove(early);
  EXPECT_TRUE(WaitGone(early));
  EXPECT_EQ(CountContaining(limitReached), said) << "said once, not in every pass";
  StopService();
}

}  // namespace

TEST_F(MonitoringEndToEndTest, TheVerificationPassMendsAChangeMadeThroughAMappingAndSaysIt) {
  const std::string mapped = WriteInvoice(m_Archive + "2024/mapped.xml", "Oldmapword");
  Configure(UsingFolderXml("ACME", "Acme", m_Archive, m_Processing), "");
  std::vector<std::string> options = kWatchingOptions;
  options.insert(options.end(), {"--verification-interval-s", "1"});
  ASSERT_TRUE(m_Runner.Start(options));
  const std::string quiet = "Verification of folder ACME: 0 documents added, 0 replaced, 0 removed";
  ASSERT_TRUE(testsupport::PollUntil([&] { return CountContaining(quiet) >= 2; }, kServiceDeadlineMs))
      << "a watch that missed nothing mends nothing";

  const std::string text = testsupport::ReadAll(mapped);
  const size_t at = text.find("Oldmapword");
  ASSERT_NE(at, std::string::npos);
  const std::time_t written = fs::last_write_time(mapped);
  ASSERT_TRUE(WriteThroughMapping(mapped, at, "Newmapword", [&] { return WaitForQuiet(m_Archive + "2024/"); }));
  // A file system may leave the time alone on a write through a mapping; this one must show.
  // A second later than before, and not in the future: a future time is read as a file still
  // being written, and read again at the next verification.
  fs::last_write_time(mapped, written + 1);
  EXPECT_TRUE(WaitFound("Newmapword", mapped));
  EXPECT_TRUE(testsupport::PollUntil(
      [&] { return CountContaining("Verification of folder ACME: 0 documents added, 1 replaced, 0 removed") == 1; },
      kServiceDeadlineMs));
  // The error line and the error log come just after the counts.
  EXPECT_TRUE(testsupport::PollUntil(
      [&] { return CountStartingWith(":error: Verification of folder ACME: the watch missed 1 changes") == 1; },
      kServiceDeadlineMs));
  EXPECT_TRUE(testsupport::PollUntil(
      [&] {
        return testsupport::ReadAll(m_Runner.PathOf("FKIndexingServicelogError.txt")).find("the watch missed 1 changes") !=
               std::string::npos;
      },
      kServiceDeadlineMs));
  EXPECT_TRUE(Find("Oldmapword").empty());
  EXPECT_EQ(Passes("Acme"), 1) << "mended by the verification, not by a pass";
  EXPECT_TRUE(testsupport::PollUntil(
      [&] {
        const auto read = ServiceStatusFile::Read(ServiceStatusFile::PathIn(m_Runner.PathOf("")));
        return read.Ok && read.Status.Folders.size() == 1 && read.Status.Folders[0].VerificationMendedInAll >= 1;
      },
      kServiceDeadlineMs))
      << "the mend is counted in the published status";
  StopService();
}
