#pragma once

#include <fcntl.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <fstream>
#include <string>

#include "platform/CInotifyTree.h"

namespace testsupport {

// An add-watch that fails with ENOSPC once `allowed` watches are spent, like a kernel at its limit.
inline platform::CInotifyTree::AddWatchFunction LimitedAddWatch(std::atomic<int>& allowed) {
  return [&allowed](int fd, const char* path, std::uint32_t mask) {
    if (allowed.fetch_sub(1) <= 0) {
      errno = ENOSPC;
      return -1;
    }
    return inotify_add_watch(fd, path, mask);
  };
}

// The kernel's queue length of change events when small enough to overflow in a test, else 0.
inline long OverflowableQueueLimit() {
  long limit = 0;
  std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> limit;
  return limit > 0 && limit <= 100000 ? limit : 0;
}

// Creates `count` empty files named prefix<i>suffix; each queues a creation and a close after writing.
inline bool TouchFiles(const std::string& prefix, const std::string& suffix, long count) {
  for (long i = 0; i < count; ++i) {
    const int fd = open((prefix + std::to_string(i) + suffix).c_str(), O_CREAT | O_WRONLY, 0644);
    if (fd < 0) return false;
    close(fd);
  }
  return true;
}

}  // namespace testsupport
