#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/FrameChannel.h"

namespace platform {

// One child process: a program started with posix_spawn, or a forked function. It starts with
// no blocked signals and default signal actions, whatever this process's threads set. The
// destructor kills and reaps a child still running. One owner thread at a time.
class CChildProcess {
 public:
  static constexpr int kChildChannelFd = 3;

  CChildProcess() = default;
  ~CChildProcess();
  CChildProcess(const CChildProcess&) = delete;
  CChildProcess& operator=(const CChildProcess&) = delete;

  // Runs argv[0] with our standard descriptors; extraEnv is added to (or replaces in) our environment.
  bool Start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& extraEnv = {});
  // Runs a helper program of ours joined to channel by a stream socket, which the child finds as
  // descriptor kChildChannelFd; it gets /dev/null as input and output, our standard error and no
  // other descriptor of ours. False with error set when it cannot be started.
  bool StartConnected(const std::vector<std::string>& argv, FrameChannel& channel, std::string& error);
  // Forks; the child runs body and ends with its result at once (none of our destructors runs there).
  bool Fork(const std::function<int()>& body);

  bool IsRunning() const { return m_nPid > 0; }
  int GetPid() const { return m_nPid > 0 ? m_nPid : 0; }
  // Processor time (user and system) the running child used so far, in milliseconds; -1 when
  // it cannot be read (not running, or no /proc).
  long long CpuMilliseconds() const;
  // Sends SIGTERM, or SIGINT when interrupt is true.
  bool Signal(bool interrupt);
  // Polls until the child ends or the deadline passes; exitCode is its status, or -signal.
  bool WaitForExit(int timeoutMs, int& exitCode);
  // Kills a running child (SIGKILL), reaps it and says how it ended: "exited with status 3",
  // "killed by signal 11"; terminatingSignal is 0 when it exited. A child that ended by itself
  // keeps its own status.
  std::string Kill(int* exitStatus = nullptr, int* terminatingSignal = nullptr);

  // Runs argv[0] to its end with stdout and stderr captured: its exit status, 128 + signal when
  // killed, -1 when it cannot be started.
  static int Run(const std::vector<std::string>& argv, std::string& out, std::string& err);

 private:
  int m_nPid = 0;
};

// For the child side: settings a helper process applies to itself at start.
namespace ChildSelf {
// Caps the address space (RLIMIT_AS) at its present size plus bytes, so that what the program
// reserved before main (a sanitizer's shadow memory) does not count; false when it cannot.
bool LimitAddressSpaceGrowth(unsigned long long bytes);
// SIGALRM (default action: end the process) after seconds; 0 cancels.
void AlarmAfter(unsigned seconds);
// SIGPROF (default action: end the process) once this process has used milliseconds more of
// processor time; 0 cancels. Waiting for the processor does not count against it.
void CpuAlarmAfter(unsigned long long milliseconds);
// A broken pipe becomes an error result instead of a signal.
void IgnoreBrokenPipe();
// Ends this process by signalNumber with its default action (fault switch for tests).
void RaiseSignal(int signalNumber);
void SleepSeconds(unsigned seconds);
// Fault switch for the sandbox's tests: does what a sandboxed helper must not ("read" the file
// besidePath + ".secret", open a "socket", "write" besidePath + ".written"); false with refusal
// set when the kernel refused it without ending the process.
bool TryEscape(const std::string& how, const std::string& besidePath, std::string& refusal);
// Ends the process at once: no destructor closes the channel before the exit status is set,
// so the parent, seeing the channel close, reads this status and not its own SIGKILL.
[[noreturn]] void ExitNow(int status);
}  // namespace ChildSelf

}  // namespace platform
