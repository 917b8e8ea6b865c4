#include "tools/CTool_Global.h"

#include "platform/SystemInfo.h"

std::string CTool_Global::GetOSVersionInfo() { return platform::OsDisplayName(); }

std::string CTool_Global::GetUserLogin() {
  std::string user = platform::EffectiveUserName();
  return user.size() > 255 ? user.substr(0, 255) : user;
}

std::string CTool_Global::GetBuildDate() { return platform::BuildDate(); }

std::string CTool_Global::GetVersion() { return FormatVersion(FK_VERSION); }

std::string CTool_Global::FormatVersion(const std::string& version) {
  const size_t first = version.find('.');
  const size_t second = first == std::string::npos ? first : version.find('.', first + 1);
  if (second == std::string::npos) return version;
  const std::string minor = version.substr(first + 1, second - first - 1);
  return version.substr(0, first + 1) + (minor.size() < 2 ? "0" : "") + minor + version.substr(second);
}

std::string CTool_Global::FormatCompilerDate(const std::string& compilerDate) {
  return platform::FormatCompilerDate(compilerDate);
}
