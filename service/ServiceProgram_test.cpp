// End-to-end tests of the fkindexingservice program in a temporary program directory.
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
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

// The nice value and the number of allowed processors of every thread of a process.
std::vector<std::pair<int, int>> ReadThreads(int pid) {
  std::vector<std::pair<int, int>> threads;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
    const int tid = std::stoi(task.path().filename().string());
    cpu_set_t processors;
    CPU_ZERO(&processors);
    EXPECT_EQ(sched_getaffinity(tid, sizeof processors, &processors), 0);
    threads.emplace_back(getpriority(PRIO_PROCESS, static_cast<id_t>(tid)), CPU_COUNT(&processors));
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
  void ExpectFailedStart(const std::vector<std::string>& messages,
                         const std::vector<std::string>& options = ServiceRunner::FastOptions()) {
    ASSERT_TRUE(m_Runner.Start(options));
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

TEST_F(ServiceProgramTest, EachFailedStartWritesItsErrorAndExitsNonZeroAndTheOptionsFileCanSupplyTheFolderList) {
  ExpectFailedStart({":error: Error While Loading Parameters"});
  ASSERT_TRUE(m_Runner.WriteSettings(m_FolderList, m_Catalogues, ""));
  ExpectFailedStart({"Parameters Loaded Successfully", ":error: Fennrick Folders.xml path is not valid"});
  ASSERT_TRUE(m_Runner.WriteFolderList(kUnusedFolder));
  ASSERT_TRUE(m_Runner.WriteSettings(m_FolderList, m_Runner.PathOf("missing"), ""));
  ExpectFailedStart({"Parameters Loaded Successfully", ":error: Catalogues path is not valid"});

  // --config names a settings file elsewhere, and standard error (the journal) says which and why.
  const std::string settings = m_Runner.PathOf("elsewhere.xml");
  fs::rename(m_Runner.PathOf("FKIndexingServiceConfig.xml"), settings);
  m_Runner.SetStandardErrorFile(m_Runner.PathOf("stderr.txt"));
  std::vector<std::string> options = ServiceRunner::FastOptions();
  options.insert(options.end(), {"--config", settings});
  ExpectFailedStart({"Parameters Loaded Successfully", ":error: Catalogues path is not valid"}, options);
  std::ifstream standardError(m_Runner.PathOf("stderr.txt"));
  const std::string said((std::istreambuf_iterator<char>(standardError)), std::istreambuf_iterator<char>());
  EXPECT_NE(said.find("not started: Catalogues path is not valid (settings file " + settings + ";"), std::string::npos)
      << said;

  // Without a settings file the options file supplies the folder list.
  fs::remove(m_Runner.PathOf("FKIndexingServiceConfig.xml"));
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

TEST_F(ServiceProgramTest, FolderListIsReloadedOnlyWhenItsWriteTimeChangesAndBothLogsGoWherePathLogsSays) {
  const std::string logs = m_Runner.MakeDirectory("logs");
  WriteValidSetup("<PathLogs>" + logs + "service.log</PathLogs>");
  m_Runner.SetLogPath(logs + "service.log");
  ASSERT_TRUE(m_Runner.Start());
  ASSERT_TRUE(m_Runner.WaitForLine(kIdle, kDeadlineMs, 4));
  EXPECT_EQ(m_Runner.CountLines("Loading Fennrick Folders.xml"), 1) << "unchanged file, no reload";

  ASSERT_TRUE(m_Runner.WriteFolderList("<Folder><Reference>ACME</Reference></Folder>"));
  ASSERT_TRUE(m_Runner.WaitForLine("Fennrick Folders.xml Loaded Successfully", kDeadlineMs, 2));

  ASSERT_TRUE(m_Runner.WriteFolderList("<Folder>"));
  ASSERT_TRUE(m_Runner.WaitForLine(":error: Error While Loading Fennrick Folders.xml", kDeadlineMs));
  EXPECT_TRUE(fs::exists(logs + "FKIndexingServicelogError.txt")) << "beside the activity log";
  EXPECT_FALSE(fs::exists(m_Runner.PathOf("FKIndexingServicelogError.txt")));
  EXPECT_FALSE(fs::exists(m_Runner.PathOf("FKIndexing.log")));
  fs::remove(m_FolderList);
  ASSERT_TRUE(m_Runner.WaitForLine(":error: Fennrick Folders.xml not found", kDeadlineMs, 2));
  EXPECT_EQ(m_Runner.CountLines(":error: Error While Loading Fennrick Folders.xml"), 1)
      << "a broken file is not retried until it changes";
  EXPECT_EQ(m_Runner.CountLines("Loading Fennrick Folders.xml"), 3);
  ASSERT_TRUE(m_Runner.Stop(true));  // SIGINT stops like SIGTERM
  EXPECT_EQ(ExitCode(), 0);
  const std::vector<std::string> messages = m_Runner.LogMessages();
  ASSERT_GE(messages.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(messages.begin(), messages.begin() + 3),
            (std::vector<std::string>{"Parameters Loaded Successfully", "Loading Fennrick Folders.xml",
                                      "Fennrick Folders.xml Loaded Successfully"}));
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
  const int ownNice = getpriority(PRIO_PROCESS, 0);
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
      EXPECT_EQ(processors, 1);
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
