#include "service/CFKService.h"

#include <cstdlib>
#include <ctime>
#include <exception>

#include "engine/CIndexingEngine.h"
#include "engine/CWorkerProgress.h"
#include "folders/CFolder.h"
#include "folders/Dom_FolderList.h"
#include "platform/CBoundedReader.h"
#include "platform/ProcessPriority.h"
#include "platform/ProgramPaths.h"
#include "platform/SystemInfo.h"
#include "service/CActivityLog.h"
#include "service/CConfigCheck.h"
#include "service/CFolderListWatch.h"
#include "service/CServiceStartup.h"
#include "service/CStatusPublisher.h"
#include "tools/CTool_FileSystem.h"
#include "tools/CTool_Global.h"
#include "tools/ServiceStatusFile.h"

namespace {

constexpr int kRunModuleWaitMs = 60000;
constexpr int kStopWaitMs = 300000;

bool ParseMilliseconds(const std::string& text, int& value) {
  char* end = nullptr;
  const long parsed = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || *end != '\0' || parsed < 0 || parsed > 24L * 3600 * 1000) return false;
  value = static_cast<int>(parsed);
  return true;
}

}  // namespace

CFKService::CFKService()
    : CNTServEasyModule(CServiceStartup::kDisplayName) {}

CFKService::~CFKService() {
  // Only reached with a live worker when the host never stopped the module.
  std::unique_ptr<std::thread> worker;
  std::shared_ptr<WorkerRun> run;
  {
    platform::CLockGuard lock(m_ModuleMutex);
    worker = std::move(m_pWorkerThread);
    run = m_pRun;
  }
  if (!worker) return;
  platform::CBoundedReader::Abandon(true);
  if (m_pEngine) m_pEngine->StopMonitoring();
  run->Stop.Stop();
  run->Finished.WaitFor(kStopWaitMs);
  worker->join();
  platform::CBoundedReader::Abandon(false);
}

bool CFKService::ParseModuleOption(const std::string& name, const std::string& value) {
  if (name == "--check-config") {
    m_bCheckConfig = true;
    return true;
  }
  if (name == "--config") {
    m_strConfigFile = value;
    return !value.empty();
  }
  if (name == "--verification-interval-s") {
    // Tests: seconds instead of the setting's hours.
    return ParseMilliseconds(value, m_nVerificationSeconds);
  }
  int* target = name == "--cycle-wait-ms"     ? &m_nCycleWaitMilliseconds
                : name == "--folder-pause-ms" ? &m_EngineParameters.FolderPauseMilliseconds
                : name == "--pause-ms"        ? &m_EngineParameters.PauseMilliseconds
                : name == "--xml-settle-ms"   ? &m_EngineParameters.XmlSettleMilliseconds
                : name == "--other-settle-ms" ? &m_EngineParameters.OtherSettleMilliseconds
                : name == "--retry-first-ms"  ? &m_EngineParameters.RetryFirstMilliseconds
                : name == "--retry-longest-ms" ? &m_EngineParameters.RetryLongestMilliseconds
                                              : nullptr;
  return target != nullptr && ParseMilliseconds(value, *target);
}

std::string CFKService::GetModuleOptionsUsage() const {
  return "  --program-dir DIR      directory of FKIndexingServiceConfig.xml and of the\n"
         "                         \"_stop_\" marker (default: the executable's directory)\n"
         "  --config FILE          the settings file (default: FKIndexingServiceConfig.xml in\n"
         "                         the program directory)\n"
         "  --check-config         read the settings and the folder list as a start would, say\n"
         "                         what it would do and every problem, and exit: 0 when none\n"
         "  --cycle-wait-ms N      wait after each indexing cycle (default 60000)\n"
         "  --folder-pause-ms N    pause after each processed folder (default 20000)\n"
         "  --pause-ms N           throttling pause after each work slice (default 5000)\n"
         "  --xml-settle-ms N      monitoring: an XML document is indexed once left alone\n"
         "                         this long (default 2000)\n"
         "  --other-settle-ms N    the same for other documents, such as PDF (default 10000)\n"
         "  --retry-first-ms N     monitoring: a document that must wait (locked, not readable\n"
         "                         yet) is tried again after N ms, then twice as long... (default 5000)\n"
         "  --retry-longest-ms N   ... up to N ms between tries, for as long as it takes (default 120000)\n"
         "  --verification-interval-s N  tests: verify the watched folders every N seconds instead\n"
         "                         of the VerificationIntervalHours setting (0: never)\n";
}

bool CFKService::InitInstance() {
  m_ModuleVersion = CTool_Global::GetVersion();
  m_ModuleDescription = "Keeps the full-text catalogues of the Fennrick document folders up to date";
  m_CopyrightNotice = "Copyright Larkvale Application";
  m_ModuleAuthor = "Larkvale Application";
  return CNTServEasyModule::InitInstance();
}

std::string CFKService::ProgramDirectory() const {
  const std::string& directory = GetProgramDirectory();
  return directory.empty() ? platform::ExecutableDirectory() : directory;
}

int CFKService::RunInsteadOfService() {
  if (!m_bCheckConfig) return -1;
  const std::string programDirectory = ProgramDirectory();
  CConfigCheck check(programDirectory, m_strConfigFile.empty() ? programDirectory + "FKIndexingServiceConfig.xml"
                                                                : m_strConfigFile);
  const bool good = check.Run();
  std::fputs(check.Report().c_str(), stdout);
  return good ? 0 : 1;
}

bool CFKService::StartModule() {
  m_bPriorityApplied = 0;
  if (!m_Startup.Prepare(ProgramDirectory(), m_strConfigFile)) {
    m_nStartFailureStatus = m_Startup.FailureStatus();
    return false;
  }
  m_pParameters = &m_Startup.Parameters();
  return StartEngine();
}

bool CFKService::StartEngine() {
  m_EngineParameters.ProgramDirectory = m_pParameters->ProgramDirectory;
  m_EngineParameters.PathCatalogues = m_pParameters->PathCatalogues;
  m_EngineParameters.DisableMonitoring = m_pParameters->DisableMonitoring;
  m_EngineParameters.IsDebugAction = m_pParameters->IsDebugAction;
  m_EngineParameters.VerificationIntervalSeconds =
      m_nVerificationSeconds >= 0 ? m_nVerificationSeconds : std::int64_t{m_pParameters->VerificationIntervalHours} * 3600;
  m_pEngine = std::make_unique<CIndexingEngine>(&m_EngineParameters);
  m_pEngine->AddListener(this);
  if (m_pParameters->DisableMonitoring == 0) WatchFolderList();
  StartStatus();
  return true;
}

// The status file and systemd's STATUS= line, kept by a thread of their own.
void CFKService::StartStatus() {
  ServiceStatus service;
  service.Pid = platform::ProcessId();
  service.Version = m_ModuleVersion;
  service.StartTime = static_cast<std::int64_t>(std::time(nullptr));
  service.Mode = m_pParameters->DisableMonitoring == 0 ? "monitoring" : "polling";
  m_Board.SetService(service);
  m_pEngine->SetStatusBoard(&m_Board);
  m_pPublisher = std::make_unique<CStatusPublisher>(
      m_Board, ServiceStatusFile::PathIn(m_pParameters->ProgramDirectory),
      [this](const std::string& line) { OnStatusMessage(kMessageLine, line); });
  m_pPublisher->Start();
}

// In monitoring mode a changed folder list is applied at once, not at the next pass.
void CFKService::WatchFolderList() {
  m_pFolderListWatch =
      std::make_unique<CFolderListWatch>(m_pParameters->PathFoldersList, [this] { RequestFolderListReload(); });
  if (!m_pFolderListWatch->Start()) {
    WriteActivityLog("The directory of " + m_pParameters->PathFoldersList +
                     " cannot be watched: its changes are read between passes");
    m_pFolderListWatch.reset();
  }
}

void CFKService::RequestFolderListReload() {
  m_bReloadRequested = true;
  if (m_pEngine) m_pEngine->EndWaitBetweenPasses();
}

void CFKService::OnHangUp() {
  m_bHangUp = true;
  RequestFolderListReload();
}

bool CFKService::RunModule() {
  std::shared_ptr<WorkerRun> run;
  {
    platform::CLockGuard lock(m_ModuleMutex);
    if (m_bStopped) return false;
    if (!m_pWorkerThread) {
      platform::CBoundedReader::Abandon(false);
      m_pRun = std::make_shared<WorkerRun>();
      std::shared_ptr<WorkerRun> workerRun = m_pRun;
      m_pWorkerThread = std::make_unique<std::thread>([this, workerRun] { IndexingWorkerProc(*workerRun); });
    }
    if (m_pRun->EndedByItself) {
      m_pWorkerThread->join();
      m_pWorkerThread.reset();
      m_pRun.reset();
      return false;
    }
    run = m_pRun;
  }
  // Only a worker that moves on (or waits by itself), and reads that move on, keep the service
  // alive: a thread stuck in a read lets systemd's watchdog end and restart the service.
  if (g_WorkerProgress.ShowsLife(WatchdogIntervalMs(kRunModuleWaitMs))) ResetWatchdog();
  run->Stop.WaitFor(WatchdogIntervalMs(kRunModuleWaitMs));
  return true;
}

void CFKService::IndexingWorkerProc(WorkerRun& run) {
  for (;;) {
    if (run.Stop.IsStopped()) {
      if (m_pEngine) m_pEngine->StopMonitoring();
      FinishWorker(run, false);
      return;
    }
    int result = 1;
    try {
      result = RunIndexingCycle(run.Stop);
    } catch (const std::exception& error) {
      // A failed cycle must not end the process; the next cycle tries again.
      WriteActivityLog(std::string(":error: ") + error.what());
      if (m_pEngine) m_pEngine->Pacing().WaitUnlessStopped(&run.Stop, m_nCycleWaitMilliseconds);
    }
    if (result == 0) {
      FinishWorker(run, true);
      return;
    }
  }
}

void CFKService::FinishWorker(WorkerRun& run, bool endedByItself) {
  run.EndedByItself = endedByItself;
  run.Finished.Stop();
  // Wake RunModule at once so the program ends now, not after its minute's wait.
  if (endedByItself) run.Stop.Stop();
}

int CFKService::RunIndexingCycle(platform::CStopLatch& stop) {
  int result = 0;
  if (m_pEngine->CanContinue() == 1) {
    result = 1;
    if (m_bPriorityApplied == 0) ApplyPriority();
    const bool always = m_bReloadRequested.exchange(false);
    if (m_bHangUp.exchange(false)) WriteActivityLog("SIGHUP received: reading Fennrick Folders.xml again");
    if (!CTool_FileSystem::PathExists(m_pParameters->PathFoldersList)) {
      WriteActivityLog(":error: Fennrick Folders.xml not found");
    } else {
      ReloadFolderList(stop, always);
    }
    m_pEngine->IndexAllFolders(&stop);
  }
  if (m_pEngine->CanContinue() == 1 && !stop.IsStopped()) {
    m_Board.SetPhase(m_pEngine->IsWatching() ? "watching" : "waiting");
    FeedWatchdog();
    m_pEngine->Pacing().WaitBetweenPasses(&stop, m_nCycleWaitMilliseconds);
  }
  return result;
}

void CFKService::ApplyPriority() {
  if (m_pParameters->Priority == 0) {
    platform::SetProcessPriority(0);
    m_pEngine->Pacing().SetWorkSlice(800);
  } else if (m_pParameters->Priority == 2) {
    platform::SetProcessPriority(2);  // refused without the privilege: the service runs on
    m_pEngine->Pacing().SetWorkSlice(2000);
  }
  platform::BindProcessToFirstProcessor();
  m_bPriorityApplied = 1;
}

// always: a change seen by the watch or asked for by SIGHUP, which one write time may not show
// (two writes within its resolution).
void CFKService::ReloadFolderList(platform::CStopLatch& stop, bool always) {
  const std::string& path = m_pParameters->PathFoldersList;
  const std::int64_t writeTime = CTool_FileSystem::GetLastWriteTime(path);
  if (writeTime == m_FolderListTime && !always) return;
  m_FolderListTime = writeTime;
  WriteActivityLog("Loading Fennrick Folders.xml");
  auto folderList = std::make_unique<Dom_FolderList>(path, 1);
  if (!folderList->IsLoaded()) {
    WriteActivityLog(":error: Error While Loading Fennrick Folders.xml");
    return;
  }
  WriteActivityLog("Fennrick Folders.xml Loaded Successfully");
  m_pEngine->ApplyFolderList(std::move(folderList), &stop);
}

bool CFKService::StopModule() {
  std::shared_ptr<WorkerRun> run;
  {
    platform::CLockGuard lock(m_ModuleMutex);
    m_bStopped = true;  // RunModule must not start a new worker from now on
    if (m_pWorkerThread) run = m_pRun;
  }
  m_Board.SetPhase("stopping");
  // Ends the worker's waits and RunModule's at once; told first, so that the worker leaves
  // its walk rather than meet the reads given up below.
  if (run) run->Stop.Stop();
  if (m_pFolderListWatch) m_pFolderListWatch->Stop();
  // A read blocked in the kernel would hold its thread, and so the stop, for good.
  platform::CBoundedReader::Abandon(true);
  if (m_pEngine) m_pEngine->StopMonitoring();
  if (run && !run->Finished.WaitFor(kStopWaitMs)) return false;
  {
    platform::CLockGuard lock(m_ModuleMutex);
    if (m_pWorkerThread) m_pWorkerThread->join();
    m_pWorkerThread.reset();
  }
  platform::CBoundedReader::Abandon(false);  // nobody reads any more; the process may run again
  if (m_pPublisher) m_pPublisher->Stop();  // its last write says "stopped"
  WriteActivityLog("Stopping...");
  WriteActivityLog("Stopped");
  CloseActivityLog();
  return true;
}

// The worker shows life by calling; the reads of every thread must move on too.
void CFKService::FeedWatchdog() {
  if (CWorkerProgress::ReadsMoveOn(WatchdogIntervalMs(kRunModuleWaitMs))) ResetWatchdog();
}

void CFKService::OnStatusMessage(int kind, const std::string& text) {
  if (kind == kMessageKeepAlive) {
    FeedWatchdog();
    return;
  }
  if (kind == kMessageLine && text.find(":error:") != std::string::npos) {
    m_Board.NoteError(text, static_cast<std::int64_t>(std::time(nullptr)));
  }
  platform::CLockGuard lock(m_MessageMutex);
  if ((kind == kMessageIdle || kind == kMessageProgress) && kind == m_nLastMessageKind) {
    WriteActivityLogLine(text, text == m_strLastMessage ? 1 : 0);
  } else {
    WriteActivityLog(text);
  }
  m_nLastMessageKind = kind;
  m_strLastMessage = text;
}
