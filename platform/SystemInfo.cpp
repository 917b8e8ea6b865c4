#include "platform/SystemInfo.h"

#include <pwd.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <vector>

namespace platform {

std::string FormatLocalTime(std::int64_t seconds, const char* format) {
  time_t when = static_cast<time_t>(seconds);
  struct tm local {};
  if (localtime_r(&when, &local) == nullptr) return std::string();
  char buffer[128];
  size_t length = strftime(buffer, sizeof buffer, format, &local);
  return std::string(buffer, length);
}

namespace {

// os-release values may be quoted with ' or " and use backslash escapes.
std::string UnquoteOsReleaseValue(const std::string& raw) {
  if (raw.size() < 2 || (raw.front() != '"' && raw.front() != '\'') || raw.back() != raw.front()) {
    return raw;
  }
  std::string value;
  for (size_t i = 1; i + 1 < raw.size(); ++i) {
    if (raw[i] == '\\' && i + 2 < raw.size()) ++i;
    value += raw[i];
  }
  return value;
}

}  // namespace

std::string OsDisplayName(const std::string& osReleasePath) {
  std::ifstream file(osReleasePath);
  std::string line;
  while (std::getline(file, line)) {
    if (line.rfind("PRETTY_NAME=", 0) == 0) {
      std::string name = UnquoteOsReleaseValue(line.substr(12));
      if (!name.empty()) return name;
    }
  }
  return "Linux";
}

std::string EffectiveUserName() {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  struct passwd entry {};
  struct passwd* found = nullptr;
  if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    return std::string();
  }
  return found->pw_name ? std::string(found->pw_name) : std::string();
}

std::int64_t OpenFileLimit() {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 1 << 20;
  return static_cast<std::int64_t>(limit.rlim_cur);
}

}  // namespace platform
