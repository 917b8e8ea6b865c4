#include "platform/MachineOptions.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

const char kKey[] = "Software\\Larkvale Application\\FKIndexingService\\Options";

class MachineOptionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_Path = (fs::temp_directory_path() / ("fkoptions-" + std::to_string(getpid()) + ".ini")).string();
    setenv("FK_OPTIONS_FILE", m_Path.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("FK_OPTIONS_FILE");
    fs::remove(m_Path);
  }
  void Write(const std::string& text) { std::ofstream(m_Path) << text; }
  std::string m_Path;
};

TEST_F(MachineOptionsTest, PathComesFromTheEnvironmentElseEtc) {
  EXPECT_EQ(platform::MachineOptionsFilePath(), m_Path);
  unsetenv("FK_OPTIONS_FILE");
  EXPECT_EQ(platform::MachineOptionsFilePath(), "/etc/fkindexingservice/options.ini");
}

TEST_F(MachineOptionsTest, ReadsTheValueOfItsSectionOnly) {
  std::string value = "stale";
  EXPECT_FALSE(platform::ReadMachineOption(kKey, "FolderList", 255, value)) << "no file";
  EXPECT_EQ(value, "");

  Write("; options\n[Other]\nFolderList=/wrong.xml\n\n"
        "[software\\larkvale application\\fkindexingservice\\options]\r\n"
        "  folderlist = /srv/fk/Fennrick Folders.xml  \r\n[Next]\nFolderList=/later.xml\n");
  EXPECT_TRUE(platform::ReadMachineOption(kKey, "FolderList", 255, value));
  EXPECT_EQ(value, "/srv/fk/Fennrick Folders.xml");
}

TEST_F(MachineOptionsTest, KeyWithoutValueOrTooLongValueOpensWithEmptyValue) {
  std::string value;
  Write("[Other]\nFolderList=/x.xml\n");
  EXPECT_FALSE(platform::ReadMachineOption(kKey, "FolderList", 255, value));

  Write(std::string("[") + kKey + "]\nSomethingElse=1\n");
  EXPECT_TRUE(platform::ReadMachineOption(kKey, "FolderList", 255, value));
  EXPECT_EQ(value, "");

  Write(std::string("[") + kKey + "]\nFolderList=/" + std::string(255, 'a') + "\n");
  EXPECT_TRUE(platform::ReadMachineOption(kKey, "FolderList", 255, value));
  EXPECT_EQ(value, "");
  Write(std::string("[") + kKey + "]\nFolderList=/" + std::string(254, 'a') + "\n");
  EXPECT_TRUE(platform::ReadMachineOption(kKey, "FolderList", 255, value));
  EXPECT_EQ(value.size(), 255u);
}

}  // namespace
