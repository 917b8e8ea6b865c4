#include "platform/FileBirth.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace platform {

bool BirthTimeNs(const std::string& path, std::int64_t& nanoseconds) {
  struct statx status {};
  if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME, &status) != 0) return false;
  if ((status.stx_mask & STATX_BTIME) == 0) return false;
  nanoseconds = static_cast<std::int64_t>(status.stx_btime.tv_sec) * 1000000000 + status.stx_btime.tv_nsec;
  return true;
}

}  // namespace platform
