#pragma once

#include <cstdint>
#include <string>

// File, directory and path helpers shared by every subsystem. Stateless: every member is
// static and may run on any thread. Paths are UTF-8 with '/' separators.
class CTool_FileSystem {
 public:
  // True when at least one file or directory matches; '*' and '?' in the last component match.
  static bool PathExists(const std::string& path);
  static bool IsDirectory(const std::string& path);
  // Appends '/' unless present; false (path unchanged) for an empty or over-long path.
  static bool AddBackslash(std::string& path);
  // The path without its last component: "/a/b.xml" gives "/a", "/a" gives "/".
  static std::string RemoveFileSpec(const std::string& path);
  // The last component's extension with its dot, letter case kept; "" when none.
  static std::string GetExtension(const std::string& path);
  static std::string RemoveExtension(const std::string& path);
  // Last-write time of the first match in nanoseconds since 1970 (UTC); 0 when nothing matches.
  static std::int64_t GetLastWriteTime(const std::string& path);
  // True when another process has the file open for writing or holds a lock on it,
  // and when the file does not exist or cannot be opened.
  static bool IsFileLocked(const std::string& path);
  // Paths have no drive letters here: the path is already its network form.
  static std::string ConvertToUNC(const std::string& path);
  // Creates the directory with its parents; a failure writes an error record (code 0).
  static bool CreateDirectory(const std::string& path);
  // Deletes one file; a failure writes an error record (code 4010).
  static bool DeleteFile(const std::string& path);
};
