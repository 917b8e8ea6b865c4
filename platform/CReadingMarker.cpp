#include "platform/CReadingMarker.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "platform/ErrnoText.h"

namespace platform {

namespace {

// The file holds 'R', the document's path and a NUL while a read runs; its first byte
// becomes '-' when the read ends. Paths hold no NUL, so a torn write is never taken for one.
constexpr char kReading = 'R';
constexpr char kDone = '-';

std::string ReadUnfinished(int fd) {
  std::string content;
  char buffer[4096];
  ssize_t got = 0;
  while ((got = pread(fd, buffer, sizeof buffer, static_cast<off_t>(content.size()))) > 0) {
    content.append(buffer, static_cast<size_t>(got));
  }
  const size_t end = content.find('\0');
  if (content.empty() || content[0] != kReading || end == std::string::npos || end < 2) return "";
  return content.substr(1, end - 1);
}

}  // namespace

CReadingMarker::~CReadingMarker() {
  if (m_nFd >= 0) close(m_nFd);
}

bool CReadingMarker::Open(const std::string& path, std::string& unfinished, std::string& errorText) {
  unfinished.clear();
  if (m_nFd >= 0) close(m_nFd);
  m_nFd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (m_nFd < 0) {
    errorText = ErrnoText(errno);
    return false;
  }
  unfinished = ReadUnfinished(m_nFd);
  if (ftruncate(m_nFd, 0) != 0) {
    errorText = ErrnoText(errno);
    close(m_nFd);
    m_nFd = -1;
    return false;
  }
  return true;
}

// Two writes to the page cache per document, no sync: the name must survive the process,
// not the machine.
void CReadingMarker::Begin(const std::string& document) {
  if (m_nFd < 0) return;
  std::string record(1, kReading);
  record.append(document).push_back('\0');
  if (pwrite(m_nFd, record.data(), record.size(), 0) < 0) return;
}

void CReadingMarker::End() {
  if (m_nFd < 0) return;
  if (pwrite(m_nFd, &kDone, 1, 0) < 0) return;
}

}  // namespace platform
