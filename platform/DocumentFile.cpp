#include "platform/DocumentFile.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/ErrnoText.h"

namespace platform {

namespace {

constexpr long kDefaultTextCapMb = 16;
constexpr long kLargestTextCapMb = 64;

// FK_MAX_TEXT_MB, or the default (problem says why) when it is set but unusable.
long TextCapMegabytes(std::string& problem) {
  const char* value = std::getenv("FK_MAX_TEXT_MB");
  if (value == nullptr || *value == '\0') return kDefaultTextCapMb;
  char* end = nullptr;
  errno = 0;
  const long parsed = std::strtol(value, &end, 10);
  if (*end == '\0' && errno == 0 && parsed >= 1 && parsed <= kLargestTextCapMb) return parsed;
  problem = "FK_MAX_TEXT_MB=\"" + std::string(value) + "\" is not a number from 1 to " +
            std::to_string(kLargestTextCapMb) + ": the default text cap of " + std::to_string(kDefaultTextCapMb) +
            " MiB is used";
  return kDefaultTextCapMb;
}

void ApplyTestFault(const std::string& path) {
  if (!ReadBlocksForTests(path)) return;
  for (;;) sleep(3600);
}

}  // namespace

// Honoured only when FK_DOCUMENT_READ_FAULT is "hang:PATH" and the document is PATH.
bool ReadBlocksForTests(const std::string& path) {
  static const char* const fault = std::getenv("FK_DOCUMENT_READ_FAULT");
  return fault != nullptr && std::string(fault) == "hang:" + path;
}

int OpenDocumentFile(const std::string& path, std::string& errorText) {
  // O_NONBLOCK: opening a FIFO without a writer would otherwise wait for good.
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    errorText = error == ELOOP ? "a symbolic link, not followed" : ErrnoText(error);
    return -1;
  }
  struct stat status {};
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    errorText = "not a regular file";
    close(fd);
    return -1;
  }
  return fd;
}

void CloseDocumentFile(int fd) {
  if (fd >= 0) close(fd);
}

bool ReadDocumentFile(const std::string& path, std::size_t maxBytes, std::string& content,
                      std::string& errorText) {
  return ReadDocumentFile(path, maxBytes, content, errorText, nullptr);
}

bool ReadDocumentFile(const std::string& path, std::size_t maxBytes, std::string& content, std::string& errorText,
                      const std::function<void(std::size_t)>& onProgress) {
  content.clear();
  const int fd = OpenDocumentFile(path, errorText);
  if (fd < 0) return false;
  ApplyTestFault(path);
  char buffer[65536];
  bool ok = true;
  while (content.size() < maxBytes) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      errorText = ErrnoText(errno);
      ok = false;
    }
    if (got <= 0) break;
    content.append(buffer, static_cast<std::size_t>(got));
    if (onProgress) onProgress(content.size());
  }
  close(fd);
  if (content.size() > maxBytes) content.resize(maxBytes);
  return ok;
}

std::size_t DocumentTextCap() {
  std::string problem;
  return static_cast<std::size_t>(TextCapMegabytes(problem)) << 20;
}

std::string DocumentTextCapProblem() {
  std::string problem;
  TextCapMegabytes(problem);
  return problem;
}

}  // namespace platform
