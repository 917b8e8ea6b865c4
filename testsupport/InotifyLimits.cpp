#include "testsupport/InotifyLimits.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <fstream>

namespace testsupport {

platform::CInotifyTree::AddWatchFunction LimitedAddWatch(std::atomic<int>& allowed) {
  return [&allowed](int fd, const char* path, std::uint32_t mask) {
    if (allowed.fetch_sub(1) <= 0) {
      errno = ENOSPC;
      return -1;
    }
    return inotify_add_watch(fd, path, mask);
  };
}

long OverflowableQueueLimit() {
  long limit = 0;
  std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> limit;
  return limit > 0 && limit <= 100000 ? limit : 0;
}

bool TouchFiles(const std::string& prefix, const std::string& suffix, long count) {
  for (long i = 0; i < count; ++i) {
    const int fd = open((prefix + std::to_string(i) + suffix).c_str(), O_CREAT | O_WRONLY, 0644);
    if (fd < 0) return false;
    close(fd);
  }
  return true;
}

}  // namespace testsupport
