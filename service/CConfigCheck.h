#pragma once

#include <set>
#include <string>
#include <vector>

#include "folders/CFolder.h"

class CCatalogueLayout;
class CServiceParameters;
class Dom_FolderList;

// Reads the settings, the options file and the folder list as a start would, changing nothing,
// and says what a start would do: the settings in effect and where each came from, every folder
// with its catalogue directory and whether it will be indexed, every problem, and the lines of
// the unit's drop-in that the folders' directories need. One run per object; any one thread.
class CConfigCheck {
 public:
  CConfigCheck(std::string programDirectory, std::string configFile);

  // True when no problem was found: a start would succeed and index every marked folder.
  bool Run();
  // The report for a person, one line each, ending with the drop-in and the verdict.
  std::string Report() const;

  // The problems of the settings file that a start goes on with, for the activity log.
  static std::vector<std::string> SettingsProblems(const CServiceParameters& parameters);

 private:
  bool CheckSettings(CServiceParameters& parameters);
  void ReportSettings(const CServiceParameters& parameters);
  void CheckFolderList(const CServiceParameters& parameters);
  void CheckFolder(const CCatalogueLayout& layout, const FK::CFolder& folder);
  void NeedReading(const std::string& path);
  void NeedWriting(const std::string& directory);
  void Problem(const std::string& text) { m_Problems.push_back(text); }

  const std::string m_strProgramDirectory;  // ends with '/'
  const std::string m_strConfigFile;
  std::vector<std::string> m_Lines;
  std::vector<std::string> m_Problems;
  std::set<std::string> m_WritablePaths;   // for ReadWritePaths=
  std::set<std::string> m_ReadingGroups;   // for SupplementaryGroups=
};
