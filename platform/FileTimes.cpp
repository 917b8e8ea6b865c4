#include "platform/FileTimes.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

#include "platform/ErrnoText.h"

namespace platform {

bool GetArrivalTime(const std::string& path, std::int64_t& seconds, std::string& errorText) {
  return GetArrivalTimeAt(AT_FDCWD, path, seconds, errorText);
}

bool GetArrivalTimeAt(int directoryFd, const std::string& name, std::int64_t& seconds, std::string& errorText) {
  struct stat status {};
  if (fstatat(directoryFd, name.c_str(), &status, 0) != 0) {
    errorText = ErrnoText(errno);
    return false;
  }
  // Linux keeps no creation time that survives every file system; ctime is set when the
  // file is created or moved in, so a copy that kept an old mtime still counts as new.
  const std::int64_t modified = status.st_mtim.tv_sec;
  const std::int64_t changed = status.st_ctim.tv_sec;
  seconds = modified > changed ? modified : changed;
  return true;
}

}  // namespace platform
