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
#include "service/CServiceStartup.h"
#include "status/CStatusBoard.h"
#include "status/MonitorListener.h"

class CFolderListWatch;
class CStatusPublisher;
class CIndexingEngine;

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
  // --check-config: says what a start would do instead of starting (exit 0 or 1).
  bool ParseModuleOption(const std::string& name, const std::string& value) override;
  bool IsModuleFlag(const std::string& name) const override { return name == "--check-config"; }
  std::string GetModuleOptionsUsage() const override;
  int RunInsteadOfService() override;
  int StartFailureStatus() const override { return m_nStartFailureStatus; }
  // SIGHUP: the folder list is read again at once.
  void OnHangUp() override;

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
  bool StartEngine();
  void WatchFolderList();
  void RequestFolderListReload();
  void IndexingWorkerProc(WorkerRun& run);
  void FinishWorker(WorkerRun& run, bool endedByItself);
  void ApplyPriority();
  void ReloadFolderList(platform::CStopLatch& stop, bool always);
  void FeedWatchdog();
  void StartStatus();

  // Set by the options and StartModule before any other thread runs; read-only afterwards.
  CServiceStartup m_Startup;  // holds the one-service lock for the process's life
  CServiceParameters* m_pParameters = nullptr;  // m_Startup's, once StartModule has read them
  CEngineParameters m_EngineParameters;
  int m_nCycleWaitMilliseconds = 60000;  // the wait after each indexing cycle
  std::string m_strConfigFile;           // --config, or "" for the program directory's file
  bool m_bCheckConfig = false;           // --check-config
  int m_nVerificationSeconds = -1;       // --verification-interval-s (tests); -1: the setting's
  int m_nStartFailureStatus = 1;
  CStatusBoard m_Board;  // outlives the engine and the publisher
  std::unique_ptr<CIndexingEngine> m_pEngine;
  std::unique_ptr<CStatusPublisher> m_pPublisher;  // stopped before the engine ends
  std::unique_ptr<CFolderListWatch> m_pFolderListWatch;  // monitoring mode; stopped by StopModule

  // Set by SIGHUP and the folder list's watch, taken by the worker: read the list even unchanged.
  std::atomic<bool> m_bReloadRequested{false};
  std::atomic<bool> m_bHangUp{false};

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
