#include "service/CConfigCheck.h"

#include <algorithm>
#include <memory>
#include <system_error>

#include "engine/CCatalogueLayout.h"
#include "engine/CEngineParameters.h"
#include "folders/Dom_FolderList.h"
#include "platform/AccessChecks.h"
#include "platform/CFileSystemType.h"
#include "platform/MachineOptions.h"
#include "platform/XmlDocument.h"
#include "service/CServiceParameters.h"
#include "tools/CTool_FileSystem.h"

namespace {

// The unit's own state and log directories, writable without a drop-in.
const char* const kUnitWritable[] = {"/var/lib/fkindexingservice/", "/var/log/fkindexingservice/"};

const char* PriorityName(int priority) { return priority == 0 ? "LOW" : priority == 2 ? "HIGH" : "MEDIUM"; }

bool StartsWith(const std::string& text, const std::string& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

std::string Directory(std::string path) {
  CTool_FileSystem::AddBackslash(path);
  return path;
}

}  // namespace

CConfigCheck::CConfigCheck(std::string programDirectory, std::string configFile)
    : m_strProgramDirectory(std::move(programDirectory)), m_strConfigFile(std::move(configFile)) {}

std::vector<std::string> CConfigCheck::SettingsProblems(const CServiceParameters& parameters) {
  std::vector<std::string> problems;
  const std::string file = "Settings file " + parameters.ConfigFilePath;
  if (!parameters.ReadError.empty()) {
    problems.push_back(file + " cannot be read (" + parameters.ReadError + "): " +
                       (parameters.FolderListFromOptionsFile
                            ? "every setting is at its default, the folder list path" +
                                  std::string(parameters.VerificationIntervalFromOptionsFile
                                                  ? " and VerificationIntervalHours"
                                                  : "") +
                                  " from the options file " + platform::MachineOptionsFilePath()
                            : "the options file " + platform::MachineOptionsFilePath() + " gives no folder list path"));
  }
  for (const std::string& doubt : parameters.Doubts) problems.push_back(file + ": " + doubt);
  for (const std::string& doubt : parameters.OptionsFileDoubts) {
    problems.push_back("Options file " + platform::MachineOptionsFilePath() + ": " + doubt);
  }
  return problems;
}

bool CConfigCheck::Run() {
  if (!CTool_FileSystem::IsDirectory(m_strProgramDirectory)) {
    Problem("the program directory " + m_strProgramDirectory + " does not exist: the service does not start");
  }
  CServiceParameters parameters(m_strConfigFile);
  parameters.ProgramDirectory = m_strProgramDirectory;
  if (parameters.PathLogs.empty()) parameters.PathLogs = m_strProgramDirectory + "FKIndexing.log";
  const bool starts = CheckSettings(parameters);
  ReportSettings(parameters);
  if (starts) CheckFolderList(parameters);
  return m_Problems.empty();
}

// False when a start would fail on the settings.
bool CConfigCheck::CheckSettings(CServiceParameters& parameters) {
  if (parameters.IsLoaded == 0) parameters.ReadOptionsFileFallback();
  for (const std::string& problem : SettingsProblems(parameters)) Problem(problem);
  if (parameters.IsLoaded == 0 || parameters.PathFoldersList.empty()) {
    Problem("no folder list path: the service does not start (\"Error While Loading Parameters\")");
    return false;
  }
  int failed = -1;
  if (parameters.ValidatePaths(failed)) return true;
  Problem(failed == 0 ? "the folder list " + parameters.PathFoldersList +
                            " does not exist: the service does not start (\"Fennrick Folders.xml path is not valid\")"
                      : "the catalogue directory " + parameters.PathCatalogues +
                            " is not a directory: the service does not start (\"Catalogues path is not valid\")");
  return false;
}

void CConfigCheck::ReportSettings(const CServiceParameters& parameters) {
  const auto source = [&parameters](const char* name) {
    if (parameters.GivenSettings.count(name) != 0) return std::string("settings file");
    if ((std::string(name) == "PathFoldersList" && parameters.FolderListFromOptionsFile) ||
        (std::string(name) == "VerificationIntervalHours" && parameters.VerificationIntervalFromOptionsFile)) {
      return "options file " + platform::MachineOptionsFilePath();
    }
    return std::string("default");
  };
  const auto line = [&](const char* name, const std::string& value) {
    m_Lines.push_back("  " + std::string(name) + " = " + value + "  (" + source(name) + ")");
  };
  m_Lines.push_back("Program directory: " + m_strProgramDirectory);
  m_Lines.push_back("Settings file: " + parameters.ConfigFilePath +
                    (parameters.ReadError.empty() ? "" : " (not read: " + parameters.ReadError + ")"));
  line("PathFoldersList", parameters.PathFoldersList);
  line("PathCatalogues", parameters.IsFolderArchivePath() ? "FOLDER_ARCHIVE_PATH (each folder's archive)"
                                                          : parameters.PathCatalogues);
  line("PathLogs", parameters.PathLogs);
  line("Priority", PriorityName(parameters.Priority));
  line("DisableMonitoring", parameters.DisableMonitoring != 0 ? "TRUE" : "FALSE");
  line("IsDebugAction", parameters.IsDebugAction != 0 ? "TRUE" : "FALSE");
  line("VerificationIntervalHours", parameters.VerificationIntervalHours == 0
                                        ? "0 (no verification of watched folders)"
                                        : std::to_string(parameters.VerificationIntervalHours));
  NeedWriting(CTool_FileSystem::RemoveFileSpec(parameters.PathLogs));
  if (!parameters.PathFoldersList.empty()) NeedReading(parameters.PathFoldersList);
}

void CConfigCheck::CheckFolderList(const CServiceParameters& parameters) {
  Dom_FolderList folderList(parameters.PathFoldersList, 1);
  if (!folderList.IsLoaded()) {
    platform::XmlDocument document;
    const std::string why = document.LoadFile(parameters.PathFoldersList) ? "not a folder list" : document.GetError();
    Problem("the folder list " + parameters.PathFoldersList + " cannot be loaded (" + why + "): no folder is indexed");
    return;
  }
  // The engine's own layout rules decide, without an engine: it would touch the markers of a
  // service that may be running.
  CEngineParameters engineParameters;
  engineParameters.PathCatalogues = parameters.PathCatalogues;
  CCatalogueLayout layout(&engineParameters);
  layout.TakeFolderDirectories(folderList);
  if (!parameters.IsFolderArchivePath()) NeedWriting(parameters.PathCatalogues);
  std::vector<std::string> references = folderList.GetFolderReferences();
  std::sort(references.begin(), references.end());
  m_Lines.push_back("Folders of " + parameters.PathFoldersList + ": " + std::to_string(references.size()));
  for (const std::string& reference : references) CheckFolder(layout, folderList.GetFolder(reference));
  for (const std::string& name : folderList.GetFoldersWithoutReference()) {
    Problem("folder " + name + " has no Reference: it is not indexed");
  }
}

void CConfigCheck::CheckFolder(const CCatalogueLayout& layout, const FK::CFolder& folder) {
  const std::string title = "  " + folder.GetReference() + " \"" + folder.GetName() + "\": ";
  if (folder.GetUseMIS() != 1) {
    m_Lines.push_back(title + "not indexed (UseMIS is not TRUE)");
    return;
  }
  const std::string catalogue = layout.GetCataloguePath(folder);
  const std::string archive = folder.GetArchivePath();
  std::string why;
  std::string refused;  // the folder's directories are not the drop-in's to open
  if (!CCatalogueLayout::IsUsableReference(folder.GetReference())) {
    why = refused = "its Reference cannot name a catalogue directory";
  } else if (catalogue.empty()) {
    why = refused = "it has no archive directory";
  } else if (!(why = platform::CFileSystemType::WhyRefusedAsFolderDirectory(archive)).empty()) {
    why = refused = "its archive " + archive + " is refused: " + why;
  } else if (!(refused = layout.RefusedCatalogueReason(folder, catalogue)).empty()) {
    why = refused;
  } else if (!CTool_FileSystem::IsDirectory(archive)) {
    why = "its archive " + archive + " does not exist (yet)";
  } else if (!(why = platform::WhyDirectoryNotWritable(catalogue)).empty()) {
    why = "its catalogue directory cannot be made or written: " + why;
  }
  m_Lines.push_back(title + "archive " + archive + ", catalogue " + catalogue + ": " +
                    (why.empty() ? "indexed" : "NOT indexed"));
  if (!why.empty()) Problem("folder " + folder.GetReference() + " is not indexed: " + why);
  if (!refused.empty()) return;
  NeedReading(archive);
  const std::string processing = folder.GetProcessingPath();
  if (!processing.empty()) NeedReading(processing);
  NeedWriting(CTool_FileSystem::RemoveFileSpec(catalogue));
}

void CConfigCheck::NeedReading(const std::string& path) {
  const std::string group = platform::GroupNeededToRead(path);
  if (!group.empty()) m_ReadingGroups.insert(group);
}

void CConfigCheck::NeedWriting(const std::string& directory) {
  if (directory.empty()) return;
  const std::string asDirectory = Directory(directory);
  for (const char* unitWritable : kUnitWritable) {
    if (StartsWith(asDirectory, unitWritable)) return;
  }
  m_WritablePaths.insert(asDirectory.size() > 1 ? asDirectory.substr(0, asDirectory.size() - 1) : asDirectory);
}

std::string CConfigCheck::Report() const {
  std::string report;
  for (const std::string& line : m_Lines) report += line + "\n";
  report += "Drop-in for the unit (systemctl edit fkindexingservice):\n[Service]\n";
  for (const std::string& path : m_WritablePaths) {
    report += "ReadWritePaths=" + path + "\n";
    if (!CTool_FileSystem::IsDirectory(path)) report += "# " + path + " must exist before the service starts\n";
  }
  if (!m_ReadingGroups.empty()) {
    report += "SupplementaryGroups=";
    for (const std::string& group : m_ReadingGroups) report += group + (group == *m_ReadingGroups.rbegin() ? "\n" : " ");
  }
  for (const std::string& problem : m_Problems) report += "Problem: " + problem + "\n";
  report += m_Problems.empty() ? "No problem: a start would succeed and index every marked folder.\n"
                               : std::to_string(m_Problems.size()) + " problem(s).\n";
  return report;
}
