#include "service/CServiceStartup.h"

#include <cstdio>

#include "errors/CFKException.h"
#include "platform/CNamedFileLock.h"
#include "platform/DocumentFile.h"
#include "platform/FileOps.h"
#include "service/CActivityLog.h"
#include "service/CConfigCheck.h"
#include "tools/CTool_FileSystem.h"

namespace {

const char kInstanceLockName[] = "FKIndexingService.lock";

}  // namespace

const char CServiceStartup::kDisplayName[] = "Fennrick Indexing Service";

CServiceStartup::CServiceStartup() = default;
CServiceStartup::~CServiceStartup() = default;

bool CServiceStartup::Prepare(const std::string& programDirectory, const std::string& configFile) {
  g_bActivityLogErrorsToStandardError = true;
  m_nFailureStatus = kUnmendableStartStatus;
  if (!CTool_FileSystem::IsDirectory(programDirectory)) {
    std::fprintf(stderr, "%s: not started: the program directory %s does not exist\n", kDisplayName,
                 programDirectory.c_str());
    return false;
  }
  // Before anything is written: a second service would empty the first one's activity log.
  if (!LockProgramDirectory(programDirectory)) return false;
  m_pParameters = std::make_unique<CServiceParameters>(
      configFile.empty() ? programDirectory + "FKIndexingServiceConfig.xml" : configFile);
  m_pParameters->ProgramDirectory = programDirectory;
  if (m_pParameters->PathLogs.empty()) m_pParameters->PathLogs = programDirectory + "FKIndexing.log";
  const std::string unusableLog = ChooseUsableLogPath(programDirectory);
  PublishLogPaths();
  // Already said on standard error by ChooseUsableLogPath: not echoed there again.
  if (!unusableLog.empty()) CActivityLog::Instance().WriteLine(":error: " + unusableLog, 0);
  if (m_pParameters->IsLoaded == 0 && !m_pParameters->ReadOptionsFileFallback()) {
    ReportStartFailure(":error: Error While Loading Parameters", CConfigCheck::SettingsProblems(*m_pParameters).front());
    return false;
  }
  WriteActivityLog("Parameters Loaded Successfully");
  for (const std::string& problem : CConfigCheck::SettingsProblems(*m_pParameters)) WriteActivityLog(":error: " + problem);
  const std::string textCapProblem = platform::DocumentTextCapProblem();
  if (!textCapProblem.empty()) WriteActivityLog(":error: " + textCapProblem);
  return ValidateRequiredPaths();
}

bool CServiceStartup::ValidateRequiredPaths() {
  int failed = -1;
  // A folder list or catalogue root on a share not mounted yet may be there at the next start.
  m_nFailureStatus = 1;
  if (m_pParameters->ValidatePaths(failed)) return true;
  if (failed == 0) {
    ReportStartFailure(":error: Fennrick Folders.xml path is not valid",
                       "the folder list " + m_pParameters->PathFoldersList + " does not exist");
  } else {
    ReportStartFailure(":error: Catalogues path is not valid",
                       "the catalogue directory " + m_pParameters->PathCatalogues + " is not a directory");
  }
  return false;
}

// A program directory where the lock file cannot be made (read-only) is locked by name in the
// machine's lock directory instead; with neither, the service starts and says so.
bool CServiceStartup::LockProgramDirectory(const std::string& programDirectory) {
  m_pInstanceLock = platform::CNamedFileLock::AtPath(programDirectory + kInstanceLockName);
  if (!m_pInstanceLock->TryLock() && !m_pInstanceLock->IsHeldElsewhere()) {
    const std::string unusable = m_pInstanceLock->LastError();
    m_pInstanceLock = std::make_unique<platform::CNamedFileLock>("FKIndexingService program " + programDirectory);
    if (!m_pInstanceLock->TryLock() && !m_pInstanceLock->IsHeldElsewhere()) {
      std::fprintf(stderr, "%s: runs without the one-service lock: %s; %s\n", kDisplayName, unusable.c_str(),
                   m_pInstanceLock->LastError().c_str());
      return true;
    }
  }
  if (m_pInstanceLock->IsLocked()) return true;
  std::fprintf(stderr, "%s: not started: the lock %s is held by another process; only one service may run on "
               "the program directory %s\n", kDisplayName, m_pInstanceLock->GetName().c_str(), programDirectory.c_str());
  return false;
}

// The activity log falls back to the program directory when PathLogs cannot be written; the
// reason is said on standard error (the journal keeps it) and returned for the log itself.
std::string CServiceStartup::ChooseUsableLogPath(const std::string& programDirectory) {
  std::string why;
  const std::string configured = m_pParameters->PathLogs;
  if (platform::ProbeWritableFile(configured, why)) return "";
  const std::string fallback = programDirectory + "FKIndexing.log";
  std::string message = "Activity log " + configured + " cannot be written (" + why + ")";
  std::string fallbackWhy;
  if (fallback != configured) {
    message += ": writing " + fallback;
    if (!platform::ProbeWritableFile(fallback, fallbackWhy)) message += ", which cannot be written either (" + fallbackWhy + ")";
  }
  std::fprintf(stderr, "%s: %s\n", kDisplayName, message.c_str());
  m_pParameters->PathLogs = fallback;
  return message;
}

void CServiceStartup::PublishLogPaths() {
  g_bDebugAction = m_pParameters->IsDebugAction != 0;
  g_strActivityLogPath = m_pParameters->PathLogs;
  std::string errorLog = CTool_FileSystem::RemoveFileSpec(m_pParameters->PathLogs);
  CTool_FileSystem::AddBackslash(errorLog);
  FKEXCEPTION::CFKException::SetErrorLogFile(errorLog + "FKIndexingServicelogError.txt");
}

// A failed start is also said on standard error (the journal under systemd), with the path it
// concerns, since the unit's restarts hide the log's last line. The log line itself is not
// echoed there: this one says it with its reason.
void CServiceStartup::ReportStartFailure(const std::string& line, const std::string& detail) {
  CActivityLog::Instance().WriteLine(line, 0);
  std::fprintf(stderr, "%s: not started: %s: %s (settings file %s)\n", kDisplayName, line.substr(8).c_str(),
               detail.c_str(), m_pParameters->ConfigFilePath.c_str());
}
