#include "platform/SystemInfo.h"

#include <pwd.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
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

std::int64_t ProcessId() { return static_cast<std::int64_t>(getpid()); }

std::int64_t OpenFileLimit() {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 1 << 20;
  return static_cast<std::int64_t>(limit.rlim_cur);
}


std::string FormatCompilerDate(const std::string& compilerDate) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  if (compilerDate.size() < 11) return std::string();
  const std::string monthName = compilerDate.substr(0, 3);
  int month = 0;
  for (int i = 0; i < 12; ++i) {
    if (monthName == kMonths[i]) month = i + 1;
  }
  int day = 0;
  int year = 0;
  // __DATE__ pads a one-digit day with a space: "Jan  5 2025".
  if (month == 0 || std::sscanf(compilerDate.c_str() + 3, "%d %d", &day, &year) != 2) {
    return std::string();
  }
  char text[40];
  std::snprintf(text, sizeof text, "%02d/%02d/%04d", day, month, year);
  return text;
}

std::string BuildDate() { return FormatCompilerDate(__DATE__); }

std::string ServiceVersion() { return FormatVersion(FK_VERSION); }

std::string FormatVersion(const std::string& version) {
  const size_t first = version.find('.');
  const size_t second = first == std::string::npos ? first : version.find('.', first + 1);
  if (second == std::string::npos) return version;
  const std::string minor = version.substr(first + 1, second - first - 1);
  return version.substr(0, first + 1) + (minor.size() < 2 ? "0" : "") + minor + version.substr(second);
}

}  // namespace platform
