#include "service/CServiceParameters.h"

#include <strings.h>

#include <algorithm>
#include <cstdlib>

#include "engine/CEngineParameters.h"
#include "platform/MachineOptions.h"
#include "platform/XmlDocument.h"
#include "tools/CTool_FileSystem.h"

namespace {

int ParseFlag(const std::string& text) { return strcasecmp(text.c_str(), "TRUE") == 0 ? 1 : 0; }

constexpr size_t kMaxOptionsValue = 255;
const std::vector<std::string> kSettingNames = {"PathFoldersList",   "PathCatalogues", "PathLogs",
                                                "Priority",          "DisableMonitoring", "IsDebugAction",
                                                "VerificationIntervalHours"};
constexpr long kMaxVerificationIntervalHours = 24L * 366;

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

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

bool CServiceParameters::ParseVerificationInterval(const std::string& text, int& hours) {
  char* end = nullptr;
  const long parsed = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || parsed < 0 || parsed > kMaxVerificationIntervalHours) return false;
  hours = static_cast<int>(parsed);
  return true;
}

void CServiceParameters::TakeVerificationInterval(const std::string& text, std::vector<std::string>& doubts) {
  if (ParseVerificationInterval(text, VerificationIntervalHours)) return;
  doubts.push_back("VerificationIntervalHours " + Quoted(text) + " is not a whole number of hours from 0 to " +
                   std::to_string(kMaxVerificationIntervalHours) + ": " + std::to_string(VerificationIntervalHours) +
                   " is used");
}

int CServiceParameters::ParsePriority(const std::string& text) {
  if (text == "LOW") return 0;
  if (text == "HIGH") return 2;
  return 1;
}

bool CServiceParameters::ReadOptionsFileFallback() {
  std::string folderList;
  if (platform::ReadMachineOption(kOptionsKey, "FolderList", kMaxOptionsValue, folderList)) {
    PathFoldersList = folderList;
    IsLoaded = 1;
  }
  std::string interval;
  if (platform::ReadMachineOption(kOptionsKey, "VerificationIntervalHours", kMaxOptionsValue, interval)) {
    TakeVerificationInterval(interval, OptionsFileDoubts);
    VerificationIntervalFromOptionsFile = true;
  }
  if (PathFoldersList.empty()) return false;
  FolderListFromOptionsFile = true;
  // The settings file was not read, so its directory was never derived.
  FoldersListDirectory = CTool_FileSystem::RemoveFileSpec(folderList);
  CTool_FileSystem::AddBackslash(FoldersListDirectory);
  return true;
}

int CServiceParameters::ReadFile() {
  if (!CTool_FileSystem::PathExists(ConfigFilePath)) {
    ReadError = "it does not exist";
    return 0;
  }
  platform::XmlDocument document;
  if (!document.LoadFile(ConfigFilePath)) {
    ReadError = document.GetError();
    return 0;
  }
  const platform::XmlNode root = document.GetDocumentElement();
  if (root.IsNull()) {
    ReadError = "it has no root element";
    return 0;
  }
  // The DOM's text of an element comes without its surrounding white space.
  auto read = [this, &root](const char* name, std::string& value) {
    const platform::XmlNode node = root.GetFirstChildElement(name);
    if (node.IsNull()) return false;
    value = node.GetTrimmedText();
    GivenSettings.insert(name);
    return true;
  };
  std::string text;
  read("PathFoldersList", PathFoldersList);
  if (read("PathCatalogues", PathCatalogues) && !IsFolderArchivePath()) {
    CTool_FileSystem::AddBackslash(PathCatalogues);
  }
  read("PathLogs", PathLogs);
  if (read("Priority", text)) {
    Priority = ParsePriority(text);
    if (text != "LOW" && text != "MEDIUM" && text != "HIGH") {
      Doubts.push_back("Priority " + Quoted(text) + " is not LOW, MEDIUM or HIGH: MEDIUM is used");
    }
  }
  for (const char* name : {"DisableMonitoring", "IsDebugAction"}) {
    if (!read(name, text)) continue;
    (name[0] == 'D' ? DisableMonitoring : IsDebugAction) = ParseFlag(text);
    if (strcasecmp(text.c_str(), "TRUE") != 0 && strcasecmp(text.c_str(), "FALSE") != 0) {
      Doubts.push_back(std::string(name) + " " + Quoted(text) + " is not TRUE or FALSE: FALSE is used");
    }
  }
  if (read("VerificationIntervalHours", text)) TakeVerificationInterval(text, Doubts);
  std::vector<std::string> found;
  for (const platform::XmlNode& node : root.GetChildNodes()) {
    if (node.IsElement()) found.push_back(node.GetName());
  }
  NoteUnknownElements(kSettingNames, found);
  return 1;
}

void CServiceParameters::NoteUnknownElements(const std::vector<std::string>& known,
                                             const std::vector<std::string>& found) {
  std::set<std::string> seen;
  for (const std::string& name : found) {
    const bool isKnown = std::find(known.begin(), known.end(), name) != known.end();
    if (!seen.insert(name).second) {
      if (isKnown) Doubts.push_back("element " + name + " is given twice: the first one counts");
    } else if (!isKnown) {
      Doubts.push_back("element " + name + " is not a setting (element names are case-sensitive): it is left out");
    }
  }
}
