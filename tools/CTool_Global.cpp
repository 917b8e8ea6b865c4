#include "tools/CTool_Global.h"

#include <cstdio>

#include "platform/SystemInfo.h"

std::string CTool_Global::GetOSVersionInfo() { return platform::OsDisplayName(); }

std::string CTool_Global::GetUserLogin() {
  std::string user = platform::EffectiveUserName();
  return user.size() > 255 ? user.substr(0, 255) : user;
}

std::string CTool_Global::GetBuildDate() { return FormatCompilerDate(__DATE__); }

std::string CTool_Global::FormatCompilerDate(const std::string& compilerDate) {
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
