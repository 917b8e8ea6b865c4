#include "service/CServiceParameters.h"

#include <filesystem>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "testsupport/ScratchDir.h"

namespace {

namespace fs = std::filesystem;

class ServiceParametersTest : public ::testing::Test {
 protected:
  void WriteConfig(const std::string& body, const std::string& root = "FKIndexingConfig") {
    m_Dir.Write("FKIndexingServiceConfig.xml", "<?xml version=\"1.0\"?>\n<" + root + ">" + body + "</" + root + ">\n");
  }
  testsupport::ScratchDir m_Dir;
  const std::string m_Config = m_Dir.File("FKIndexingServiceConfig.xml");
};

TEST_F(ServiceParametersTest, MissingOrBrokenFileIsNotLoadedAndKeepsNothing) {
  EXPECT_EQ(CServiceParameters(m_Config).IsLoaded, 0);
  m_Dir.Write("FKIndexingServiceConfig.xml", "<FKIndexingConfig><PathFoldersList>/x</PathFoldersList>");
  CServiceParameters broken(m_Config);
  EXPECT_EQ(broken.IsLoaded, 0);
  EXPECT_EQ(broken.PathFoldersList, "");
  EXPECT_EQ(broken.Priority, 1);
}

TEST_F(ServiceParametersTest, ReadsEveryElementUnderAnyDocumentElementNameAndOnlyExactWords) {
  WriteConfig("<PathFoldersList>/srv/fk/Fennrick Folders.xml</PathFoldersList>"
              "<PathCatalogues>/srv/catalogues</PathCatalogues>"
              "<PathLogs>/var/log/fk/FKIndexing.log</PathLogs>"
              "<Priority>HIGH</Priority><Priority>LOW</Priority>"
              "<DisableMonitoring>True</DisableMonitoring><IsDebugAction>true</IsDebugAction>"
              "<VerificationIntervalHours>0</VerificationIntervalHours>",
              "Settings");
  CServiceParameters parameters(m_Config);
  EXPECT_EQ(parameters.IsLoaded, 1);
  EXPECT_EQ(parameters.PathFoldersList, "/srv/fk/Fennrick Folders.xml");
  EXPECT_EQ(parameters.FoldersListDirectory, "/srv/fk/");
  EXPECT_EQ(parameters.PathCatalogues, "/srv/catalogues/");
  EXPECT_EQ(parameters.PathLogs, "/var/log/fk/FKIndexing.log");
  EXPECT_EQ(parameters.Priority, 2) << "the first Priority element counts";
  EXPECT_EQ(parameters.DisableMonitoring, 1);
  EXPECT_EQ(parameters.IsDebugAction, 1);
  EXPECT_EQ(parameters.VerificationIntervalHours, 0) << "0 turns the verification off";
  EXPECT_EQ(parameters.Doubts.size(), 1u) << "the second Priority only";

  WriteConfig("<Priority>low</Priority><DisableMonitoring>1</DisableMonitoring><IsDebugAction>yes</IsDebugAction>"
              "<VerificationIntervalHours>daily</VerificationIntervalHours>");
  CServiceParameters inexact(m_Config);
  EXPECT_EQ(inexact.IsLoaded, 1) << "a file without a folder list still counts as loaded";
  EXPECT_EQ(inexact.Priority, 1);
  EXPECT_EQ(inexact.DisableMonitoring, 0);
  EXPECT_EQ(inexact.IsDebugAction, 0);
  EXPECT_EQ(inexact.VerificationIntervalHours, 24) << "once a day unless a number of hours is given";
  EXPECT_EQ(inexact.Doubts.size(), 4u);
}

TEST_F(ServiceParametersTest, CatalogueSeparatorAndFolderArchiveMarker) {
  // given PathCatalogues, stored value, IsFolderArchivePath
  const std::vector<std::tuple<std::string, std::string, bool>> cases = {
      {"FOLDER_ARCHIVE_PATH", "FOLDER_ARCHIVE_PATH", true},
      {"folder_archive_path", "folder_archive_path/", false},
      {"/srv/catalogues/", "/srv/catalogues/", false},
      {"", "", true}};
  for (const auto& [given, stored, marker] : cases) {
    WriteConfig("<PathCatalogues>" + given + "</PathCatalogues>");
    CServiceParameters parameters(m_Config);
    EXPECT_EQ(parameters.PathCatalogues, stored) << given;
    EXPECT_EQ(parameters.IsFolderArchivePath(), marker) << given;
  }
}

TEST_F(ServiceParametersTest, ValidatePathsChecksFolderListFirstThenCatalogues) {
  const std::string folderList = m_Dir.File("Fennrick Folders.xml");
  const std::string catalogues = m_Dir.File("catalogues");
  WriteConfig("<PathFoldersList>" + folderList + "</PathFoldersList><PathCatalogues>" + catalogues +
              "</PathCatalogues>");
  int failed = 99;
  EXPECT_FALSE(CServiceParameters(m_Config).ValidatePaths(failed));
  EXPECT_EQ(failed, 0) << "a missing folder list hides the bad catalogue path";
  m_Dir.Write("Fennrick Folders.xml", "<Folders/>");
  EXPECT_FALSE(CServiceParameters(m_Config).ValidatePaths(failed));
  EXPECT_EQ(failed, 1);
  fs::create_directory(catalogues);
  EXPECT_TRUE(CServiceParameters(m_Config).ValidatePaths(failed));
  EXPECT_EQ(failed, -1);

  WriteConfig("<PathFoldersList>" + folderList + "</PathFoldersList><PathCatalogues>FOLDER_ARCHIVE_PATH</PathCatalogues>");
  EXPECT_TRUE(CServiceParameters(m_Config).ValidatePaths(failed)) << "no directory test for the marker";
}

}  // namespace
