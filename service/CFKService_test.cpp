#include "service/CFKService.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "service/CActivityLog.h"
#include "testsupport/ScratchDir.h"
#include "testsupport/ServiceRunner.h"

namespace {

class WatchdogCountingService : public CFKService {
 public:
  void ResetWatchdog() override { ++m_nWatchdogResets; }
  int m_nWatchdogResets = 0;
};

class StatusMessageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CloseActivityLog();
    g_strActivityLogPath = m_Dir.File("FKIndexing.log");
    WriteActivityLog("Parameters Loaded Successfully");
  }
  void TearDown() override {
    CloseActivityLog();
    g_strActivityLogPath.clear();
  }
  std::vector<std::string> Messages() const { return testsupport::ActivityLogMessages(g_strActivityLogPath); }

  testsupport::ScratchDir m_Dir;
  WatchdogCountingService m_Service;
};

TEST_F(StatusMessageTest, ARepeatedStatusLineIsKeptOnceAndKeepAlivesOnlyResetTheWatchdog) {
  const std::vector<std::pair<int, std::string>> calls = {
      {1, "Waiting for file to index..."}, {1, "Waiting for file to index..."}, {3, ""},
      {1, "Waiting for file to index..."}, {2, "Indexing Folder ACME..."},      {2, "Indexing Folder ACME..."},
      {2, "Indexing Folder BETA..."},      {1, "Indexing Folder BETA..."},      {0, "Checking Folder ACME"},
      {0, "Checking Folder ACME"},         {5, "index file /srv/a.pdf"},        {5, "index file /srv/a.pdf"},
      {1, "Waiting for file to index..."}};
  for (const auto& [kind, text] : calls) m_Service.OnStatusMessage(kind, text);
  EXPECT_EQ(m_Service.m_nWatchdogResets, 1);
  EXPECT_EQ(Messages(), (std::vector<std::string>{
                            "Parameters Loaded Successfully", "Waiting for file to index...",
                            "Indexing Folder ACME...", "Indexing Folder BETA...", "Indexing Folder BETA...",
                            "Checking Folder ACME", "Checking Folder ACME", "index file /srv/a.pdf",
                            "index file /srv/a.pdf", "Waiting for file to index..."}));
}

}  // namespace
