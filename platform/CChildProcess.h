#pragma once

#include <functional>
#include <string>
#include <vector>

namespace platform {

// Child processes for tests that kill a writer mid-work or run a real program binary.
// Used from one thread; the caller waits for every child it starts.
class CChildProcess {
 public:
  // Forks; the child runs body and exits with its result at once. The child's pid, or -1.
  static int Fork(const std::function<int()>& body);
  // Sends SIGKILL; true when sent.
  static bool Kill(int pid);
  // Waits for the child: its exit status, 128 + signal when killed, -1 on failure.
  static int Wait(int pid);
  // Runs argv[0] with the arguments, stdout and stderr captured: the exit status as Wait gives it.
  static int Run(const std::vector<std::string>& argv, std::string& out, std::string& err);
};

}  // namespace platform
