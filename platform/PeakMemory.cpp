#include "platform/PeakMemory.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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

namespace {

// Fields of /proc/PID/stat, counted from 1 as proc(5) counts them; empty when it cannot be read.
std::vector<std::string> StatFields(int pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(file, stat)) return {};
  // The command name in parentheses may hold spaces: the fields are counted after its end.
  const size_t nameEnd = stat.rfind(')');
  if (nameEnd == std::string::npos) return {};
  std::vector<std::string> fields = {"", std::to_string(pid), stat.substr(0, nameEnd + 1)};
  std::istringstream rest(stat.substr(nameEnd + 1));
  for (std::string field; rest >> field;) fields.push_back(field);
  return fields;
}

double TickSum(const std::vector<std::string>& fields, size_t first, size_t last) {
  if (fields.size() <= last) return -1;
  unsigned long long ticks = 0;
  for (size_t index = first; index <= last; ++index) ticks += std::strtoull(fields[index].c_str(), nullptr, 10);
  return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace

double ProcessCpuSecondsOf(int pid) { return TickSum(StatFields(pid), 14, 15); }

std::vector<int> ChildProcessesOf(int pid) {
  std::vector<int> children;
  DIR* processes = opendir("/proc");
  if (processes == nullptr) return children;
  while (const dirent* entry = readdir(processes)) {
    const std::string name = entry->d_name;
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::vector<std::string> fields = StatFields(std::atoi(name.c_str()));
    if (fields.size() > 4 && std::atoi(fields[4].c_str()) == pid) children.push_back(std::atoi(name.c_str()));
  }
  closedir(processes);
  return children;
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
