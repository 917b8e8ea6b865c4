#include "platform/PathChecks.h"

#include <climits>
#include <cstdlib>

#include "platform/FileOps.h"

namespace platform {

namespace {

constexpr size_t kLoggedPathBytes = 240;

}  // namespace

std::string ResolvedPath(const std::string& path) {
  std::string existing = NormalPath(path);
  std::string rest;
  while (!existing.empty()) {
    char resolved[PATH_MAX];
    if (realpath(existing.c_str(), resolved) != nullptr) return NormalPath(std::string(resolved) + rest);
    const size_t slash = existing.rfind('/');
    if (slash == std::string::npos || existing == "/") break;
    rest = existing.substr(slash) + rest;
    existing = slash == 0 ? "/" : existing.substr(0, slash);
  }
  return NormalPath(path);
}

bool IsPathTooLong(const std::string& path) {
  if (path.size() >= PATH_MAX) return true;
  size_t start = 0;
  while (start < path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    if (slash - start > NAME_MAX) return true;
    start = slash + 1;
  }
  return false;
}

std::string CutPathForLog(const std::string& path) {
  if (path.size() <= kLoggedPathBytes) return path;
  return path.substr(0, kLoggedPathBytes) + "... (" + std::to_string(path.size()) + " bytes)";
}

}  // namespace platform
