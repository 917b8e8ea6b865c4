#include "watch/CWatchRules.h"

#include <boost/filesystem.hpp>

#include "platform/FileOps.h"
#include "walk/ReconcilePatterns.h"

CWatchRules::CWatchRules(const std::string& directory, bool archive,
                         const std::vector<std::string>& excludedDirectories)
    : m_bArchive(archive) {
  const std::string base = NormalPath(directory);
  for (const std::string& excluded : excludedDirectories) {
    if (excluded.empty()) continue;
    const std::string normal = NormalPath(excluded);
    if (normal != base && IsUnder(normal, base)) {
      m_ExcludedRelative.push_back(normal.substr(base == "/" ? 1 : base.size() + 1));
    }
  }
}

bool CWatchRules::IsExcluded(const std::string& relativePath, bool isDirectory) const {
  // The directories the walks leave out by name, at any depth ("ORIGINALS" and
  // "CATALOGUE_IS" among them), so that the watcher catalogues nothing a walk would not.
  size_t start = 0;
  for (;;) {
    const size_t slash = relativePath.find('/', start);
    if (slash == std::string::npos && !isDirectory) break;
    const size_t end = slash == std::string::npos ? relativePath.size() : slash;
    if (ReconcilePatterns::IsSkippedDirectoryName(relativePath.substr(start, end - start))) return true;
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  for (const std::string& excluded : m_ExcludedRelative) {
    if (IsUnder(relativePath, excluded)) return true;
  }
  return false;
}

bool CWatchRules::IsSkippedFirstLevel(const std::string& name) {
  return ReconcilePatterns::IsSkippedDirectoryName(name);
}

std::string CWatchRules::NormalPath(const std::string& path) { return platform::NormalPath(path); }

bool CWatchRules::IsUnder(const std::string& path, const std::string& dir) { return platform::IsPathUnder(path, dir); }
