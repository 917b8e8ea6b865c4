#pragma once

#include <memory>
#include <string>

#include "service/CServiceParameters.h"

namespace platform {
class CNamedFileLock;
}

// The service's start, up to the engine: the one-service lock on the program directory, the
// settings, the paths of the activity and error logs, and the paths every pass needs. Each
// failure is said on standard error (the journal) with the path it concerns, and in the activity
// log once that has a path; FailureStatus tells whether a restart may mend it. Holds the lock
// for the life of the process.
class CServiceStartup {
 public:
  // The exit status of a start that a restart cannot mend (no settings, no program directory,
  // another service on the program directory); systemd's unit names it in
  // RestartPreventExitStatus=. It is sysexits' EX_CONFIG.
  static constexpr int kUnmendableStartStatus = 78;
  // How the service names itself on standard error.
  static const char kDisplayName[];

  CServiceStartup();
  ~CServiceStartup();
  CServiceStartup(const CServiceStartup&) = delete;
  CServiceStartup& operator=(const CServiceStartup&) = delete;

  // configFile: "" for the program directory's FKIndexingServiceConfig.xml. False when the
  // service must not start.
  bool Prepare(const std::string& programDirectory, const std::string& configFile);
  // The exit status of a start that Prepare refused.
  int FailureStatus() const { return m_nFailureStatus; }
  // The settings in effect; after a Prepare that got as far as reading them.
  CServiceParameters& Parameters() { return *m_pParameters; }

 private:
  bool LockProgramDirectory(const std::string& programDirectory);
  std::string ChooseUsableLogPath(const std::string& programDirectory);
  void PublishLogPaths();
  void ReportStartFailure(const std::string& line, const std::string& detail);
  bool ValidateRequiredPaths();

  std::unique_ptr<platform::CNamedFileLock> m_pInstanceLock;
  std::unique_ptr<CServiceParameters> m_pParameters;
  int m_nFailureStatus = 1;
};
