#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What the running service publishes about itself in "FKIndexingService.status.json" in its
// program directory, for operators and `fkcatalogue status`. A plain value: the service fills
// it on its worker thread and hands a copy to the writer.
struct ServiceStatus {
  static constexpr int kFormatVersion = 1;
  static constexpr const char* kFileName = "FKIndexingService.status.json";

  // The last error line with the time it was seen (seconds since 1970, 0: none).
  struct LastError {
    std::string Line;
    std::int64_t Time = 0;
  };

  struct Folder {
    std::string Reference;
    std::string Name;
    std::string CatalogueDirectory;
    std::string KeptBy = "watched";  // "watched" or "polled"
    // Why a folder is polled: "monitoring off", "network file system", "watch limit",
    // "directory missing"; empty when watched.
    std::string PolledReason;
    std::string Phase = "waiting";  // "waiting", "reconciling", "watching", "failed"
    std::string FailedReason;
    std::string ReconcilingDirectory;  // while reconciling: the directory at hand
    std::int64_t DocumentsDone = 0;    // while reconciling: documents compared so far
    std::int64_t DocumentsInCatalogue = 0;
    std::int64_t ChangesQueued = 0;
    std::int64_t LastPassStart = 0;  // seconds since 1970, 0: no pass yet
    std::int64_t LastPassEnd = 0;
    std::string LastPassOutcome;  // e.g. "done", "failed: ...", "stopped"
    std::int64_t DocumentsWithoutText = 0;
    std::vector<std::string> LastWithoutText;  // the last few such paths, newest last
    LastError Error;
    std::int64_t InotifyWatches = 0;
    // The last verification of a watched folder (0: none yet) and what it mended: changes the
    // watch missed. MendedInAll sums every verification since the start.
    std::int64_t VerificationTime = 0;
    std::int64_t VerificationAdded = 0;
    std::int64_t VerificationReplaced = 0;
    std::int64_t VerificationRemoved = 0;
    std::int64_t VerificationMendedInAll = 0;
  };

  int FormatVersion = kFormatVersion;
  std::int64_t Pid = 0;
  std::string Version;
  std::int64_t StartTime = 0;  // seconds since 1970
  std::string Mode = "monitoring";  // "monitoring" or "polling"
  // "starting", "reconciling", "watching", "polling", "waiting", "stopping", "stopped"
  std::string Phase = "starting";
  std::int64_t WrittenAt = 0;  // when the file was last written
  std::vector<Folder> Folders;

  // How many of the last paths without text a folder keeps.
  static constexpr size_t kLastWithoutTextKept = 5;
  // Notes a document kept without text, keeping only the last few paths.
  static void NoteWithoutText(Folder& folder, const std::string& path);

  // The one-line summary for systemd's STATUS=, e.g.
  // "watching 12 folders, 3 changes queued; last error 10:02 <line>" (times in local time).
  std::string Summary() const;
};
