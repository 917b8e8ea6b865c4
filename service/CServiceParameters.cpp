#include "service/CServiceParameters.h"

#include <strings.h>

#include "engine/CEngineParameters.h"
#include "platform/XmlDocument.h"
#include "tools/CTool_FileSystem.h"

namespace {

int ParseFlag(const std::string& text) { return strcasecmp(text.c_str(), "TRUE") == 0 ? 1 : 0; }

}  // namespace

CServiceParameters::CServiceParameters(const std::string& configFilePath)
    : ConfigFilePath(configFilePath) {
  IsLoaded = ReadFile();
  if (!PathFoldersList.empty()) {
    FoldersListDirectory = CTool_FileSystem::RemoveFileSpec(PathFoldersList);
    CTool_FileSystem::AddBackslash(FoldersListDirectory);
  }
}

bool CServiceParameters::IsFolderArchivePath() const {
  return CEngineParameters::IsFolderArchivePath(PathCatalogues);
}

bool CServiceParameters::ValidatePaths(int& failed) const {
  failed = -1;
  if (!CTool_FileSystem::PathExists(PathFoldersList)) {
    failed = 0;
    return false;
  }
  if (!IsFolderArchivePath() && !CTool_FileSystem::IsDirectory(PathCatalogues)) {
    failed = 1;
    return false;
  }
  return true;
}

int CServiceParameters::ParsePriority(const std::string& text) {
  if (text == "LOW") return 0;
  if (text == "HIGH") return 2;
  return 1;
}

int CServiceParameters::ReadFile() {
  if (!CTool_FileSystem::PathExists(ConfigFilePath)) return 0;
  platform::XmlDocument document;
  if (!document.LoadFile(ConfigFilePath)) return 0;
  const platform::XmlNode root = document.GetDocumentElement();
  if (root.IsNull()) return 0;
  // The DOM's text of an element comes without its surrounding white space.
  auto read = [&root](const char* name, std::string& value) {
    const platform::XmlNode node = root.GetFirstChildElement(name);
    if (node.IsNull()) return false;
    value = node.GetTrimmedText();
    return true;
  };
  std::string text;
  read("PathFoldersList", PathFoldersList);
  if (read("PathCatalogues", PathCatalogues) && !IsFolderArchivePath()) {
    CTool_FileSystem::AddBackslash(PathCatalogues);
  }
  read("PathLogs", PathLogs);
  if (read("Priority", text)) Priority = ParsePriority(text);
  if (read("DisableMonitoring", text)) DisableMonitoring = ParseFlag(text);
  if (read("IsDebugAction", text)) IsDebugAction = ParseFlag(text);
  return 1;
}
