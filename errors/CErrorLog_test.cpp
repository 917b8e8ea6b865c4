#include "errors/CErrorLog.h"

#include <fstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/SystemInfo.h"
#include "testsupport/ScratchErrorLog.h"

using FKEXCEPTION::CErrorLog;
using FKEXCEPTION::CFKException;

namespace {

// Splits the file's bytes at each LF, keeping every line's bytes before it (CR CR included).
std::vector<std::string> Lines(const std::string& bytes) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t lf = bytes.find('\n'); lf != std::string::npos; lf = bytes.find('\n', start)) {
    lines.push_back(bytes.substr(start, lf - start));
    start = lf + 1;
  }
  EXPECT_EQ(start, bytes.size()) << "file does not end with a line feed";
  return lines;
}

std::string OldLines(int first, int last) {
  std::string text;
  for (int i = first; i <= last; ++i) text += "old " + std::to_string(i) + "\r\r\n";
  return text;
}

// Logs an error; line tells entries apart for the repeat test.
void Report(int line, const std::string& module = "Mod", const std::string& file = "/f") {
  CErrorLog::WriteErrorLog(CFKException(4003, 0, line, module, "Func", "msg", file, false));
}

class ErrorLogTest : public ::testing::Test {
 protected:
  testsupport::ScratchErrorLog m_Log;
  const testsupport::ScratchDir& m_Dir = m_Log.Dir();
};

}  // namespace

TEST_F(ErrorLogTest, FirstEntryOfTheRunHasTheHeaderAndExactBytes) {
  const CFKException error(4003, -1, 42, "CDOM_FolderList", "Load", "line1\nline2", "/data/x.xml", false);
  CErrorLog::WriteErrorLog(error);
  const std::string rule(80, '/');
  const std::string header = rule + "\r\r\nFKService Version : " + platform::ServiceVersion() +
                             "\r\r\ndate : " + platform::BuildDate() +
                             "\r\r\nLogin Os : " + platform::EffectiveUserName() + "\r\r\n" +
                             platform::OsDisplayName() + "\r\r\n" + rule + "\r\r\n";
  const std::string entry = "1)\t" + platform::FormatLocalTime(error.GetErrorInfo().Time, "%d/%m/%Y-%H:%M:%S") +
                            "\tError n\xB0: 4003, Impossible to load file"
                            "\t,Internal n\xB0: 4294967295, line1line2"
                            "\t,line : 42\tmodule : CDOM_FolderList\tfunction : Load"
                            "\t,File or directory : /data/x.xml\r\r\n";
  EXPECT_EQ(m_Log.Read(), header + entry);

  Report(7);
  std::vector<std::string> lines = Lines(m_Log.Read());
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[7].substr(0, 3), "2)\t");

  // A file name cannot break its entry into lines of its own.
  Report(8, "Mod", "/a/x\n3)\tforged\r\t.pdf");
  lines = Lines(m_Log.Read());
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_NE(lines[8].find("File or directory : /a/x\\n3)\\tforged\\r\\t.pdf\r\r"), std::string::npos) << lines[8];
}

TEST_F(ErrorLogTest, RepeatsOfTheLastEntryAreSkipped) {
  Report(10, "Mod", "/Data/File");
  // The same line, module and file.
  CErrorLog::WriteErrorLog(CFKException(140, 5, 10, "MOD", "FUNC", "other", "/data/file", false));
  EXPECT_EQ(Lines(m_Log.Read()).size(), 7u);

  Report(11);
  Report(10, "Mod", "/Data/File");
  const std::vector<std::string> lines = Lines(m_Log.Read());
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines[8].substr(0, 3), "3)\t");
}

TEST_F(ErrorLogTest, RunningLogKeepsItsLastHundredLines) {
  Report(1);  // the run's first entry goes elsewhere, so the counter is above 1
  const std::string log = m_Dir.Write("second.txt", OldLines(1, 99));
  ASSERT_TRUE(CFKException::SetErrorLogFile(log));

  Report(2);
  std::vector<std::string> lines = Lines(m_Dir.Read(log));
  ASSERT_EQ(lines.size(), 100u);
  EXPECT_EQ(lines[0], "old 1\r\r");

  Report(3);
  lines = Lines(m_Dir.Read(log));
  ASSERT_EQ(lines.size(), 100u);
  EXPECT_EQ(lines[0], "old 2\r\r");
  EXPECT_EQ(lines[99].substr(0, 3), "3)\t");
  EXPECT_EQ(m_Dir.Read(log + ".new"), "");
}

TEST_F(ErrorLogTest, FirstEntryOfTheRunLeavesRoomForTheHeaderAndClosesATornLine) {
  m_Dir.Write("FKIndexingServicelogError.txt", OldLines(1, 120));
  Report(1);
  std::vector<std::string> lines = Lines(m_Log.Read());
  ASSERT_EQ(lines.size(), 100u);
  EXPECT_EQ(lines[0], "old 28\r\r");
  EXPECT_EQ(lines[92], "old 120\r\r");
  EXPECT_EQ(lines[93], std::string(80, '/') + "\r\r");
  EXPECT_EQ(lines[99].substr(0, 3), "1)\t");

  testsupport::ScratchErrorLog torn;  // a new run on a log whose last line was cut short
  torn.Dir().Write("FKIndexingServicelogError.txt", "old 1\r\r\nhalf a li");
  Report(1);
  lines = Lines(torn.Read());
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines[1], "half a li\r\r");
  EXPECT_EQ(lines[2], std::string(80, '/') + "\r\r");
}

TEST_F(ErrorLogTest, NothingIsWrittenWithoutAUsablePath) {
  CErrorLog::ResetForTests();
  EXPECT_FALSE(CFKException::SetErrorLogFile(""));
  CFKException noPath(0, 0, 1, "M", "F", "", "", false);
  EXPECT_FALSE(CErrorLog::WriteErrorLog(noPath));

  const std::string missingDir = m_Dir.File("no/such/dir/log.txt");
  ASSERT_TRUE(CFKException::SetErrorLogFile(missingDir));
  EXPECT_FALSE(CErrorLog::WriteErrorLog(noPath));
  EXPECT_FALSE(std::ifstream(missingDir).good());
  // The counter advanced all the same: an immediate repeat is skipped.
  EXPECT_TRUE(CErrorLog::WriteErrorLog(noPath));
}

TEST_F(ErrorLogTest, EntriesFromManyThreadsNeverInterleave) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 20; ++i) Report(t * 100 + i, "Thread" + std::to_string(t));
    });
  }
  for (std::thread& thread : threads) thread.join();
  const std::vector<std::string> lines = Lines(m_Log.Read());
  ASSERT_EQ(lines.size(), 86u);
  for (size_t i = 6; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].substr(0, lines[i].find(')')), std::to_string(i - 5));
    EXPECT_EQ(lines[i].substr(lines[i].size() - 5), " /f\r\r");
  }
}
