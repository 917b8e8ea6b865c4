#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/CChildProcess.h"

namespace testsupport {

// Runs the real service binary (FK_SERVICE_BINARY) in a temporary program directory that the
// test fills (settings file, folder list, documents). The options file variable
// FK_OPTIONS_FILE points into the temporary directory, so /etc is never read.
// The destructor kills a process still running and removes the directory.
class ServiceRunner {
 public:
  ServiceRunner();
  ~ServiceRunner();
  ServiceRunner(const ServiceRunner&) = delete;
  ServiceRunner& operator=(const ServiceRunner&) = delete;

  // The program directory, ending with '/'.
  const std::string& ProgramDirectory() const { return m_strProgramDirectory; }
  // ProgramDirectory() + relativePath.
  std::string PathOf(const std::string& relativePath) const;
  // Writes a file below the program directory (creating its directories); true on success.
  bool WriteFile(const std::string& relativePath, const std::string& content) const;
  // Creates a directory below the program directory (and its parents); returns its path with '/'.
  std::string MakeDirectory(const std::string& relativePath) const;
  // Writes the folder list "Fennrick Folders.xml" in the program directory holding these
  // <Folder> elements, with a last-write time later than any before so a running service sees it.
  bool WriteFolderList(const std::string& folders);
  // One <Folder> element of a folder list.
  static std::string FolderXml(const std::string& reference, const std::string& name, const std::string& archive,
                               bool useService);
  // Writes "FKIndexingServiceConfig.xml" in the program directory.
  bool WriteSettings(const std::string& xml) const;
  // Writes a settings file with the given folder list and catalogue paths (and optional extra
  // elements such as "<Priority>LOW</Priority>").
  bool WriteSettings(const std::string& foldersListPath, const std::string& cataloguesPath,
                     const std::string& extraElements) const;
  // The path the options file variable points to (the file is not created).
  const std::string& OptionsFilePath() const { return m_strOptionsFile; }
  // Extra environment for the service (added to the test's own environment).
  void SetEnv(const std::string& name, const std::string& value);
  // A command the service is run through (prlimit, setpriv ...), its arguments ending before the service's.
  void SetCommandPrefix(const std::vector<std::string>& prefix) { m_CommandPrefix = prefix; }
  // The service's standard error goes to this file instead of the test's.
  void SetStandardErrorFile(const std::string& path) { m_strStandardErrorFile = path; }
  // The command line Start runs, after the service's own argv.
  std::vector<std::string> CommandLine(const std::vector<std::string>& options) const;
  const std::map<std::string, std::string>& Environment() const { return m_Env; }

  // Deletes the activity log of an earlier run (so waits see only this run's lines), then
  // starts the binary with --program-dir and the given options; true when it started.
  bool Start(const std::vector<std::string>& options = FastOptions());
  // Options that shorten the cycle wait, folder pause and throttling pause to a few ms.
  static std::vector<std::string> FastOptions();
  // Polls the activity log until `count` lines carry exactly this message; false at the deadline.
  bool WaitForLine(const std::string& message, int timeoutMs, int count = 1) const;
  // Sends SIGTERM (SIGINT with interrupt = true).
  bool Stop(bool interrupt = false);
  // Waits for the process to end; true with its exit status (-signal when killed) in exitCode.
  bool WaitForExit(int timeoutMs, int& exitCode);
  // SIGTERM, then the exit status within timeoutMs; kNoExit when either step failed.
  int StopAndWait(int timeoutMs);
  static constexpr int kNoExit = -1000;
  // Ends the process at once with SIGKILL, as a crash or a power cut would.
  void Kill() { m_Process.Kill(); }
  // The same, after killing its own child processes (a PDF helper it had running), which
  // would otherwise outlive it.
  void KillWithChildren();
  bool IsRunning() const { return m_Process.IsRunning(); }
  int GetPid() const { return m_Process.GetPid(); }

  // The activity log "FKIndexing.log" in the program directory unless set otherwise.
  std::string LogPath() const { return m_strLogPath; }
  void SetLogPath(const std::string& path) { m_strLogPath = path; }
  // The messages of the activity log (timestamp and TAB removed), in file order.
  std::vector<std::string> LogMessages() const;
  // How many lines carry exactly this message.
  int CountLines(const std::string& message) const;

 private:
  std::string m_strProgramDirectory;
  std::string m_strOptionsFile;
  std::string m_strLogPath;
  std::map<std::string, std::string> m_Env;
  std::vector<std::string> m_CommandPrefix;
  std::string m_strStandardErrorFile;
  int m_nFolderListWrites = 0;
  platform::CChildProcess m_Process;
};

// The messages of the activity log at path (timestamp and TAB removed), whole lines only.
std::vector<std::string> ActivityLogMessages(const std::string& path);

}  // namespace testsupport
