#include "tools/CTool_Global.h"

#include "platform/SystemInfo.h"

std::string CTool_Global::GetOSVersionInfo() { return platform::OsDisplayName(); }

std::string CTool_Global::GetUserLogin() {
  std::string user = platform::EffectiveUserName();
  return user.size() > 255 ? user.substr(0, 255) : user;
}

std::string CTool_Global::GetBuildDate() { return platform::BuildDate(); }

std::string CTool_Global::GetVersion() { return platform::ServiceVersion(); }

std::string CTool_Global::FormatVersion(const std::string& version) { return platform::FormatVersion(version); }

std::string CTool_Global::FormatCompilerDate(const std::string& compilerDate) {
  return platform::FormatCompilerDate(compilerDate);
}
