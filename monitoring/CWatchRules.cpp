#include "monitoring/CWatchRules.h"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/filesystem.hpp>
#include <boost/regex.hpp>

namespace {

const boost::regex kSkippedFirstLevelPattern("Originals(W|$)|Catalogue_IS(W|$)", boost::regex::icase);

bool IsExcludedFirstComponent(const std::string& name) {
  return boost::algorithm::iequals(name, "ORIGINALS") || boost::algorithm::iequals(name, "CATALOGUE_IS");
}

// The first component of path, and what follows it ("" when there is nothing).
std::string SplitFirst(const std::string& path, std::string& rest) {
  const size_t slash = path.find('/');
  if (slash == std::string::npos) {
    rest.clear();
    return path;
  }
  rest = path.substr(slash + 1);
  return path.substr(0, slash);
}

}  // namespace

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
  std::string rest;
  const std::string first = SplitFirst(relativePath, rest);
  if (m_bArchive) {
    // The archive is watched for its first-level directories only, never for its own files;
    // the expression is matched against the first-level name alone, so an archive that
    // itself lies below an "...Originals..." directory is still watched.
    if (rest.empty() && !isDirectory) return true;
    if (IsSkippedFirstLevel(first)) return true;
    std::string below;
    if (!rest.empty() && IsExcludedFirstComponent(SplitFirst(rest, below))) return true;
  } else if (IsExcludedFirstComponent(first)) {
    return true;
  }
  for (const std::string& excluded : m_ExcludedRelative) {
    if (IsUnder(relativePath, excluded)) return true;
  }
  return false;
}

bool CWatchRules::IsSkippedFirstLevel(const std::string& name) {
  return boost::regex_search(name, kSkippedFirstLevelPattern);
}

std::string CWatchRules::NormalPath(const std::string& path) {
  std::string normal = boost::filesystem::path(path).lexically_normal().string();
  while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
  if (normal.size() > 2 && normal.compare(normal.size() - 2, 2, "/.") == 0) normal.resize(normal.size() - 2);
  return normal;
}

bool CWatchRules::IsUnder(const std::string& path, const std::string& dir) {
  if (path == dir) return true;
  if (dir == "/") return !path.empty() && path[0] == '/';
  return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 && path[dir.size()] == '/';
}
