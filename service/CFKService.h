#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "engine/CEngineParameters.h"
#include "platform/CMutex.h"
#include "platform/CNTServEasyModule.h"
#include "platform/CStopLatch.h"
#include "service/CServiceParameters.h"
#include "status/MonitorListener.h"

class CIndexingEngine;
namespace platform {
class CNamedFileLock;
}

// The indexing service: reads its settings, runs the indexing engine on one worker thread
// of its own and writes the engine's status messages to the activity log. One per process;
// the host calls the module operations, the worker and the flush workers OnStatusMessage.
class CFKService : public CNTServEasyModule, public MonitorListener {
 public:
  CFKService();
  ~CFKService() override;

  bool InitInstance() override;
  bool StartModule() override;
  bool RunModule() override;
  bool StopModule() override;
  // --config FILE (the settings file, default FKIndexingServiceConfig.xml in the program
  // directory) and the pacing options: --cycle-wait-ms, --folder-pause-ms and --pause-ms.
  bool ParseModuleOption(const std::string& name, const std::string& value) override;
  std::string GetModuleOptionsUsage() const override;

  void OnDocumentChange(int kind, std::string path, FK::CFolder folder) override;
  void OnStatusMessage(int kind, const std::string& text) override;

  // One cycle of the worker thread; 0 when the stop marker was present.
  int RunIndexingCycle(platform::CStopLatch& stop);

 private:
  // One worker thread's run: StopModule stops it; the worker says when it is done (and
  // stops it too when it ended by itself, to wake RunModule). Each worker gets a new one.
  struct WorkerRun {
    platform::CStopLatch Stop;
    platform::CStopLatch Finished;
    std::atomic<bool> EndedByItself{false};
  };

  std::string ProgramDirectory() const;
  bool LockProgramDirectory(const std::string& programDirectory);
  std::string ChooseUsableLogPath(const std::string& programDirectory);
  void PublishLogPaths();
  void ReportStartFailure(const std::string& line);
  bool ReadRegistryFallback();
  bool StartEngine();
  void IndexingWorkerProc(WorkerRun& run);
  void FinishWorker(WorkerRun& run, bool endedByItself);
  void ApplyPriority();
  void ReloadFolderList(platform::CStopLatch& stop);
  void FeedWatchdog();

  // Set by the options and StartModule before any other thread runs; read-only afterwards.
  std::unique_ptr<platform::CNamedFileLock> m_pInstanceLock;  // held for the process's life
  std::unique_ptr<CServiceParameters> m_pParameters;
  CEngineParameters m_EngineParameters;
  int m_nCycleWaitMilliseconds = 60000;  // the wait after each indexing cycle
  std::string m_strConfigFile;           // --config, or "" for the program directory's file
  std::unique_ptr<CIndexingEngine> m_pEngine;

  platform::CMutex m_ModuleMutex;
  std::shared_ptr<WorkerRun> m_pRun GUARDED_BY(m_ModuleMutex);
  std::unique_ptr<std::thread> m_pWorkerThread GUARDED_BY(m_ModuleMutex);
  bool m_bStopped GUARDED_BY(m_ModuleMutex) = false;

  std::int64_t m_FolderListTime = 0;  // worker thread only
  int m_bPriorityApplied = 0;         // worker thread only (reset by StartModule)

  platform::CMutex m_MessageMutex;
  int m_nLastMessageKind GUARDED_BY(m_MessageMutex) = 0;
  std::string m_strLastMessage GUARDED_BY(m_MessageMutex);
};
