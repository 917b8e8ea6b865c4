#pragma once

#include <vector>

namespace platform {

// The largest resident set this process has had so far, in KiB (getrusage ru_maxrss).
long PeakResidentKiB();
// The processor time (user and system) this process has used so far, in seconds.
double ProcessCpuSeconds();
// The processor time (user and system) another process has used so far, in seconds, from
// /proc/PID/stat; -1 when it cannot be read.
double ProcessCpuSecondsOf(int pid);
// The processes whose parent is pid now, from /proc.
std::vector<int> ChildProcessesOf(int pid);
// A numeric field of /proc/PID/status: in KiB for "VmHWM:" and "VmRSS:", a count for
// "Threads:"; 0 when it cannot be read.
long ProcessStatusKiB(int pid, const char* field);

}  // namespace platform
