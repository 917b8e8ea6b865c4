#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace platform {

// A program started as a child process (used by the test helpers). The destructor kills and
// reaps a child still running. The static members fork a function or run a program to its
// end; the caller waits for every child it starts.
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
  // The process id while it runs, 0 otherwise.
  int GetPid() const { return m_nPid; }
  void Kill();

  // Forks; the child runs body and exits with its result at once. The child's pid, or -1.
  static int Fork(const std::function<int()>& body);
  // Sends SIGKILL; true when sent.
  static bool Kill(int pid);
  // Waits for the child: its exit status, 128 + signal when killed, -1 on failure.
  static int Wait(int pid);
  // Runs argv[0] with the arguments, stdout and stderr captured: the exit status as Wait gives it.
  static int Run(const std::vector<std::string>& argv, std::string& out, std::string& err);

 private:
  int m_nPid = 0;
};

}  // namespace platform
