#pragma once

#include <set>
#include <string>
#include <vector>

// The service settings, read once at start from "FKIndexingServiceConfig.xml".
// Owned by CFKService; the engine and the watcher read it through a pointer. Not copied.
class CServiceParameters {
 public:
  // The machine option key whose "FolderList" value stands in when the file cannot be read.
  static constexpr const char* kOptionsKey = "Software\\Larkvale Application\\FKIndexingService\\Options";
  static constexpr const char* kConfigFileName = "FKIndexingServiceConfig.xml";

  // Sets the defaults, reads the file (IsLoaded = 1 when it was read to its document
  // element) and computes FoldersListDirectory.
  explicit CServiceParameters(const std::string& configFilePath);
  CServiceParameters(const CServiceParameters&) = delete;
  CServiceParameters& operator=(const CServiceParameters&) = delete;

  // True when each folder keeps its catalogue under its own archive path.
  bool IsFolderArchivePath() const;
  // Checks the folder list file, then the catalogue directory; failed = -1 (valid), 0 or 1.
  bool ValidatePaths(int& failed) const;
  // "LOW" -> 0, "MEDIUM" -> 1, "HIGH" -> 2 (case-sensitive), anything else -> 1.
  static int ParsePriority(const std::string& text);
  // A whole number of hours from 0 (never) to a year; false when text is none.
  static bool ParseVerificationInterval(const std::string& text, int& hours);
  // Only when the file was not read: takes the folder list path from the machine's options
  // file. True when that gave one (IsLoaded is then 1).
  bool ReadOptionsFileFallback();

  std::string PathFoldersList;
  std::string PathCatalogues;  // ends with '/' unless IsFolderArchivePath()
  std::string PathLogs;        // the activity log file
  std::string ProgramDirectory;  // ends with '/'; set by the service right after construction
  int Priority = 1;
  int IsLoaded = 0;
  int DisableMonitoring = 0;
  int IsDebugAction = 0;
  // Monitoring: every watched folder is verified (reconciled in full) this often; 0: never.
  int VerificationIntervalHours = 24;
  std::string ConfigFilePath;
  std::string FoldersListDirectory;  // directory of PathFoldersList with '/', or ""

  // What the reading saw, for the operator; the values above are taken all the same.
  std::string ReadError;                 // why the file was not read ("" when it was)
  std::vector<std::string> Doubts;       // an unknown element, a value outside its choices
  std::vector<std::string> OptionsFileDoubts;  // the same, of the options file's values
  std::set<std::string> GivenSettings;   // the settings the file gave
  bool FolderListFromOptionsFile = false;
  bool VerificationIntervalFromOptionsFile = false;

 private:
  int ReadFile();
  // Takes a valid interval; notes a doubt (where: its source) and keeps the default otherwise.
  void TakeVerificationInterval(const std::string& text, std::vector<std::string>& doubts);
  void NoteUnknownElements(const std::vector<std::string>& known, const std::vector<std::string>& found);
};
