#pragma once

#include <string>

// Facts about the running program and system, written in the error log's header. Stateless.
class CTool_Global {
 public:
  // The service's version (the build's, as --version says it) in the error log's spelling, the
  // minor number in two digits: "2.00.460" for 2.0.460.
  static std::string GetVersion();
  static std::string FormatVersion(const std::string& version);
  // The operating system's display name (PRETTY_NAME of /etc/os-release), "Linux" when unknown.
  static std::string GetOSVersionInfo();
  // The user name of the process's effective uid; "" when it cannot be found.
  static std::string GetUserLogin();
  // The program's build date as dd/mm/yyyy.
  static std::string GetBuildDate();
  // Turns a compiler date ("Mmm dd yyyy", as __DATE__) into dd/mm/yyyy; "" when malformed.
  static std::string FormatCompilerDate(const std::string& compilerDate);
};
