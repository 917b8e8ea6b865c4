#include "service/CActivityLog.h"

#include <filesystem>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <boost/regex.hpp>

#include "testsupport/ScratchDir.h"

namespace {

namespace fs = std::filesystem;

class ActivityLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_strActivityLogPath = m_Path;
    g_bDebugAction = false;
    SetDay(6);
    m_Log.SetClock([this] { return m_Now; });
  }
  void TearDown() override {
    m_Log.Close();
    g_strActivityLogPath.clear();
  }
  void SetDay(int day) {
    m_Now = std::tm{};
    m_Now.tm_mday = day;
    m_Now.tm_mon = 11;
    m_Now.tm_year = 2026 - 1900;
    m_Now.tm_hour = 9;
    m_Now.tm_min = 5;
    m_Now.tm_sec = 7;
  }
  std::string Content() const { return m_Dir.Read(m_Path); }
  // The log's lines, each with its CR.
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::stringstream content(Content());
    for (std::string line; std::getline(content, line);) lines.push_back(line);
    return lines;
  }
  size_t FilesInDirectory() const {
    return static_cast<size_t>(std::distance(fs::directory_iterator(m_Dir.Path()), fs::directory_iterator()));
  }

  testsupport::ScratchDir m_Dir;
  const std::string m_Path = m_Dir.File("FKIndexing.log");
  std::tm m_Now{};
  CActivityLog m_Log;
};

TEST_F(ActivityLogTest, FirstLineEmptiesTheOldFileAndNoMessageCanForgeALine) {
  m_Dir.Write("FKIndexing.log", "a line of the previous run\r\n");
  for (int kind : {0, 1}) m_Log.WriteLine("index file /a/x\n06/12/2026, 09:05:07\t:error: forged\r\x1b.xml", kind);
  const std::string escaped = "06/12/2026, 09:05:07\tindex file /a/x\\n06/12/2026, 09:05:07\\t:error: forged\\r\\x1b.xml\r\n";
  EXPECT_EQ(Content(), escaped + escaped);
  EXPECT_EQ(FilesInDirectory(), 1u) << "no rotation";
}

TEST_F(ActivityLogTest, NewDayMovesTheLogToItsArchiveAndAFailedMoveKeepsTheLines) {
  const std::string archive = m_Dir.Write("FKIndexing-07-12-2026.log", "an archive from before a clock change\r\n");
  m_Log.WriteLine("Loading Fennrick Folders.xml", 0);
  SetDay(7);
  m_Log.WriteLine("Checking Folder ACME", 0);
  EXPECT_EQ(m_Dir.Read(archive), "06/12/2026, 09:05:07\tLoading Fennrick Folders.xml\r\n");
  EXPECT_EQ(Content(), "07/12/2026, 09:05:07\tChecking Folder ACME\r\n");

  // A non-empty directory under the archive name can neither be deleted nor replaced.
  fs::create_directories(m_Dir.File("FKIndexing-08-12-2026.log/busy"));
  SetDay(8);
  m_Log.WriteLine("third day", 0);
  m_Log.WriteLine("third day again", 0);
  const std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "07/12/2026, 09:05:07\tChecking Folder ACME\r");
  EXPECT_EQ(lines[2], "08/12/2026, 09:05:07\tthird day again\r");
}

TEST_F(ActivityLogTest, LogAtTheSizeLimitIsDeletedAndStartsWithTheCurrentLine) {
  m_Log.SetSizeLimit(100);
  const std::string message(40, 'x');  // 20 + 1 + 40 + 2 = 63 bytes a line
  m_Log.WriteLine(message, 0);
  m_Log.WriteLine(message, 0);
  EXPECT_EQ(fs::file_size(m_Path), 126u) << "below the limit when the line began";
  m_Log.WriteLine("after the reset", 0);
  EXPECT_EQ(Content(), "06/12/2026, 09:05:07\tafter the reset\r\n");
  EXPECT_EQ(FilesInDirectory(), 1u) << "no archive";
}

TEST_F(ActivityLogTest, RepeatedStatusLineReplacesItsCopyOncePerSecondButNeverAnotherLine) {
  const std::string first = "06/12/2026, 09:05:07\tParameters Loaded Successfully\r\n";
  m_Log.WriteLine("Parameters Loaded Successfully", 0);
  m_Now.tm_sec = 10;
  for (int i = 0; i < 1000; ++i) m_Log.WriteLine("Indexing Folder A...", 1);
  const std::string expected = first + "06/12/2026, 09:05:10\tIndexing Folder A...\r\n";
  EXPECT_EQ(Content(), expected);
  // Mark the line on disk: a rewrite within the same second would put it back.
  std::string marked = expected;
  marked[marked.rfind("Indexing")] = 'X';
  m_Dir.Write("FKIndexing.log", marked);
  m_Log.WriteLine("Indexing Folder A...", 1);
  EXPECT_EQ(Content(), marked);
  m_Now.tm_sec = 19;
  m_Log.WriteLine("Indexing Folder A...", 1);
  EXPECT_EQ(Content(), first + "06/12/2026, 09:05:19\tIndexing Folder A...\r\n") << "a new second rewrites it";

  m_Log.WriteLine("Loading Fennrick Folders.xml", 0);
  m_Now.tm_sec = 30;
  m_Log.WriteLine("Indexing Folder A...", 1);
  const std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[2], "06/12/2026, 09:05:19\tLoading Fennrick Folders.xml\r");
  EXPECT_EQ(lines[3], "06/12/2026, 09:05:30\tIndexing Folder A...\r");
}

TEST_F(ActivityLogTest, UnwritableDirectoryDropsLinesUntilThePathWorks) {
  g_strActivityLogPath = m_Dir.File("missing/FKIndexing.log");
  m_Log.WriteLine("lost", 0);
  EXPECT_FALSE(fs::exists(g_strActivityLogPath));
  g_strActivityLogPath = m_Path;
  m_Log.WriteLine("kept", 0);
  EXPECT_EQ(Content(), "06/12/2026, 09:05:07\tkept\r\n");
}

TEST_F(ActivityLogTest, ConcurrentWritersNeverInterleaveLines) {
  m_Log.SetClock(nullptr);  // the real clock, read by every thread
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([this, t] {
      for (int i = 0; i < 300; ++i) {
        m_Log.WriteLine("writer " + std::to_string(t) + " line " + std::to_string(i), 0);
        m_Log.WriteLine("Waiting for file to index...", t % 2);
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  const boost::regex shape(R"(\d\d/\d\d/\d{4}, \d\d:\d\d:\d\d\t(writer \d line \d+|Waiting for file to index...)\r)");
  int numbered = 0;
  for (const std::string& line : Lines()) {
    ASSERT_TRUE(boost::regex_match(line, shape)) << line;
    numbered += line.find("writer ") != std::string::npos ? 1 : 0;
  }
  EXPECT_EQ(numbered, 4 * 300);
}

}  // namespace
