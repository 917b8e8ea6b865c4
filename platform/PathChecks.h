#pragma once

#include <string>

namespace platform {

// The path with its symbolic links resolved as far as it exists, the rest appended as written,
// in NormalPath form: two paths that reach one directory through links compare equal.
std::string ResolvedPath(const std::string& path);
// True when the system cannot take the path: longer than PATH_MAX, or a component longer than
// NAME_MAX.
bool IsPathTooLong(const std::string& path);
// The path cut for a log line, with the whole length said when it was cut.
std::string CutPathForLog(const std::string& path);

}  // namespace platform
