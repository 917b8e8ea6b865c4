#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Formats seconds since 1970 in local time with a strftime format.
std::string FormatLocalTime(std::int64_t seconds, const char* format);
// The display name of the operating system (PRETTY_NAME of os-release), "Linux" when unknown.
std::string OsDisplayName(const std::string& osReleasePath = "/etc/os-release");
// The user name of the effective uid; "" when it cannot be found.
std::string EffectiveUserName();

// The process's soft limit of open file descriptors (RLIMIT_NOFILE); a large number when unlimited.
std::int64_t OpenFileLimit();

}  // namespace platform
