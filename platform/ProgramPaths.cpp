#include "platform/ProgramPaths.h"

#include <unistd.h>

#include <climits>

namespace platform {

std::string ExecutableDirectory() {
  char buffer[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (length <= 0) return "";
  const std::string path(buffer, static_cast<size_t>(length));
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

bool FlushFileToDisk(std::FILE* file) {
  if (file == nullptr || std::fflush(file) != 0) return false;
  return fsync(fileno(file)) == 0;
}

}  // namespace platform
