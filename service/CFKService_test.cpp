#include "service/CFKService.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include <gtest/gtest.h>

#include "service/CActivityLog.h"

namespace {

namespace fs = std::filesystem;

class WatchdogCountingService : public CFKService {
 public:
  void ResetWatchdog() override { ++m_nWatchdogResets; }
  int m_nWatchdogResets = 0;
};

class StatusMessageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "fkstatus-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    m_Dir = pattern + "/";
    CloseActivityLog();
    g_strActivityLogPath = m_Dir + "FKIndexing.log";
    WriteActivityLog("Parameters Loaded Successfully");
  }
  void TearDown() override {
    CloseActivityLog();
    g_strActivityLogPath.clear();
    fs::remove_all(m_Dir);
  }
  std::vector<std::string> Messages() const {
    std::ifstream file(g_strActivityLogPath, std::ios::binary);
    std::vector<std::string> messages;
    std::string line;
    while (std::getline(file, line)) messages.push_back(line.substr(21, line.size() - 22));
    return messages;
  }

  std::string m_Dir;
  WatchdogCountingService m_Service;
};

TEST_F(StatusMessageTest, RepeatedStatusLineIsKeptOnceEvenAcrossKeepAlives) {
  m_Service.OnStatusMessage(1, "Waiting for file to index...");
  m_Service.OnStatusMessage(1, "Waiting for file to index...");
  m_Service.OnStatusMessage(3, "");
  m_Service.OnStatusMessage(1, "Waiting for file to index...");
  EXPECT_EQ(m_Service.m_nWatchdogResets, 1);
  EXPECT_EQ(Messages(), (std::vector<std::string>{"Parameters Loaded Successfully",
                                                  "Waiting for file to index..."}));
}

TEST_F(StatusMessageTest, OtherKindsAndOtherTextsAddLines) {
  m_Service.OnStatusMessage(2, "Indexing Folder ACME...");
  m_Service.OnStatusMessage(2, "Indexing Folder ACME...");
  m_Service.OnStatusMessage(2, "Indexing Folder BETA...");
  m_Service.OnStatusMessage(1, "Indexing Folder BETA...");
  m_Service.OnStatusMessage(0, "Checking Folder ACME");
  m_Service.OnStatusMessage(0, "Checking Folder ACME");
  m_Service.OnStatusMessage(5, "index file /srv/a.pdf");
  m_Service.OnStatusMessage(5, "index file /srv/a.pdf");
  EXPECT_EQ(m_Service.m_nWatchdogResets, 0);
  EXPECT_EQ(Messages(), (std::vector<std::string>{
                            "Parameters Loaded Successfully", "Indexing Folder ACME...",
                            "Indexing Folder BETA...", "Indexing Folder BETA...",
                            "Checking Folder ACME", "Checking Folder ACME",
                            "index file /srv/a.pdf", "index file /srv/a.pdf"}));
}

TEST_F(StatusMessageTest, StatusLineAfterAnOrdinaryLineIsANewLine) {
  m_Service.OnStatusMessage(1, "Waiting for file to index...");
  m_Service.OnStatusMessage(0, "Loading Fennrick Folders.xml");
  m_Service.OnStatusMessage(1, "Waiting for file to index...");
  m_Service.OnStatusMessage(1, "Waiting for file to index...");
  EXPECT_EQ(Messages(), (std::vector<std::string>{
                            "Parameters Loaded Successfully", "Waiting for file to index...",
                            "Loading Fennrick Folders.xml", "Waiting for file to index..."}));
}

}  // namespace
