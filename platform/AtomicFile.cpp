#include "platform/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/ErrnoText.h"

namespace platform {

namespace {

bool WriteAll(int fd, const std::string& content) {
  size_t written = 0;
  while (written < content.size()) {
    const ssize_t n = write(fd, content.data() + written, content.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    written += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool WriteFileAtomically(const std::string& path, const std::string& content, std::string& why) {
  std::vector<char> temporary(path.begin(), path.end());
  const std::string suffix = ".XXXXXX";
  temporary.insert(temporary.end(), suffix.begin(), suffix.end());
  temporary.push_back('\0');
  const int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    why = "cannot create a temporary file beside " + path + ": " + ErrnoText(errno);
    return false;
  }
  // Readers of the file are not the writer: the usual rights of a file, not mkstemp's 0600.
  bool ok = fchmod(fd, 0644) == 0 && WriteAll(fd, content) && fsync(fd) == 0;
  const int error = errno;
  ok = close(fd) == 0 && ok;
  if (ok && rename(temporary.data(), path.c_str()) == 0) return true;
  why = "cannot write " + path + ": " + ErrnoText(ok ? errno : error);
  unlink(temporary.data());
  return false;
}

}  // namespace platform
