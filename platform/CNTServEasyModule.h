#pragma once

#include <atomic>
#include <cstdio>
#include <string>

// The host of the service module in place of the closed service framework: runs the module
// in the foreground (under systemd or a terminal). Run calls InitInstance, StartModule, then
// RunModule until it returns false; SIGTERM/SIGINT call StopModule from the host's own thread.
class CNTServEasyModule {
 public:
  explicit CNTServEasyModule(const std::string& displayName);
  virtual ~CNTServEasyModule() = default;
  CNTServEasyModule(const CNTServEasyModule&) = delete;
  CNTServEasyModule& operator=(const CNTServEasyModule&) = delete;

  virtual bool InitInstance();
  // Called once before the module runs; true when it can run.
  virtual bool StartModule() = 0;
  // Called repeatedly while the module runs; false when it has ended its work.
  virtual bool RunModule() = 0;
  // Called on a stop signal from the host's signal thread; true when the module has stopped.
  virtual bool StopModule() = 0;
  // How long StopModule may take before the host ends the process anyway (a thread blocked in
  // the kernel can hold a stop for good); within the unit's TimeoutStopSec.
  virtual int StopDeadlineMs() const { return 310000; }
  // Tells systemd's watchdog the module is alive (nothing when not run under systemd).
  virtual void ResetWatchdog();
  // Tells systemd the module's one-line status (STATUS=, shown by systemctl status).
  static void NotifyStatus(const std::string& line);
  // How often the module must show it is alive: half of systemd's watchdog time
  // (WATCHDOG_USEC), at most fallbackMs, at least 100 ms; fallbackMs without a watchdog.
  static int WatchdogIntervalMs(int fallbackMs);
  // An option "--name value" the host does not know, given to the module before InitInstance;
  // true when the module took it (false: a bad option or value).
  virtual bool ParseModuleOption(const std::string& name, const std::string& value);
  // True for a module option that takes no value ("--name" alone); ParseModuleOption then gets "".
  virtual bool IsModuleFlag(const std::string& name) const;
  // Runs in place of the service when an option asked for it (a check): its exit status, or -1
  // to run the service.
  virtual int RunInsteadOfService();
  // The exit status of a start that failed (StartModule returned false).
  virtual int StartFailureStatus() const { return 1; }
  // A hang-up (SIGHUP), on the host's signal thread: the service goes on.
  virtual void OnHangUp() {}
  // The usage lines of the module's options (--program-dir's meaning first), each ending in '\n'.
  virtual std::string GetModuleOptionsUsage() const;

  // The host entry: parses the command line and runs the module; returns the exit status.
  int Run(int argc, char** argv);
  // The program directory with a trailing '/': --program-dir or the executable's directory.
  const std::string& GetProgramDirectory() const { return m_strProgramDirectory; }

 protected:
  std::string m_ModuleVersion;
  std::string m_ModuleDescription;
  std::string m_CopyrightNotice;
  std::string m_ModuleAuthor;

 private:
  // 0 to run, otherwise 1 + the exit status for --help, --version or a bad option.
  int ParseOptions(int argc, char** argv);
  void PrintUsage(std::FILE* out, const std::string& programName) const;
  int RunStarted();

  std::string m_strDisplayName;
  std::string m_strProgramDirectory;
  std::atomic<bool> m_bStopSignalled{false};  // set by the signal thread before StopModule
};
