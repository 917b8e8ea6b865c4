#include "platform/MappedDocument.h"

#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/ErrnoText.h"

namespace platform {

MappedDocument::~MappedDocument() {
  if (m_pData != nullptr) munmap(m_pData, m_nSize);
}

bool MappedDocument::Map(int fd, std::string& errorText, bool& outOfMemory) {
  outOfMemory = false;
  struct stat status;
  if (fstat(fd, &status) != 0) {
    errorText = ErrnoText(errno);
    return false;
  }
  if (!S_ISREG(status.st_mode) || status.st_size <= 0) {
    errorText = "empty or not a regular file";
    return false;
  }
  m_nSize = static_cast<std::size_t>(status.st_size);
  void* data = mmap(nullptr, m_nSize, PROT_READ, MAP_PRIVATE, fd, 0);
  if (data == MAP_FAILED) {
    outOfMemory = errno == ENOMEM;
    errorText = ErrnoText(errno);
    m_nSize = 0;
    return false;
  }
  m_pData = data;
  return true;
}

}  // namespace platform
