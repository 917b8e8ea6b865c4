// End-to-end tests of the fkindexingservice program in a temporary program directory.
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/CChildProcess.h"
#include "testsupport/ScopedEnvironment.h"
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
  // Starts the service and expects it to fail at once with this status and exactly these log lines.
  void ExpectFailedStart(int status, const std::vector<std::string>& messages,
                         const std::vector<std::string>& options = ServiceRunner::FastOptions()) {
    ASSERT_TRUE(m_Runner.Start(options));
    EXPECT_EQ(ExitCode(), status);
    EXPECT_EQ(m_Runner.LogMessages(), messages);
  }
  std::string StandardError() const {
    std::ifstream file(m_Runner.PathOf("stderr.txt"));
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  }
  // Runs --check-config with these options; its exit status, and what it printed in report.
  int CheckConfig(const std::vector<std::string>& options, std::string& report) {
    std::vector<std::string> command = m_Runner.CommandLine({"--check-config"});
    command.insert(command.end(), options.begin(), options.end());
    testsupport::ScopedEnvironment environment;
    for (const auto& [name, value] : m_Runner.Environment()) environment.Set(name, value);
    std::string errors;
    return platform::CChildProcess::Run(command, report, errors);
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

// A start that a restart cannot mend exits 78 (the unit's RestartPreventExitStatus=), one that
// may mend (a share not mounted yet) 1; standard error (the journal) says why, with the path.
TEST_F(ServiceProgramTest, EachFailedStartWritesItsErrorAndExitsNonZeroAndTheOptionsFileCanSupplyTheFolderList) {
  m_Runner.SetStandardErrorFile(m_Runner.PathOf("stderr.txt"));
  ExpectFailedStart(78, {":error: Error While Loading Parameters"});
  EXPECT_NE(StandardError().find("not started: Error While Loading Parameters: Settings file " +
                                 m_Runner.PathOf("FKIndexingServiceConfig.xml") + " cannot be read (it does not exist)"),
            std::string::npos)
      << StandardError();
  ASSERT_TRUE(m_Runner.WriteSettings(m_FolderList, m_Catalogues, ""));
  ExpectFailedStart(1, {"Parameters Loaded Successfully", ":error: Fennrick Folders.xml path is not valid"});
  ASSERT_TRUE(m_Runner.WriteFolderList(kUnusedFolder));
  ASSERT_TRUE(m_Runner.WriteSettings(m_FolderList, m_Runner.PathOf("missing"), ""));
  ExpectFailedStart(1, {"Parameters Loaded Successfully", ":error: Catalogues path is not valid"});

  // --config names a settings file elsewhere, and standard error says which and why.
  const std::string settings = m_Runner.PathOf("elsewhere.xml");
  fs::rename(m_Runner.PathOf("FKIndexingServiceConfig.xml"), settings);
  std::vector<std::string> options = ServiceRunner::FastOptions();
  options.insert(options.end(), {"--config", settings});
  ExpectFailedStart(1, {"Parameters Loaded Successfully", ":error: Catalogues path is not valid"}, options);
  EXPECT_NE(StandardError().find("not started: Catalogues path is not valid: the catalogue directory " +
                                 m_Runner.PathOf("missing/") + " is not a directory (settings file " + settings + ")"),
            std::string::npos)
      << StandardError();
  options.insert(options.end(), {"--program-dir", m_Runner.PathOf("gone")});
  ExpectFailedStart(78, {}, options);

  // Without a settings file the options file supplies the folder list.
  fs::remove(m_Runner.PathOf("FKIndexingServiceConfig.xml"));
  ASSERT_TRUE(m_Runner.WriteFile("options.ini", kOptionsKey + "FolderList=" + m_FolderList + "\n"));
  ASSERT_TRUE(m_Runner.Start());
  ASSERT_TRUE(m_Runner.WaitForLine("Fennrick Folders.xml Loaded Successfully", kDeadlineMs));
  EXPECT_EQ(m_Runner.StopAndWait(kDeadlineMs), 0);
  EXPECT_EQ(m_Runner.LogMessages().front(), "Parameters Loaded Successfully");
}

// --check-config reads what a start reads, changes nothing, and says every problem; a start on
// the same settings takes the values as before and logs the same problems after the usual line.
TEST_F(ServiceProgramTest, CheckConfigSaysEveryProblemAndTheStartLogsThemAndSighupReloadsTheList) {
  const std::string archive = m_Runner.MakeDirectory("archives/ACME");
  ASSERT_TRUE(m_Runner.WriteFolderList(ServiceRunner::FolderXml("ACME", "Acme", archive, true)));
  ASSERT_TRUE(m_Runner.WriteSettings(m_FolderList, m_Catalogues, "<Priority>HIGH</Priority>"));
  std::string report;
  EXPECT_EQ(CheckConfig({}, report), 0) << report;
  for (const std::string& said : std::vector<std::string>{"Priority = HIGH  (settings file)", "IsDebugAction = FALSE  (default)",
                                  "ACME \"Acme\": archive " + archive + ", catalogue " + m_Catalogues + "ACME: indexed",
                                  "\nReadWritePaths=" + m_Catalogues.substr(0, m_Catalogues.size() - 1) + "\n"}) {
    EXPECT_NE(report.find(said), std::string::npos) << said << " in\n" << report;
  }

  // A malformed file falls back to the options file: the catalogues would go into the archive.
  ASSERT_TRUE(m_Runner.WriteSettings("<FKIndexingConfig>\n<PathFoldersList>" + m_FolderList + "</Path>"));
  ASSERT_TRUE(m_Runner.WriteFile("options.ini", kOptionsKey + "FolderList=" + m_FolderList + "\n"));
  EXPECT_EQ(CheckConfig({}, report), 1);
  EXPECT_NE(report.find("cannot be read (parse error at line 2"), std::string::npos) << report;
  EXPECT_NE(report.find("PathFoldersList = " + m_FolderList + "  (options file"), std::string::npos) << report;
  EXPECT_NE(report.find("ReadWritePaths=" + archive + "Catalogue_IS"), std::string::npos) << report;

  // Values outside their choices, an unknown element, and a folder on a refused directory.
  ASSERT_TRUE(m_Runner.WriteFolderList(ServiceRunner::FolderXml("ACME", "Acme", archive, true) +
                                       ServiceRunner::FolderXml("SYS", "System", "/proc/sys", true)));
  ASSERT_TRUE(m_Runner.WriteSettings(m_FolderList, m_Catalogues,
                                     "<Priority>low</Priority><DisableMonitoring>yes</DisableMonitoring><PathLog>x</PathLog>"));
  ASSERT_TRUE(m_Runner.WriteFile("_stop_", ""));  // as if for a running service
  EXPECT_EQ(CheckConfig({"--cycle-wait-ms", "1"}, report), 1);
  const std::vector<std::string> problems = {"Priority \"low\" is not LOW, MEDIUM or HIGH: MEDIUM is used",
                                             "DisableMonitoring \"yes\" is not TRUE or FALSE: FALSE is used",
                                             "element PathLog is not a setting"};
  for (const std::string& said : problems) EXPECT_NE(report.find(said), std::string::npos) << said << "\n" << report;
  EXPECT_NE(report.find("Problem: folder SYS is not indexed: its archive /proc/sys is refused"), std::string::npos)
      << report;
  EXPECT_FALSE(fs::exists(m_Catalogues + "ACME")) << "the check changes nothing";
  EXPECT_FALSE(fs::exists(m_Runner.LogPath()));
  EXPECT_TRUE(fs::exists(m_Runner.PathOf("_stop_")));
  EXPECT_FALSE(fs::exists(m_Runner.PathOf("_reading_")));
  EXPECT_EQ(report.find("ReadWritePaths=/proc"), std::string::npos) << report;

  // The start takes "yes" as FALSE, so it watches; the folder list's changes and SIGHUP are read
  // at once, though the wait between passes is ten minutes.
  m_Runner.SetStandardErrorFile(m_Runner.PathOf("stderr.txt"));
  ASSERT_TRUE(m_Runner.Start({"--cycle-wait-ms", "600000", "--folder-pause-ms", "0"}));
  ASSERT_TRUE(m_Runner.WaitForLine("starting monitoring for folder Acme", kDeadlineMs));
  const std::vector<std::string> messages = m_Runner.LogMessages();
  ASSERT_GE(messages.size(), 4u);
  EXPECT_EQ(messages[0], "Parameters Loaded Successfully");
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(messages[i + 1], ":error: Settings file " + m_Runner.PathOf("FKIndexingServiceConfig.xml") + ": " +
                                   problems[i] + (i == 2 ? " (element names are case-sensitive): it is left out" : ""));
    EXPECT_NE(StandardError().find(messages[i + 1]), std::string::npos) << "every error line goes to the journal";
  }
  ASSERT_TRUE(m_Runner.WriteFolderList(ServiceRunner::FolderXml("ACME", "Acme", archive, true)));
  ASSERT_TRUE(m_Runner.WaitForLine("Fennrick Folders.xml Loaded Successfully", kDeadlineMs, 2));
  ASSERT_EQ(kill(m_Runner.GetPid(), SIGHUP), 0);
  ASSERT_TRUE(m_Runner.WaitForLine("SIGHUP received: reading Fennrick Folders.xml again", kDeadlineMs));
  ASSERT_TRUE(m_Runner.WaitForLine("Fennrick Folders.xml Loaded Successfully", kDeadlineMs, 3));
  EXPECT_TRUE(m_Runner.IsRunning());
  EXPECT_EQ(m_Runner.StopAndWait(kDeadlineMs), 0);
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
