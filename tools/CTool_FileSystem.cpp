#include "tools/CTool_FileSystem.h"

#include "errors/CErrorLog.h"
#include "errors/CFKException.h"
#include "platform/ErrnoText.h"
#include "platform/FileOps.h"

namespace {

const size_t kMaxPathLength = 4095;  // PATH_MAX without its terminating zero

// The full path of the first file or directory matching path; "" when none does.
std::string FirstMatch(const std::string& path) {
  if (path.empty()) return std::string();
  const size_t slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.find_first_of("*?") == std::string::npos) {
    return platform::StatPath(path).bExists ? path : std::string();
  }
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
  // "*.*" matches every name, with or without a dot, as the suite expects.
  const std::vector<std::string> matches =
      platform::MatchDirectoryEntries(dir, name == "*.*" ? "*" : name);
  if (matches.empty()) return std::string();
  return slash == std::string::npos ? matches.front() : path.substr(0, slash + 1) + matches.front();
}

// Offset of the last component's extension dot; npos when there is none. A space after the
// dot ends the extension candidate, as in the suite's path functions.
size_t ExtensionOffset(const std::string& path) {
  const size_t slash = path.rfind('/');
  size_t dot = std::string::npos;
  for (size_t i = slash == std::string::npos ? 0 : slash + 1; i < path.size(); ++i) {
    if (path[i] == ' ') dot = std::string::npos;
    else if (path[i] == '.') dot = i;
  }
  return dot;
}

}  // namespace

bool CTool_FileSystem::PathExists(const std::string& path) { return !FirstMatch(path).empty(); }

bool CTool_FileSystem::IsDirectory(const std::string& path) {
  return platform::StatPath(path).bDirectory;
}

bool CTool_FileSystem::AddBackslash(std::string& path) {
  // An empty path would become "/", the root directory: refuse it.
  if (path.empty()) return false;
  const std::string withSlash = platform::WithTrailingSlash(path);
  if (withSlash.size() > kMaxPathLength) return false;
  path = withSlash;
  return true;
}

std::string CTool_FileSystem::RemoveFileSpec(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return std::string();
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string CTool_FileSystem::GetExtension(const std::string& path) {
  const size_t dot = ExtensionOffset(path);
  return dot == std::string::npos ? std::string() : path.substr(dot);
}

std::string CTool_FileSystem::RemoveExtension(const std::string& path) {
  const size_t dot = ExtensionOffset(path);
  return dot == std::string::npos ? path : path.substr(0, dot);
}

std::int64_t CTool_FileSystem::GetLastWriteTime(const std::string& path) {
  const std::string match = FirstMatch(path);
  return match.empty() ? 0 : platform::StatPath(match).nLastWriteNs;
}

bool CTool_FileSystem::IsFileLocked(const std::string& path) {
  return platform::IsFileBusy(path);
}

std::string CTool_FileSystem::ConvertToUNC(const std::string& path) { return path; }

bool CTool_FileSystem::CreateDirectory(const std::string& path) {
  if (path.empty()) return false;
  if (IsDirectory(path)) return true;
  const int error = platform::MakeDirectories(path);
  if (error == 0) return true;
  FKEXCEPTION::CErrorLog::WriteErrorLog(
      FKEXCEPTION::CFKException_General(FKEXCEPTION::kErrorUnknown, error, __LINE__, "Tool_FileSystem",
                                        "CTool_FileSystem::CreateDirectory", "could not create directory " + path, ""));
  return false;
}

bool CTool_FileSystem::DeleteFile(const std::string& path) {
  const int error = platform::RemoveFile(path);
  if (error == 0) return true;
  const FKEXCEPTION::CFileError fileError{error, platform::ErrnoText(error), path};
  FKEXCEPTION::CErrorLog::WriteErrorLog(FKEXCEPTION::CFKException_General(fileError, FKEXCEPTION::kErrorDeleteFile,
                                                                          __LINE__, "Tool_FileSystem", "DeleteFileA"));
  return false;
}
