#pragma once

#include <string>
#include <vector>

#include "platform/FrameChannel.h"

namespace platform {

// A helper program of ours connected by one stream socket, which the child finds as
// descriptor kChildChannelFd. The child inherits no other descriptor of this process but
// /dev/null as input and output and our standard error. One owner thread at a time.
class ChildProcess {
 public:
  static constexpr int kChildChannelFd = 3;

  ChildProcess() = default;
  ~ChildProcess();  // kills and reaps a running child
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts program with args (argv[1..]); false with error set when it cannot be started.
  bool Start(const std::string& program, const std::vector<std::string>& args, std::string& error);
  bool IsRunning() const { return m_nPid > 0; }
  FrameChannel& Channel() { return m_Channel; }

  // Kills the child (SIGKILL), reaps it and says how it ended: "exited with status 3",
  // "killed by signal 11"; terminatingSignal is 0 when it exited.
  std::string Stop(int* exitStatus = nullptr, int* terminatingSignal = nullptr);

 private:
  int m_nPid = -1;
  FrameChannel m_Channel;
};

// For the child side: settings a helper process applies to itself at start.
namespace ChildSelf {
// Caps the address space (RLIMIT_AS) at bytes; false when the limit cannot be set.
bool LimitAddressSpace(unsigned long long bytes);
// SIGALRM (default action: end the process) after seconds; 0 cancels.
void AlarmAfter(unsigned seconds);
// A broken pipe becomes an error result instead of a signal.
void IgnoreBrokenPipe();
// Ends this process by signalNumber with its default action (fault switch for tests).
void RaiseSignal(int signalNumber);
void SleepSeconds(unsigned seconds);
// Ends the process at once: no destructor closes the channel before the exit status is set,
// so the parent, seeing the channel close, reads this status and not its own SIGKILL.
[[noreturn]] void ExitNow(int status);
}  // namespace ChildSelf

}  // namespace platform
