// End-to-end tests of the fkindexingservice program in a temporary program directory.
#include <unistd.h>

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
const std::string kIdle = ":error: No folder use Indexing Service";
const std::string kOptionsKey = "[Software\\Larkvale Application\\FKIndexingService\\Options]\n";

// The nice value and allowed processors of every thread of a process, read from /proc.
std::vector<std::pair<int, std::string>> ReadThreads(int pid) {
  std::vector<std::pair<int, std::string>> threads;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
    std::ifstream stat(task.path() / "stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field = "0";
    for (int i = 3; i <= 19; ++i) fields >> field;  // the nineteenth field is the nice value
    std::ifstream status(task.path() / "status");
    std::string processors;
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("Cpus_allowed_list:", 0) == 0) processors = line.substr(line.find('\t') + 1);
    }
    threads.emplace_back(std::stoi(field), processors);
  }
  return threads;
}

class ServiceProgramTest : public ::testing::Test {
 protected:
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
  const std::string m_FolderList = m_Runner.PathOf("Fennrick Folders.xml");
  const std::string m_Catalogues = m_Runner.MakeDirectory("catalogues");
};

TEST_F(ServiceProgramTest, SigintStopsLikeSigtermAndBothLogsGoWherePathLogsSays) {
  ASSERT_TRUE(m_Runner.WriteFolderList("<Folder>"));
  const std::string logs = m_Runner.MakeDirectory("logs");
  ASSERT_TRUE(m_Runner.WriteSettings(m_FolderList, m_Catalogues, "<PathLogs>" + logs + "service.log</PathLogs>"));
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
  // The options file's key without the value gives no folder list either.
  ASSERT_TRUE(m_Runner.WriteFile("options.ini", kOptionsKey + "Other=1\n"));
  ExpectFailedStart({":error: Error While Loading Parameters"});
  ASSERT_TRUE(m_Runner.WriteSettings(m_FolderList, m_Catalogues, ""));
  ExpectFailedStart({"Parameters Loaded Successfully", ":error: Fennrick Folders.xml path is not valid"});
  ASSERT_TRUE(m_Runner.WriteFolderList(kUnusedFolder));
  ASSERT_TRUE(m_Runner.WriteSettings(m_FolderList, m_Runner.PathOf("missing"), ""));
  ExpectFailedStart({"Parameters Loaded Successfully", ":error: Catalogues path is not valid"});
}

TEST_F(ServiceProgramTest, OptionsFileSuppliesTheFolderListWhenThereIsNoSettingsFile) {
  ASSERT_TRUE(m_Runner.WriteFolderList(kUnusedFolder));
  ASSERT_TRUE(m_Runner.WriteFile("options.ini", kOptionsKey + "FolderList=" + m_FolderList + "\n"));
  ASSERT_TRUE(m_Runner.Start());
  ASSERT_TRUE(m_Runner.WaitForLine("Fennrick Folders.xml Loaded Successfully", kDeadlineMs));
  EXPECT_EQ(m_Runner.StopAndWait(kDeadlineMs), 0);
  EXPECT_EQ(m_Runner.LogMessages().front(), "Parameters Loaded Successfully");
}

TEST_F(ServiceProgramTest, StopMarkerEndsTheServiceByItselfAlsoDuringTheWaitBetweenPasses) {
  WriteValidSetup();
  // The first run sits in a ten minutes' wait; the second starts over the marker the first left.
  for (const std::vector<std::string>& options : {std::vector<std::string>{"--cycle-wait-ms", "600000"},
                                                  ServiceRunner::FastOptions()}) {
    ASSERT_TRUE(m_Runner.Start(options));
    ASSERT_TRUE(m_Runner.WaitForLine(kIdle, kDeadlineMs)) << "an old marker does not stop a new run";
    ASSERT_TRUE(m_Runner.WriteFile("_stop_", ""));
    EXPECT_EQ(ExitCode(), 0);
    EXPECT_EQ(m_Runner.CountLines("Stopped"), 0) << "ended by itself, not stopped";
  }
}

TEST_F(ServiceProgramTest, FolderListIsReloadedOnlyWhenItsWriteTimeChanges) {
  WriteValidSetup();
  ASSERT_TRUE(m_Runner.Start());
  ASSERT_TRUE(m_Runner.WaitForLine(kIdle, kDeadlineMs, 4));
  EXPECT_EQ(m_Runner.CountLines("Loading Fennrick Folders.xml"), 1) << "unchanged file, no reload";

  ASSERT_TRUE(m_Runner.WriteFolderList("<Folder><Reference>ACME</Reference></Folder>"));
  ASSERT_TRUE(m_Runner.WaitForLine("Fennrick Folders.xml Loaded Successfully", kDeadlineMs, 2));

  ASSERT_TRUE(m_Runner.WriteFolderList("<Folder>"));
  ASSERT_TRUE(m_Runner.WaitForLine(":error: Error While Loading Fennrick Folders.xml", kDeadlineMs));
  EXPECT_TRUE(fs::exists(m_Runner.PathOf("FKIndexingServicelogError.txt"))) << "beside the activity log";
  fs::remove(m_FolderList);
  ASSERT_TRUE(m_Runner.WaitForLine(":error: Fennrick Folders.xml not found", kDeadlineMs, 2));
  EXPECT_EQ(m_Runner.CountLines(":error: Error While Loading Fennrick Folders.xml"), 1)
      << "a broken file is not retried until it changes";
  EXPECT_EQ(m_Runner.CountLines("Loading Fennrick Folders.xml"), 3);
  EXPECT_EQ(m_Runner.StopAndWait(kDeadlineMs), 0);
  const std::vector<std::string> messages = m_Runner.LogMessages();
  ASSERT_GE(messages.size(), 5u);
  EXPECT_EQ(messages[0], "Parameters Loaded Successfully");
  EXPECT_EQ(messages[1], "Loading Fennrick Folders.xml");
  EXPECT_EQ(messages[2], "Fennrick Folders.xml Loaded Successfully");
  EXPECT_EQ(messages[messages.size() - 2], "Stopping...");
  EXPECT_EQ(messages.back(), "Stopped");
}

// Every thread gets the priority's nice value (relative to this process's) and one processor; a
// refused HIGH (no CAP_SYS_NICE: a plain user, or root with the capability dropped) leaves the
// service running at its nice value.
TEST_F(ServiceProgramTest, PriorityChangesEveryThreadAndBindsItToOneProcessor) {
  struct Run {
    std::string priority;
    int niceChange;
    std::vector<std::string> prefix;
  };
  const bool root = geteuid() == 0;
  std::vector<Run> runs = {{"LOW", 5, {}}, {"MEDIUM", 0, {}}, {"HIGH", root ? -10 : 0, {}}};
  if (root && fs::exists("/usr/bin/setpriv")) {
    runs.push_back({"HIGH", 0, {"/usr/bin/setpriv", "--inh-caps=-sys_nice", "--bounding-set=-sys_nice", "--"}});
  }
  const int ownNice = ReadThreads(getpid()).front().first;
  for (const Run& run : runs) {
    SCOPED_TRACE(run.priority + " " + std::to_string(run.prefix.size()));
    WriteValidSetup("<Priority>" + run.priority + "</Priority>");
    m_Runner.SetCommandPrefix(run.prefix);
    ASSERT_TRUE(m_Runner.Start());
    ASSERT_TRUE(m_Runner.WaitForLine(kIdle, kDeadlineMs));
    const auto threads = ReadThreads(m_Runner.GetPid());
    ASSERT_GE(threads.size(), 3u) << "host, signal and worker threads";
    for (const auto& [nice, processors] : threads) {
      EXPECT_EQ(nice, std::max(std::min(ownNice + run.niceChange, 19), -20));
      EXPECT_EQ(processors.find_first_of(",-"), std::string::npos) << processors;
    }
    ASSERT_TRUE(m_Runner.WaitForLine(kIdle, kDeadlineMs, 2)) << "it goes on";
    EXPECT_EQ(m_Runner.StopAndWait(kDeadlineMs), 0);
  }
}

TEST_F(ServiceProgramTest, CommandLineHelpVersionAndBadOptions) {
  for (const auto& [option, good] : std::vector<std::pair<std::vector<std::string>, bool>>{
           {{"--help"}, true}, {{"--version"}, true}, {{"--cycle-wait-ms", "soon"}, false}, {{"--no-such-option"}, false}}) {
    ASSERT_TRUE(m_Runner.Start(option));
    EXPECT_EQ(ExitCode() == 0, good) << option[0];
  }
  EXPECT_FALSE(fs::exists(m_Runner.LogPath())) << "nothing started";
}

}  // namespace
