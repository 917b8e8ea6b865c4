#include "platform/LockProbe.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "platform/ErrnoText.h"

namespace platform {

LockState ProbeFileLock(const std::string& path, std::string& why) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) return LockState::Missing;
    why = "cannot open " + path + ": " + ErrnoText(errno);
    return LockState::Unknown;
  }
  LockState state = LockState::Free;
  int result = 0;
  do {
    result = flock(fd, LOCK_SH | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    state = errno == EWOULDBLOCK ? LockState::Held : LockState::Unknown;
    if (state == LockState::Unknown) why = "cannot test the lock " + path + ": " + ErrnoText(errno);
  }
  close(fd);  // also releases the shared lock
  return state;
}

}  // namespace platform
