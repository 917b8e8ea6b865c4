#include "platform/MachineOptions.h"

#include <gtest/gtest.h>

#include "testsupport/ScopedEnvironment.h"
#include "testsupport/ScratchDir.h"

namespace {

const char kKey[] = "Software\\Larkvale Application\\FKIndexingService\\Options";

class MachineOptionsTest : public ::testing::Test {
 protected:
  void SetUp() override { m_Environment.Set("FK_OPTIONS_FILE", m_Dir.File("options.ini")); }
  bool Read(const std::string& text, std::string& value) {
    m_Dir.Write("options.ini", text);
    return platform::ReadMachineOption(kKey, "FolderList", 255, value);
  }
  testsupport::ScratchDir m_Dir;
  testsupport::ScopedEnvironment m_Environment;
};

TEST_F(MachineOptionsTest, PathComesFromTheEnvironmentElseEtc) {
  EXPECT_EQ(platform::MachineOptionsFilePath(), m_Dir.File("options.ini"));
  m_Environment.Unset("FK_OPTIONS_FILE");
  EXPECT_EQ(platform::MachineOptionsFilePath(), "/etc/fkindexingservice/options.ini");
}

TEST_F(MachineOptionsTest, ReadsTheValueOfItsSectionOnly) {
  std::string value = "stale";
  EXPECT_FALSE(platform::ReadMachineOption(kKey, "FolderList", 255, value)) << "no file";
  EXPECT_EQ(value, "");
  EXPECT_TRUE(Read("; options\n[Other]\nFolderList=/wrong.xml\n\n"
                   "[software\\larkvale application\\fkindexingservice\\options]\r\n"
                   "  folderlist = /srv/fk/Fennrick Folders.xml  \r\n[Next]\nFolderList=/later.xml\n",
                   value));
  EXPECT_EQ(value, "/srv/fk/Fennrick Folders.xml");
}

TEST_F(MachineOptionsTest, KeyWithoutValueOrTooLongValueOpensWithEmptyValue) {
  std::string value;
  EXPECT_FALSE(Read("[Other]\nFolderList=/x.xml\n", value));
  EXPECT_TRUE(Read(std::string("[") + kKey + "]\nSomethingElse=1\n", value));
  EXPECT_EQ(value, "");
  EXPECT_TRUE(Read(std::string("[") + kKey + "]\nFolderList=/" + std::string(255, 'a') + "\n", value));
  EXPECT_EQ(value, "");
  EXPECT_TRUE(Read(std::string("[") + kKey + "]\nFolderList=/" + std::string(254, 'a') + "\n", value));
  EXPECT_EQ(value.size(), 255u);
}

}  // namespace
