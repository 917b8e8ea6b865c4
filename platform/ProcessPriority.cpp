#include "platform/ProcessPriority.h"

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

namespace platform {

namespace {

constexpr int kLowerBy = 5;    // about one class below normal
constexpr int kRaiseBy = 10;   // about a high class above normal

// Calls apply for every thread id of the process; true when it succeeded for all of them.
bool ForEachThread(const std::function<bool(pid_t)>& apply) {
  std::error_code error;
  bool all = true;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", error)) {
    const pid_t tid = static_cast<pid_t>(std::atoll(entry.path().filename().c_str()));
    // A thread may end between the listing and the call: that is not a failure.
    if (tid > 0 && !apply(tid) && errno != ESRCH) all = false;
  }
  return !error && all;
}

}  // namespace

bool SetProcessPriority(int priority) {
  if (priority != 0 && priority != 2) return true;
  // On Linux the nice value belongs to each thread, so the whole process means every thread.
  errno = 0;
  const int base = getpriority(PRIO_PROCESS, static_cast<id_t>(getpid()));
  if (base == -1 && errno != 0) return false;
  const int target = std::clamp(priority == 0 ? base + kLowerBy : base - kRaiseBy, -20, 19);
  return ForEachThread([target](pid_t tid) {
    return setpriority(PRIO_PROCESS, static_cast<id_t>(tid), target) == 0;
  });
}

bool BindProcessToFirstProcessor() {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (sched_getaffinity(0, sizeof(allowed), &allowed) != 0) return false;
  int first = 0;
  while (first < CPU_SETSIZE && !CPU_ISSET(first, &allowed)) ++first;
  if (first == CPU_SETSIZE) return false;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(first, &one);
  return ForEachThread([&one](pid_t tid) { return sched_setaffinity(tid, sizeof(one), &one) == 0; });
}

int UsableProcessorCount() {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (sched_getaffinity(0, sizeof(allowed), &allowed) != 0) return 1;
  return std::max(1, CPU_COUNT(&allowed));
}

}  // namespace platform
