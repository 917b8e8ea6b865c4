#include "programs/CatalogueStatus.h"

#include <iomanip>
#include <iostream>
#include <sstream>

#include "platform/CNamedFileLock.h"
#include "platform/FileOps.h"
#include "platform/LockProbe.h"
#include "platform/SystemInfo.h"
#include "programs/CatalogueCommand.h"
#include "tools/ServiceStatusFile.h"

namespace {

const char kInstanceLockName[] = "FKIndexingService.lock";

// The service locks "FKIndexingService.lock" in its program directory, or, where that file
// cannot be made, a named lock in the machine's lock directory; either held means it runs.
bool ServiceRuns(const std::string& programDirectory, std::string& doubt) {
  const std::string named = platform::CNamedFileLock::LockDirectory() + "/" +
                            platform::CNamedFileLock::FileNameFor("FKIndexingService program " + programDirectory);
  for (const std::string& lock : {programDirectory + kInstanceLockName, named}) {
    std::string why;
    const platform::LockState state = platform::ProbeFileLock(lock, why);
    if (state == platform::LockState::Held) return true;
    if (state == platform::LockState::Unknown) doubt = why;
  }
  return false;
}

std::string When(std::int64_t seconds) {
  return seconds == 0 ? "-" : platform::FormatLocalTime(seconds, "%Y-%m-%d %H:%M:%S");
}

std::string KeptBy(const ServiceStatus::Folder& folder) {
  return folder.PolledReason.empty() ? folder.KeptBy : folder.KeptBy + " (" + folder.PolledReason + ")";
}

void PrintFolderDetails(const ServiceStatus::Folder& folder) {
  const std::string& ref = folder.Reference;
  if (!folder.FailedReason.empty()) std::cout << "  " << ref << ": failed: " << folder.FailedReason << "\n";
  if (folder.Phase == "reconciling") {
    std::cout << "  " << ref << ": reconciling " << folder.ReconcilingDirectory << ", "
              << WithThousands(folder.DocumentsDone) << " documents done\n";
  }
  if (folder.DocumentsWithoutText != 0) {
    std::cout << "  " << ref << ": " << WithThousands(folder.DocumentsWithoutText) << " documents kept without text";
    if (!folder.LastWithoutText.empty()) std::cout << ", the last " << folder.LastWithoutText.back();
    std::cout << "\n";
  }
  if (folder.Error.Time != 0) {
    std::cout << "  " << ref << ": last error " << When(folder.Error.Time) << " " << folder.Error.Line << "\n";
  }
}

void PrintTable(const ServiceStatus& status) {
  std::cout << "FKIndexingService " << status.Version << ", pid " << status.Pid << ", started "
            << When(status.StartTime) << ", " << status.Mode << " mode\n"
            << status.Summary() << "\n(written " << When(status.WrittenAt) << ")\n\n";
  std::ostringstream table;
  table << std::left << std::setw(16) << "FOLDER" << std::setw(14) << "PHASE" << std::setw(12) << "DOCUMENTS"
        << std::setw(8) << "QUEUED" << std::setw(8) << "WATCHES" << std::setw(28) << "LAST PASS" << "KEPT\n";
  for (const auto& folder : status.Folders) {
    const std::string lastPass =
        folder.LastPassEnd == 0 ? "-" : When(folder.LastPassEnd).substr(11) + " " + folder.LastPassOutcome;
    table << std::setw(16) << folder.Reference << std::setw(14) << folder.Phase << std::setw(12)
          << WithThousands(folder.DocumentsInCatalogue) << std::setw(8) << folder.ChangesQueued << std::setw(8)
          << folder.InotifyWatches << std::setw(28) << lastPass << KeptBy(folder) << "\n";
  }
  std::cout << table.str();
  for (const auto& folder : status.Folders) PrintFolderDetails(folder);
}

}  // namespace

int RunStatus(const std::string& programDirectoryGiven, bool json) {
  const std::string programDirectory = platform::WithTrailingSlash(AbsolutePath(programDirectoryGiven));
  // A mistyped directory is no service that stopped.
  if (programDirectory.empty() || !platform::StatPath(programDirectory).bDirectory) return Fail("no program directory " + programDirectory);
  std::string doubt;
  const bool runs = ServiceRuns(programDirectory, doubt);
  const ServiceStatusFile::ReadResult file = ServiceStatusFile::Read(ServiceStatusFile::PathIn(programDirectory));
  if (!doubt.empty()) std::cerr << "fkcatalogue: " << doubt << "\n";
  const char* const running = runs ? "FKIndexingService runs on " : "FKIndexingService does not run on ";
  if (json) {
    if (file.Ok) std::cout << file.Text;
    if (!file.Ok) std::cerr << "fkcatalogue: " << file.Reason << "\n";
    if (!runs) std::cerr << "fkcatalogue: " << running << programDirectory << (file.Ok ? ": the status is stale" : "")
                         << "\n";
  } else {
    std::cout << running << programDirectory << (runs || !file.Ok ? "" : "; the status below is stale") << "\n";
    if (file.Ok) {
      PrintTable(file.Status);
    } else {
      std::cout << file.Reason << "\n";
    }
  }
  return runs ? kExitOk : kExitNotRunning;
}
