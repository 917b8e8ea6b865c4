#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "monitoring/MonitorListener.h"
#include "platform/CEvent.h"
#include "platform/CNTServEasyModule.h"
#include "service/CServiceParameters.h"

class CIndexingEngine;
namespace platform {
class CNamedFileLock;
}

// Hand-shake between the host's threads and the worker thread.
extern std::atomic<bool> g_bStopRequested;
extern std::atomic<bool> g_bWorkerFinished;
extern std::atomic<bool> g_bWorkerEndedByItself;

// The indexing service: reads its settings, runs the indexing engine on one worker thread
// of its own and writes the engine's status messages to the activity log. One per process;
// the host calls the module operations, the worker and the flush threads OnStatusMessage.
class CFKService : public CNTServEasyModule, public MonitorListener {
 public:
  CFKService();
  ~CFKService() override;

  bool InitInstance() override;
  bool StartModule() override;
  bool RunModule() override;
  bool StopModule() override;

  void OnDocumentChange(int kind, std::string path, FK::CFolder folder) override;
  void OnStatusMessage(int kind, const std::string& text) override;

  // One cycle of the worker thread; 0 when the stop marker was present.
  int RunIndexingCycle(platform::CEvent* stopEvent);

 private:
  std::string ProgramDirectory() const;
  bool LockProgramDirectory(const std::string& programDirectory);
  std::string ChooseUsableLogPath(const std::string& programDirectory);
  void PublishLogPaths();
  bool ReadRegistryFallback();
  bool StartEngine();
  void IndexingWorkerProc();
  void RunCycleSafely();
  void FinishWorker(bool endedByItself);
  bool WaitForWorker(int timeoutMs);
  void ApplyPriority();
  void ReloadFolderList(platform::CEvent* stopEvent);

  // Set by StartModule before any other thread runs; read-only afterwards.
  std::unique_ptr<platform::CNamedFileLock> m_pInstanceLock;  // held for the process's life
  std::unique_ptr<CServiceParameters> m_pParameters;
  std::unique_ptr<CIndexingEngine> m_pEngine;

  std::mutex m_ModuleMutex;
  std::shared_ptr<platform::CEvent> m_pStopEvent;   // guarded by m_ModuleMutex
  std::unique_ptr<std::thread> m_pWorkerThread;     // guarded by m_ModuleMutex
  bool m_bStopped = false;                          // guarded by m_ModuleMutex

  std::mutex m_FinishedMutex;
  std::condition_variable m_WorkerFinishedSignal;   // with m_FinishedMutex and g_bWorkerFinished

  std::int64_t m_FolderListTime = 0;  // worker thread only
  int m_bPriorityApplied = 0;         // worker thread only (reset by StartModule)

  std::mutex m_MessageMutex;
  int m_nLastMessageKind = 0;     // guarded by m_MessageMutex
  std::string m_strLastMessage;   // guarded by m_MessageMutex
};
