#pragma once

#include <map>
#include <string>
#include <vector>

namespace platform {

// A program started as a child process (used by the test helpers). The destructor kills and
// reaps a child still running.
class CChildProcess {
 public:
  CChildProcess() = default;
  ~CChildProcess();
  CChildProcess(const CChildProcess&) = delete;
  CChildProcess& operator=(const CChildProcess&) = delete;

  // argv[0] is the program path; extraEnv is added to (or replaces in) this process's environment.
  bool Start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& extraEnv);
  // Sends SIGTERM, or SIGINT when interrupt is true.
  bool Signal(bool interrupt);
  // Polls until the child ends or the deadline passes; exitCode is its status, or -signal.
  bool WaitForExit(int timeoutMs, int& exitCode);
  bool IsRunning() const { return m_nPid > 0; }
  void Kill();

 private:
  int m_nPid = 0;
};

}  // namespace platform
