#pragma once

#include <cstdint>
#include <string>

#include "folders/FolderCatalogue.h"

// What the indexing engine needs of the service's settings, and its pacing. Filled by its
// owner (the service, a test, the benchmark) before the engine is made; read-only while the
// engine runs, and it must outlive the engine.
struct CEngineParameters {
  static constexpr const char* kFolderArchivePath = FK::kFolderArchivePath;

  std::string ProgramDirectory;  // ends with '/': the "_stop_" and "_reading_" markers
  std::string PathCatalogues;    // ends with '/' unless IsFolderArchivePath()
  int DisableMonitoring = 0;
  int IsDebugAction = 0;
  int PauseMilliseconds = 5000;         // the throttling pause after each work slice
  int FolderPauseMilliseconds = 20000;  // the pause after each processed folder
  // Monitoring: a changed document is indexed once it has been left alone this long.
  int XmlSettleMilliseconds = 2000;     // XML metadata
  int OtherSettleMilliseconds = 10000;  // any other document (PDF)
  // Monitoring: a document that must wait (locked, not readable yet) is tried again after
  // this long, the interval doubling up to the longest, for as long as it takes.
  int RetryFirstMilliseconds = 5000;
  int RetryLongestMilliseconds = 120000;
  // Monitoring: every watched folder is reconciled in full this often, to prove the watch
  // (seconds; 0: never).
  std::int64_t VerificationIntervalSeconds = 24 * 3600;

  // True when each folder keeps its catalogue under its own archive path.
  bool IsFolderArchivePath() const { return IsFolderArchivePath(PathCatalogues); }
  static bool IsFolderArchivePath(const std::string& pathCatalogues) { return FK::IsFolderArchivePath(pathCatalogues); }
};
