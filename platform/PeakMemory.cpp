#include "platform/PeakMemory.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace platform {

long PeakResidentKiB() {
  struct rusage usage {};
  if (getrusage(RUSAGE_SELF, &usage) != 0) return 0;
  return usage.ru_maxrss;
}

double ProcessCpuSeconds() {
  struct rusage usage {};
  if (getrusage(RUSAGE_SELF, &usage) != 0) return 0;
  const auto seconds = [](const timeval& time) { return static_cast<double>(time.tv_sec) + time.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double ProcessCpuSecondsOf(int pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(file, stat)) return -1;
  // The command name in parentheses may hold spaces: the fields are counted after its end.
  const size_t nameEnd = stat.rfind(')');
  if (nameEnd == std::string::npos) return -1;
  std::istringstream fields(stat.substr(nameEnd + 1));
  std::string field;
  unsigned long long utime = 0;
  unsigned long long stime = 0;
  for (int index = 3; fields >> field; ++index) {  // field 3 is the state
    if (index == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
    if (index == 15) {
      stime = std::strtoull(field.c_str(), nullptr, 10);
      return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
  }
  return -1;
}

long ProcessStatusKiB(int pid, const char* field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  const size_t length = std::strlen(field);
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, length, field) == 0) return std::atol(line.c_str() + length);
  }
  return 0;
}

}  // namespace platform
