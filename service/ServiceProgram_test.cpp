// End-to-end tests of the fkindexingservice program in a temporary program directory.
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testsupport/ServiceRunner.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ServiceRunner;

constexpr int kDeadlineMs = 20000;
const std::string kUnusedFolder = ServiceRunner::FolderXml("ACME", "Acme", "", false);
const char kOptionsKey[] = "[Software\\Larkvale Application\\FKIndexingService\\Options]\n";

// The nice value and allowed processors of every thread of a process, read from /proc.
struct ThreadScheduling {
  int Nice = 0;
  std::string Processors;
};

std::vector<ThreadScheduling> ReadThreads(int pid) {
  std::vector<ThreadScheduling> threads;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
    ThreadScheduling thread;
    std::ifstream stat(task.path() / "stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field = "0";
    for (int i = 3; i <= 19; ++i) fields >> field;  // the nineteenth field is the nice value
    thread.Nice = std::stoi(field);
    std::ifstream status(task.path() / "status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("Cpus_allowed_list:", 0) == 0) thread.Processors = line.substr(line.find('\t') + 1);
    }
    threads.push_back(thread);
  }
  return threads;
}

class ServiceProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_FolderList = m_Runner.PathOf("Fennrick Folders.xml");
    m_Catalogues = m_Runner.MakeDirectory("catalogues");
  }
  void WriteValidSetup(const std::string& moreSettings = "") {
    ASSERT_TRUE(m_Runner.WriteFolderList(kUnusedFolder));
    ASSERT_TRUE(m_Runner.WriteSettings(m_FolderList, m_Catalogues, moreSettings));
  }
  // Starts the service and expects it to fail at once with exactly these log lines.
  void ExpectFailedStart(const std::vector<std::string>& messages) {
    ASSERT_TRUE(m_Runner.Start());
    EXPECT_NE(ExitCode(), 0);
    EXPECT_EQ(m_Runner.LogMessages(), messages);
  }
  int ExitCode() {
    int exitCode = -100;
    EXPECT_TRUE(m_Runner.WaitForExit(kDeadlineMs, exitCode)) << "the service did not end";
    return exitCode;
  }

  ServiceRunner m_Runner;
  std::string m_FolderList;
  std::string m_Catalogues;
};

TEST_F(ServiceProgramTest, StartsAndStopsOnSigtermWithTheLinesInOrder) {
  WriteValidSetup();
  ASSERT_TRUE(m_Runner.Start());
  ASSERT_TRUE(m_Runner.WaitForLine(":error: No folder use Indexing Service", kDeadlineMs));
  ASSERT_TRUE(m_Runner.Stop());
  EXPECT_EQ(ExitCode(), 0);
  const std::vector<std::string> messages = m_Runner.LogMessages();
  ASSERT_GE(messages.size(), 6u);
  EXPECT_EQ(messages[0], "Parameters Loaded Successfully");
  EXPECT_EQ(messages[1], "Loading Fennrick Folders.xml");
  EXPECT_EQ(messages[2], "Fennrick Folders.xml Loaded Successfully");
  EXPECT_EQ(messages[messages.size() - 2], "Stopping...");
  EXPECT_EQ(messages.back(), "Stopped");
}

TEST_F(ServiceProgramTest, SigintStopsLikeSigtermAndBothLogsGoWherePathLogsSays) {
  ASSERT_TRUE(m_Runner.WriteFolderList("<Folder>"));
  const std::string logs = m_Runner.MakeDirectory("logs");
  ASSERT_TRUE(m_Runner.WriteSettings(m_FolderList, m_Catalogues,
                                     "<PathLogs>" + logs + "service.log</PathLogs>"));
  m_Runner.SetLogPath(logs + "service.log");
  ASSERT_TRUE(m_Runner.Start());
  ASSERT_TRUE(m_Runner.WaitForLine(":error: Error While Loading Fennrick Folders.xml", kDeadlineMs));
  ASSERT_TRUE(m_Runner.Stop(true));
  EXPECT_EQ(ExitCode(), 0);
  EXPECT_EQ(m_Runner.LogMessages().back(), "Stopped");
  EXPECT_FALSE(fs::exists(m_Runner.PathOf("FKIndexing.log")));
  EXPECT_TRUE(fs::exists(logs + "FKIndexingServicelogError.txt"));
  EXPECT_FALSE(fs::exists(m_Runner.PathOf("FKIndexingServicelogError.txt")));
}

TEST_F(ServiceProgramTest, EachFailedStartWritesItsErrorAndExitsNonZero) {
  ExpectFailedStart({":error: Error While Loading Parameters"});
  ASSERT_TRUE(m_Runner.WriteSettings(m_FolderList, m_Catalogues, ""));
  ExpectFailedStart({"Parameters Loaded Successfully", ":error: Fennrick Folders.xml path is not valid"});
  ASSERT_TRUE(m_Runner.WriteFolderList(kUnusedFolder));
  ASSERT_TRUE(m_Runner.WriteSettings(m_FolderList, m_Runner.PathOf("missing"), ""));
  ExpectFailedStart({"Parameters Loaded Successfully", ":error: Catalogues path is not valid"});
}

TEST_F(ServiceProgramTest, OptionsFileSuppliesTheFolderListWhenThereIsNoSettingsFile) {
  // The key without the value gives no folder list.
  ASSERT_TRUE(m_Runner.WriteFile("options.ini", std::string(kOptionsKey) + "Other=1\n"));
  ExpectFailedStart({":error: Error While Loading Parameters"});

  ASSERT_TRUE(m_Runner.WriteFolderList(kUnusedFolder));
  ASSERT_TRUE(m_Runner.WriteFile("options.ini", std::string(kOptionsKey) + "FolderList=" + m_FolderList + "\n"));
  ASSERT_TRUE(m_Runner.Start());
  ASSERT_TRUE(m_Runner.WaitForLine("Fennrick Folders.xml Loaded Successfully", kDeadlineMs));
  ASSERT_TRUE(m_Runner.Stop());
  EXPECT_EQ(ExitCode(), 0);
  EXPECT_EQ(m_Runner.LogMessages().front(), "Parameters Loaded Successfully");
}

TEST_F(ServiceProgramTest, StopMarkerEndsTheServiceByItselfAlsoDuringTheWaitBetweenPasses) {
  WriteValidSetup();
  ASSERT_TRUE(m_Runner.Start({"--cycle-wait-ms", "600000"}));
  ASSERT_TRUE(m_Runner.WaitForLine(":error: No folder use Indexing Service", kDeadlineMs));
  // The worker sits in its ten minutes' wait: the marker ends it all the same.
  ASSERT_TRUE(m_Runner.WriteFile("_stop_", ""));
  const auto marked = std::chrono::steady_clock::now();
  EXPECT_EQ(ExitCode(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - marked, std::chrono::seconds(10));
  EXPECT_EQ(m_Runner.CountLines("Stopped"), 0) << "ended by itself, not stopped";

  ASSERT_TRUE(m_Runner.Start());
  ASSERT_TRUE(m_Runner.WaitForLine(":error: No folder use Indexing Service", kDeadlineMs))
      << "a marker left from an earlier run does not stop the new one";
  ASSERT_TRUE(m_Runner.WriteFile("_stop_", ""));
  EXPECT_EQ(ExitCode(), 0);
  EXPECT_EQ(m_Runner.CountLines("Stopped"), 0) << "ended by itself, not stopped";
}

TEST_F(ServiceProgramTest, FolderListIsReloadedOnlyWhenItsWriteTimeChanges) {
  WriteValidSetup();
  ASSERT_TRUE(m_Runner.Start());
  ASSERT_TRUE(m_Runner.WaitForLine(":error: No folder use Indexing Service", kDeadlineMs, 4));
  EXPECT_EQ(m_Runner.CountLines("Loading Fennrick Folders.xml"), 1) << "unchanged file, no reload";

  ASSERT_TRUE(m_Runner.WriteFolderList("<Folder><Reference>ACME</Reference></Folder>"));
  ASSERT_TRUE(m_Runner.WaitForLine("Loading Fennrick Folders.xml", kDeadlineMs, 2));
  ASSERT_TRUE(m_Runner.WaitForLine("Fennrick Folders.xml Loaded Successfully", kDeadlineMs, 2));

  ASSERT_TRUE(m_Runner.WriteFolderList("<Folder>"));
  ASSERT_TRUE(m_Runner.WaitForLine(":error: Error While Loading Fennrick Folders.xml", kDeadlineMs));
  EXPECT_TRUE(fs::exists(m_Runner.PathOf("FKIndexingServicelogError.txt"))) << "beside the activity log";
  fs::remove(m_FolderList);
  ASSERT_TRUE(m_Runner.WaitForLine(":error: Fennrick Folders.xml not found", kDeadlineMs, 2));
  EXPECT_EQ(m_Runner.CountLines(":error: Error While Loading Fennrick Folders.xml"), 1)
      << "a broken file is not retried until it changes";
  EXPECT_EQ(m_Runner.CountLines("Loading Fennrick Folders.xml"), 3);
  ASSERT_TRUE(m_Runner.Stop());
  EXPECT_EQ(ExitCode(), 0);
}

TEST_F(ServiceProgramTest, LowPriorityLowersEveryThreadAndBindsItToOneProcessor) {
  WriteValidSetup("<Priority>LOW</Priority>");
  ASSERT_TRUE(m_Runner.Start());
  ASSERT_TRUE(m_Runner.WaitForLine(":error: No folder use Indexing Service", kDeadlineMs));
  const int ownNice = ReadThreads(getpid()).front().Nice;
  const std::vector<ThreadScheduling> threads = ReadThreads(m_Runner.GetPid());
  ASSERT_GE(threads.size(), 3u) << "host, signal and worker threads";
  for (const ThreadScheduling& thread : threads) {
    EXPECT_EQ(thread.Nice, std::min(ownNice + 5, 19));
    EXPECT_EQ(thread.Processors.find_first_of(",-"), std::string::npos) << thread.Processors;
  }
  ASSERT_TRUE(m_Runner.Stop());
  EXPECT_EQ(ExitCode(), 0);
}

// Runs the service with the priority and checks the nice value of every thread (relative to
// this process's) and the binding to one processor.
void ExpectScheduling(ServiceRunner& runner, int niceChange) {
  ASSERT_TRUE(runner.WaitForLine(":error: No folder use Indexing Service", kDeadlineMs));
  const int ownNice = ReadThreads(getpid()).front().Nice;
  const std::vector<ThreadScheduling> threads = ReadThreads(runner.GetPid());
  ASSERT_GE(threads.size(), 3u) << "host, signal and worker threads";
  for (const ThreadScheduling& thread : threads) {
    EXPECT_EQ(thread.Nice, std::max(std::min(ownNice + niceChange, 19), -20));
    EXPECT_EQ(thread.Processors.find_first_of(",-"), std::string::npos) << thread.Processors;
  }
}

TEST_F(ServiceProgramTest, MediumPriorityKeepsTheNiceValueAndBindsToOneProcessor) {
  WriteValidSetup("<Priority>MEDIUM</Priority>");
  ASSERT_TRUE(m_Runner.Start());
  ExpectScheduling(m_Runner, 0);
  ASSERT_TRUE(m_Runner.Stop());
  EXPECT_EQ(ExitCode(), 0);
}

TEST_F(ServiceProgramTest, HighPriorityRaisesEveryThreadWherePermitted) {
  if (geteuid() != 0) GTEST_SKIP() << "raising the priority needs root (CAP_SYS_NICE); skipped";
  WriteValidSetup("<Priority>HIGH</Priority>");
  ASSERT_TRUE(m_Runner.Start());
  ExpectScheduling(m_Runner, -10);
  ASSERT_TRUE(m_Runner.Stop());
  EXPECT_EQ(ExitCode(), 0);
}

TEST_F(ServiceProgramTest, ARefusedHighPriorityLeavesTheServiceRunningAtItsNiceValue) {
  WriteValidSetup("<Priority>HIGH</Priority>");
  // Without CAP_SYS_NICE (a plain user, or root with the capability dropped) nice -10 is refused.
  if (geteuid() == 0) {
    if (!fs::exists("/usr/bin/setpriv")) GTEST_SKIP() << "setpriv is missing; skipped";
    m_Runner.SetCommandPrefix({"/usr/bin/setpriv", "--inh-caps=-sys_nice", "--bounding-set=-sys_nice", "--"});
  }
  ASSERT_TRUE(m_Runner.Start());
  ExpectScheduling(m_Runner, 0);
  ASSERT_TRUE(m_Runner.WaitForLine(":error: No folder use Indexing Service", kDeadlineMs, 2)) << "it goes on";
  ASSERT_TRUE(m_Runner.Stop());
  EXPECT_EQ(ExitCode(), 0);
}

TEST_F(ServiceProgramTest, CommandLineHelpVersionAndBadOptions) {
  ASSERT_TRUE(m_Runner.Start({"--help"}));
  EXPECT_EQ(ExitCode(), 0);
  ASSERT_TRUE(m_Runner.Start({"--version"}));
  EXPECT_EQ(ExitCode(), 0);
  ASSERT_TRUE(m_Runner.Start({"--cycle-wait-ms", "soon"}));
  EXPECT_NE(ExitCode(), 0);
  ASSERT_TRUE(m_Runner.Start({"--no-such-option"}));
  EXPECT_NE(ExitCode(), 0);
  EXPECT_FALSE(fs::exists(m_Runner.LogPath())) << "nothing started";
}

}  // namespace
