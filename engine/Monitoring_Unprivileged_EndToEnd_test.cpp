// The real service in monitoring mode run as an ordinary user with a process limit, as a
// hardened unit runs it:
// a thread limit never strands a change, hundreds of watched folders cost a bounded number of
// threads, a document that cannot be read yet is read once it can, however long it waits, and so
// are the documents of a directory that cannot be watched yet.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "platform/CChildProcess.h"
#include "platform/PeakMemory.h"
#include "testsupport/CatalogueScratch.h"
#include "testsupport/Polling.h"
#include "testsupport/ServiceEndToEndTest.h"

namespace fs = boost::filesystem;

namespace {

using testsupport::CatalogueScratch;
using testsupport::InvoiceXml;
using testsupport::kServiceDeadlineMs;
using testsupport::UsingFolderXml;

const std::vector<std::string> kOptions = {"--cycle-wait-ms", "100", "--folder-pause-ms", "0", "--pause-ms", "10",
                                           "--xml-settle-ms", "100", "--retry-first-ms", "100",
                                           "--retry-longest-ms", "400"};

constexpr int kProcessLimit = 64;

class UnprivilegedMonitoringTest : public testsupport::ServiceEndToEndTest {
 protected:
  void SetUp() override {
    if (getuid() != 0 || std::system("command -v setpriv prlimit >/dev/null 2>&1") != 0) {
      GTEST_SKIP() << "needs root to run the service as another user (setpriv, prlimit)";
    }
    // A user of its own: its process count is the service's alone, whatever else runs.
    m_strUser = std::to_string(200000 + getpid() % 100000);
    m_Runner.SetCommandPrefix({"/usr/bin/setpriv", "--reuid=" + m_strUser, "--regid=" + m_strUser,
                               "--clear-groups", "/usr/bin/prlimit", "--nproc=" + std::to_string(kProcessLimit),
                               "--"});
  }
  // The program directory, catalogues and locks belong to the service's user; the archives
  // stay root's, readable only.
  void HandOver() {
    const std::string owner = m_strUser + ":" + m_strUser + " ";
    ASSERT_EQ(std::system(("chown " + owner + m_Runner.ProgramDirectory() + " && chown -R " + owner + m_Catalogues +
                           " " + m_Runner.PathOf("locks")).c_str()),
              0);
  }
  // The service, as its user, watching folder ACME over archive (with its "2024" directory).
  void StartWatchingOneFolder(const std::string& archive) {
    fs::create_directories(archive + "2024");
    Configure(UsingFolderXml("ACME", "Acme", archive), "");
    HandOver();
    ASSERT_TRUE(m_Runner.Start(kOptions));
    ASSERT_TRUE(WaitForPasses("Acme", 1));
  }
  // Processes of the service's user that use up its process limit (it counts them all), until
  // they are let go.
  void FillProcessLimit(int count) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(m_Release), 0);
    const uid_t user = static_cast<uid_t>(std::stoul(m_strUser));
    for (int i = 0; i < count; ++i) {
      m_Fillers.emplace_back(std::make_unique<platform::CChildProcess>());
      ASSERT_TRUE(m_Fillers.back()->Fork([&] {
        close(m_Release[1]);
        if (setresgid(user, user, user) != 0 || setresuid(user, user, user) != 0) return 1;
        char byte = 'y';
        if (write(ready[1], &byte, 1) != 1) return 1;
        while (read(m_Release[0], &byte, 1) > 0) {
        }
        return 0;
      }));
    }
    close(m_Release[0]);
    close(ready[1]);
    // Counted once each runs as the user: only then is the limit reached.
    char byte;
    for (int i = 0; i < count; ++i) ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
  }
  void ReleaseProcessLimit() {
    close(m_Release[1]);
    int exitCode = 0;
    for (auto& filler : m_Fillers) EXPECT_TRUE(filler->WaitForExit(10000, exitCode) && exitCode == 0);
    m_Fillers.clear();
  }
  long Threads() const { return platform::ProcessStatusKiB(m_Runner.GetPid(), "Threads:"); }
  static std::string WriteInvoice(const std::string& path, const std::string& word, mode_t mode = 0644) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << InvoiceXml(word);
    chmod(path.c_str(), mode);
    return path;
  }
  bool WaitFound(const std::string& catalogue, const std::string& word, const std::string& path) const {
    return testsupport::PollUntil(
        [&] { return CatalogueScratch::FindIn(catalogue, word) == std::vector<std::string>{path}; },
        kServiceDeadlineMs);
  }

  std::string m_strUser;
  std::vector<std::unique_ptr<platform::CChildProcess>> m_Fillers;
  int m_Release[2] = {-1, -1};
};

TEST_F(UnprivilegedMonitoringTest, UnderAThreadLimitEveryChangeOfHundredsOfFoldersArrivesOnBoundedThreads) {
  constexpr int kFolders = 200;
  std::string folders;
  std::vector<std::string> archives;
  for (int i = 0; i < kFolders; ++i) {
    archives.push_back(m_Runner.MakeDirectory("archives/f" + std::to_string(i)));
    fs::create_directories(archives.back() + "2024");
    folders += UsingFolderXml("F" + std::to_string(i), "Folder" + std::to_string(i), archives.back());
  }
  Configure(folders, "");
  HandOver();
  ASSERT_TRUE(m_Runner.Start(kOptions));
  ASSERT_TRUE(testsupport::PollUntil([&] { return CountStartingWith("starting monitoring for folder ") >= kFolders; },
                                     kServiceDeadlineMs));
  const long before = Threads();

  // No thread can be started: every change waits in its queue, and that is said once.
  FillProcessLimit(kProcessLimit - static_cast<int>(before));
  for (int i = 0; i < kFolders; ++i) WriteInvoice(archives[i] + "2024/new.xml", "Limitword" + std::to_string(i));
  const std::string refused = ":error: Cannot start a thread to apply watched changes (";
  ASSERT_TRUE(testsupport::PollUntil([&] { return CountStartingWith(refused) > 0; }, kServiceDeadlineMs));
  std::this_thread::sleep_for(std::chrono::seconds(2));  // several retries of the start
  EXPECT_EQ(CountStartingWith(refused), 1);
  EXPECT_TRUE(CatalogueScratch::FindIn(m_Catalogues + "F0", "Limitword0").empty());

  // Once the limit is lifted, every change arrives, on a few threads.
  ReleaseProcessLimit();
  int arrived = 0;
  for (int i = 0; i < kFolders; ++i) {
    const std::string word = "Limitword" + std::to_string(i);
    arrived += WaitFound(m_Catalogues + "F" + std::to_string(i), word, archives[i] + "2024/new.xml");
  }
  EXPECT_EQ(arrived, kFolders);
  EXPECT_EQ(CountStartingWith("A thread to apply watched changes started after "), 1);
  // Two flush workers, and the document readers, at most eight, which outlive their read a while.
  EXPECT_LE(Threads(), before + 2 + 8) << "threads before the changes: " << before;
  StopService();
}

TEST_F(UnprivilegedMonitoringTest, ADocumentNotReadableYetIsReadOnceItCanBeEvenAfterARestart) {
  const std::string archive = m_Runner.MakeDirectory("archive");
  ASSERT_NO_FATAL_FAILURE(StartWatchingOneFolder(archive));
  const std::string catalogue = m_Catalogues + "ACME";

  // Arrives with no permission to read it, made readable many retry intervals later: a change
  // of its mode is no event the service watches, so only its retries can find it.
  const std::string early = WriteInvoice(archive + "2024/early.xml", "Earlyword", 0);
  const std::string later = WriteInvoice(archive + "2024/later.xml", "Laterword", 0);
  ASSERT_TRUE(testsupport::PollUntil([&] { return CountContaining("Cannot read document " + early) > 0; },
                                     kServiceDeadlineMs));
  std::this_thread::sleep_for(std::chrono::seconds(3));
  chmod(early.c_str(), 0644);
  EXPECT_TRUE(WaitFound(catalogue, "Earlyword", early));

  // Still unreadable across a restart: the reconciliation hands it to the retries again.
  StopService();
  ASSERT_TRUE(m_Runner.Start(kOptions));
  ASSERT_TRUE(WaitForPasses("Acme", 1));
  std::this_thread::sleep_for(std::chrono::seconds(2));
  chmod(later.c_str(), 0644);
  EXPECT_TRUE(WaitFound(catalogue, "Laterword", later));
  StopService();
}

// Another user's directory, mode 700, filled and then opened.
TEST_F(UnprivilegedMonitoringTest, ADirectoryClosedToTheServiceIsSaidAndPolledThenWatchedOnceOpened) {
  const std::string archive = m_Runner.MakeDirectory("archive");
  ASSERT_NO_FATAL_FAILURE(StartWatchingOneFolder(archive));
  const std::string catalogue = m_Catalogues + "ACME";
  const std::string closed = archive + "2024/closed/";
  ASSERT_EQ(mkdir(closed.c_str(), 0700), 0);
  for (const char* name : {"a.xml", "b.xml", "deep/c.xml"}) WriteInvoice(closed + name, "Closedword");
  ASSERT_TRUE(m_Runner.WaitForLine(":error: Folder ACME: directory " + closed +
                                       " is not watched: Permission denied: the folder is reconciled in every pass "
                                       "until it can be watched",
                                   kServiceDeadlineMs));
  EXPECT_TRUE(WaitForPasses("Acme", Passes("Acme") + 2)) << "polled meanwhile";

  ASSERT_EQ(chmod(closed.c_str(), 0755), 0);
  EXPECT_TRUE(testsupport::PollUntil([&] { return CatalogueScratch::FindIn(catalogue, "Closedword").size() == 3; },
                                     kServiceDeadlineMs));
  EXPECT_TRUE(m_Runner.WaitForLine("Folder ACME: directory " + closed + " is watched again", kServiceDeadlineMs));
  const std::string later = WriteInvoice(closed + "deep/later.xml", "Laterword");
  EXPECT_TRUE(WaitFound(catalogue, "Laterword", later));
  StopService();
}

}  // namespace
