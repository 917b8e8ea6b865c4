// End-to-end tests of the service program's start: one service per program directory, and an
// activity log that cannot be written.
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/CChildProcess.h"
#include "testsupport/Polling.h"
#include "testsupport/ServiceEndToEndTest.h"

namespace {

namespace fs = std::filesystem;
using testsupport::kServiceDeadlineMs;
using testsupport::ReadAll;
using testsupport::ServiceRunner;

class ServiceSafeguardsTest : public testsupport::ServiceEndToEndTest {
 protected:
  void SetUp() override {
    WriteFolderList(ServiceRunner::FolderXml("ACME", "Acme", m_Runner.MakeDirectory("archive"), true));
  }
  void WriteSettings(const std::string& extra) {
    ServiceEndToEndTest::WriteSettings(std::string(testsupport::kPollingElement) + extra);
  }
};

TEST_F(ServiceSafeguardsTest, ASecondServiceOnTheProgramDirectoryIsRefusedAndLeavesTheFirstOnesLogAlone) {
  WriteSettings("");
  ASSERT_TRUE(m_Runner.Start());
  ASSERT_TRUE(WaitForPasses("Acme", 1));
  const std::string logBefore = ReadAll(m_Runner.LogPath());

  // The second start, same program directory and environment, run to its end (or ended at
  // the deadline when it runs on).
  std::vector<std::string> argv = {"/usr/bin/timeout", std::to_string(kServiceDeadlineMs / 1000), "/usr/bin/env"};
  for (const auto& [name, value] : m_Runner.Environment()) argv.push_back(name + "=" + value);
  for (const std::string& arg : m_Runner.CommandLine(ServiceRunner::FastOptions())) argv.push_back(arg);
  std::string out;
  std::string err;
  EXPECT_EQ(platform::CChildProcess::Run(argv, out, err), 78) << "a restart cannot mend it";
  EXPECT_NE(err.find("only one service may run on the program directory " + m_Runner.ProgramDirectory()),
            std::string::npos)
      << err;

  EXPECT_TRUE(m_Runner.IsRunning());
  const std::string logAfter = ReadAll(m_Runner.LogPath());
  EXPECT_EQ(logAfter.compare(0, logBefore.size(), logBefore), 0) << "the first service's log was emptied";
  EXPECT_EQ(logAfter.find("Parameters Loaded Successfully", logBefore.size()), std::string::npos);
  StopService();

  // Once the first has ended, the program directory is free again. A text cap that is no
  // usable number is said at start, and the default taken.
  m_Runner.SetEnv("FK_MAX_TEXT_MB", "100");
  ASSERT_TRUE(m_Runner.Start());
  ASSERT_TRUE(WaitForPasses("Acme", 1));
  EXPECT_EQ(CountContaining(":error: FK_MAX_TEXT_MB=\"100\" is not a number from 1 to 64: the default text cap "
                            "of 16 MiB is used"),
            1);
  StopService();
}

TEST_F(ServiceSafeguardsTest, AnActivityLogThatCannotBeWrittenIsSaidOnStandardErrorAndKeptInTheProgramDirectory) {
  const std::string regularFile = m_Runner.PathOf("plain");
  ASSERT_TRUE(m_Runner.WriteFile("plain", "x"));
  struct Case {
    std::string PathLogs;
    std::string Reason;
  };
  const std::vector<Case> cases = {{m_Runner.MakeDirectory("logs"), "Is a directory"},
                                   {m_Runner.PathOf("missing/FKIndexing.log"), "No such file or directory"},
                                   {regularFile + "/FKIndexing.log", "Not a directory"},
                                   {"/dev/full", "not a regular file"}};
  const std::string errors = m_Runner.PathOf("stderr.txt");
  m_Runner.SetStandardErrorFile(errors);
  for (const Case& unusable : cases) {
    SCOPED_TRACE(unusable.PathLogs);
    WriteSettings("<PathLogs>" + unusable.PathLogs + "</PathLogs>");
    ASSERT_TRUE(m_Runner.Start());
    ASSERT_TRUE(WaitForPasses("Acme", 1));
    const std::string said = "Activity log " + unusable.PathLogs + " cannot be written (" + unusable.Reason +
                             "): writing " + m_Runner.LogPath();
    EXPECT_EQ(m_Runner.CountLines(":error: " + said), 1);
    EXPECT_NE(ReadAll(errors).find(said), std::string::npos) << ReadAll(errors);
    StopService();
    fs::remove(errors);
  }
  struct stat status {};
  ASSERT_EQ(stat("/dev/full", &status), 0);
  EXPECT_TRUE(S_ISCHR(status.st_mode)) << "the device was moved or replaced";
  EXPECT_TRUE(fs::is_directory(m_Runner.PathOf("logs")));
  EXPECT_FALSE(fs::exists(m_Runner.PathOf("missing")));
}

}  // namespace
