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
// The program's build date as dd/mm/yyyy.
std::string BuildDate();
// The service's version (the build's, as --version says it) in the error log's spelling, the
// minor number in two digits: "2.00.460" for 2.0.460.
std::string ServiceVersion();
std::string FormatVersion(const std::string& version);
// Turns a compiler date ("Mmm dd yyyy", as __DATE__) into dd/mm/yyyy; "" when malformed.
std::string FormatCompilerDate(const std::string& compilerDate);

// This process's id.
std::int64_t ProcessId();

// The process's soft limit of open file descriptors (RLIMIT_NOFILE); a large number when unlimited.
std::int64_t OpenFileLimit();

}  // namespace platform
