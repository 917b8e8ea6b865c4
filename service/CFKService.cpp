#include "service/CFKService.h"

#include <chrono>
#include <exception>

#include "errors/CFKException.h"
#include "folders/CFolder.h"
#include "folders/Dom_FolderList.h"
#include "monitoring/CIndexingEngine.h"
#include "monitoring/CWorkerProgress.h"
#include "monitoring/EngineGlobals.h"
#include "platform/MachineOptions.h"
#include "platform/ProcessPriority.h"
#include "platform/ProgramPaths.h"
#include "service/CActivityLog.h"
#include "tools/CTool_FileSystem.h"

std::atomic<bool> g_bStopRequested{false};
std::atomic<bool> g_bWorkerFinished{false};
std::atomic<bool> g_bWorkerEndedByItself{false};

namespace {

constexpr int kRunModuleWaitMs = 60000;
constexpr int kStopWaitMs = 300000;
constexpr int kResignalMs = 100;
const char kOptionsKey[] = "Software\\Larkvale Application\\FKIndexingService\\Options";
constexpr size_t kMaxRegistryValue = 255;

}  // namespace

CFKService::CFKService()
    : CNTServEasyModule(1001, "Fennrick Indexing Service", "", "QMT", "NTServEasy") {}

CFKService::~CFKService() {
  // Only reached with a live worker when the host never stopped the module.
  std::unique_ptr<std::thread> worker;
  {
    std::lock_guard<std::mutex> lock(m_ModuleMutex);
    worker = std::move(m_pWorkerThread);
  }
  if (!worker) return;
  g_bStopRequested = true;
  WaitForWorker(kStopWaitMs);
  worker->join();
}

bool CFKService::InitInstance() {
  m_ModuleVersion = "1.0";
  m_ModuleDescription = "Keeps the full-text catalogues of the Fennrick document folders up to date";
  m_CopyrightNotice = "Copyright Larkvale Application";
  m_ModuleAuthor = "Larkvale Application";
  return CNTServEasyModule::InitInstance();
}

std::string CFKService::ProgramDirectory() const {
  const std::string& directory = GetProgramDirectory();
  return directory.empty() ? platform::ExecutableDirectory() : directory;
}

bool CFKService::StartModule() {
  const std::string programDirectory = ProgramDirectory();
  m_pParameters = std::make_unique<CServiceParameters>(programDirectory + "FKIndexingServiceConfig.xml");
  m_pParameters->ProgramDirectory = programDirectory;
  m_bPriorityApplied = 0;
  if (m_pParameters->PathLogs.empty()) m_pParameters->PathLogs = programDirectory + "FKIndexing.log";
  PublishLogPaths();
  if (m_pParameters->IsLoaded == 0 && !ReadRegistryFallback()) {
    WriteActivityLog(":error: Error While Loading Parameters");
    return false;
  }
  WriteActivityLog("Parameters Loaded Successfully");
  int failed = -1;
  if (!m_pParameters->ValidatePaths(failed)) {
    WriteActivityLog(failed == 0 ? ":error: Fennrick Folders.xml path is not valid"
                                 : ":error: Catalogues path is not valid");
    return false;
  }
  return StartEngine();
}

void CFKService::PublishLogPaths() {
  g_bDebugAction = m_pParameters->IsDebugAction != 0;
  g_strActivityLogPath = m_pParameters->PathLogs;
  std::string errorLog = CTool_FileSystem::RemoveFileSpec(m_pParameters->PathLogs);
  CTool_FileSystem::AddBackslash(errorLog);
  FKEXCEPTION::CFKException::SetErrorLogFile(errorLog + "FKIndexingServicelogError.txt");
}

// True when the options file gave a folder list path.
bool CFKService::ReadRegistryFallback() {
  std::string folderList;
  if (platform::ReadMachineOption(kOptionsKey, "FolderList", kMaxRegistryValue, folderList)) {
    m_pParameters->PathFoldersList = folderList;
    m_pParameters->IsLoaded = 1;
  }
  if (m_pParameters->PathFoldersList.empty()) return false;
  // The settings file was not read, so its directory was never derived.
  m_pParameters->FoldersListDirectory = CTool_FileSystem::RemoveFileSpec(folderList);
  CTool_FileSystem::AddBackslash(m_pParameters->FoldersListDirectory);
  return true;
}

bool CFKService::StartEngine() {
  m_pEngine = std::make_unique<CIndexingEngine>(m_pParameters.get());
  m_pEngine->AddListener(this);
  return true;
}

bool CFKService::RunModule() {
  std::shared_ptr<platform::CEvent> stopEvent;
  {
    std::lock_guard<std::mutex> lock(m_ModuleMutex);
    if (m_bStopped) return false;
    if (!m_pWorkerThread) {
      g_bStopRequested = g_bWorkerFinished = g_bWorkerEndedByItself = false;
      m_pStopEvent = std::make_shared<platform::CEvent>();
      m_pWorkerThread = std::make_unique<std::thread>([this] { IndexingWorkerProc(); });
    }
    if (g_bWorkerEndedByItself) {
      m_pWorkerThread->join();
      m_pWorkerThread.reset();
      m_pStopEvent.reset();
      return false;
    }
    stopEvent = m_pStopEvent;
  }
  // Only a worker that moves on (or waits by itself) keeps the service alive: one stuck in a
  // read lets systemd's watchdog end and restart the service.
  if (g_WorkerProgress.ShowsLife()) ResetWatchdog();
  stopEvent->Wait(WatchdogIntervalMs(kRunModuleWaitMs));
  return true;
}

void CFKService::IndexingWorkerProc() {
  for (;;) {
    if (g_bStopRequested) {
      if (m_pEngine) m_pEngine->StopMonitoring();
      FinishWorker(false);
      return;
    }
    std::shared_ptr<platform::CEvent> stopEvent;
    {
      std::lock_guard<std::mutex> lock(m_ModuleMutex);
      stopEvent = m_pStopEvent;
    }
    int result = 1;
    try {
      result = RunIndexingCycle(stopEvent.get());
    } catch (const std::exception& error) {
      // A failed cycle must not end the process; the next cycle tries again.
      WriteActivityLog(std::string(":error: ") + error.what());
      if (stopEvent && m_pEngine) m_pEngine->WaitUnlessStopped(stopEvent.get(), g_nCycleWaitMilliseconds);
    }
    if (result == 0) {
      FinishWorker(true);
      return;
    }
  }
}

void CFKService::FinishWorker(bool endedByItself) {
  // The event is taken first: once the flags are set, RunModule may hold the module lock
  // while it joins this thread.
  std::shared_ptr<platform::CEvent> stopEvent;
  {
    std::lock_guard<std::mutex> lock(m_ModuleMutex);
    stopEvent = m_pStopEvent;
  }
  g_bWorkerEndedByItself = endedByItself;
  {
    std::lock_guard<std::mutex> lock(m_FinishedMutex);
    g_bWorkerFinished = true;
  }
  m_WorkerFinishedSignal.notify_all();
  // Wake RunModule at once so the program ends now, not after its minute's wait.
  if (endedByItself && stopEvent) stopEvent->Set();
}

int CFKService::RunIndexingCycle(platform::CEvent* stopEvent) {
  int result = 0;
  if (m_pEngine->CanContinue() == 1) {
    result = 1;
    if (m_bPriorityApplied == 0) ApplyPriority();
    if (!CTool_FileSystem::PathExists(m_pParameters->PathFoldersList)) {
      WriteActivityLog(":error: Fennrick Folders.xml not found");
    } else {
      ReloadFolderList(stopEvent);
    }
    m_pEngine->IndexAllFolders(stopEvent);
  }
  if (m_pEngine->CanContinue() == 1 && !g_bStopRequested) {
    ResetWatchdog();
    m_pEngine->WaitUnlessStopped(stopEvent, g_nCycleWaitMilliseconds);
  }
  return result;
}

void CFKService::ApplyPriority() {
  if (m_pParameters->Priority == 0) {
    platform::SetProcessPriority(0);
    m_pEngine->SetWorkSlice(800);
  } else if (m_pParameters->Priority == 2) {
    platform::SetProcessPriority(2);  // refused without the privilege: the service runs on
    m_pEngine->SetWorkSlice(2000);
  }
  platform::BindProcessToFirstProcessor();
  m_bPriorityApplied = 1;
}

void CFKService::ReloadFolderList(platform::CEvent* stopEvent) {
  const std::string& path = m_pParameters->PathFoldersList;
  const std::int64_t writeTime = CTool_FileSystem::GetLastWriteTime(path);
  if (writeTime == m_FolderListTime) return;
  m_FolderListTime = writeTime;
  WriteActivityLog("Loading Fennrick Folders.xml");
  auto folderList = std::make_unique<Dom_FolderList>(path, 1, 0);
  if (!folderList->IsLoaded()) {
    WriteActivityLog(":error: Error While Loading Fennrick Folders.xml");
    return;
  }
  WriteActivityLog("Fennrick Folders.xml Loaded Successfully");
  m_pEngine->ApplyFolderList(std::move(folderList), stopEvent);
}

bool CFKService::StopModule() {
  if (m_pEngine) m_pEngine->StopMonitoring();
  g_bStopRequested = true;
  bool hasWorker = false;
  {
    std::lock_guard<std::mutex> lock(m_ModuleMutex);
    m_bStopped = true;  // RunModule must not start a new worker from now on
    hasWorker = m_pWorkerThread != nullptr;
  }
  if (hasWorker && !WaitForWorker(kStopWaitMs)) return false;
  {
    std::lock_guard<std::mutex> lock(m_ModuleMutex);
    if (m_pWorkerThread) m_pWorkerThread->join();
    m_pWorkerThread.reset();
    // The worker may have taken every signal: wake RunModule's wait once more, or the
    // host would sit out the rest of its minute before it sees the stop.
    if (m_pStopEvent) m_pStopEvent->Set();
    m_pStopEvent.reset();
  }
  WriteActivityLog("Stopping...");
  WriteActivityLog("Stopped");
  CloseActivityLog();
  return true;
}

// The stop event is auto-reset and has several waiters (RunModule, the worker, the engine's
// pauses): one signal may wake the wrong one, so it is given again until the worker is done.
bool CFKService::WaitForWorker(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock<std::mutex> lock(m_FinishedMutex);
  while (!g_bWorkerFinished) {
    {
      std::lock_guard<std::mutex> moduleLock(m_ModuleMutex);
      if (m_pStopEvent) m_pStopEvent->Set();
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    m_WorkerFinishedSignal.wait_for(lock, std::chrono::milliseconds(kResignalMs));
  }
  return true;
}

void CFKService::OnDocumentChange(int kind, std::string path, FK::CFolder folder) {
  if (!m_pEngine) return;
  if (kind == 5) m_pEngine->AddFile(std::move(path), std::move(folder));
  if (kind == 6) m_pEngine->RemoveFile(std::move(path), std::move(folder));
}

void CFKService::OnStatusMessage(int kind, const std::string& text) {
  if (kind == 3) {
    ResetWatchdog();
    return;
  }
  std::lock_guard<std::mutex> lock(m_MessageMutex);
  if ((kind == 1 || kind == 2) && kind == m_nLastMessageKind) {
    WriteActivityLogLine(text, text == m_strLastMessage ? 1 : 0);
  } else {
    WriteActivityLog(text);
  }
  m_nLastMessageKind = kind;
  m_strLastMessage = text;
}
