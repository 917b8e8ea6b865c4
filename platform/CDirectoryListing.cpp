#include "platform/CDirectoryListing.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "platform/ErrnoText.h"
#include "platform/FileTimes.h"

namespace platform {

struct CDirectoryListing::Impl {
  DIR* Dir = nullptr;
  int OpenError = 0;
};

namespace {

// Most file systems give the type with the name; only entries of file systems that do not
// need a status call. A symbolic link is never followed: it could lead out of the archive.
CDirectoryListing::Kind KindOf(int directoryFd, const dirent& entry) {
  switch (entry.d_type) {
    case DT_DIR:
      return CDirectoryListing::Kind::Directory;
    case DT_REG:
      return CDirectoryListing::Kind::File;
    case DT_UNKNOWN:
      break;
    default:
      return CDirectoryListing::Kind::Other;
  }
  struct stat own {};
  if (fstatat(directoryFd, entry.d_name, &own, AT_SYMLINK_NOFOLLOW) != 0) return CDirectoryListing::Kind::Other;
  if (S_ISDIR(own.st_mode)) return CDirectoryListing::Kind::Directory;
  if (S_ISREG(own.st_mode)) return CDirectoryListing::Kind::File;
  return CDirectoryListing::Kind::Other;
}

}  // namespace

CDirectoryListing::CDirectoryListing(const std::string& directory) : m_pImpl(std::make_unique<Impl>()) {
  m_pImpl->Dir = opendir(directory.c_str());
  if (m_pImpl->Dir == nullptr) m_pImpl->OpenError = errno;
}

CDirectoryListing::~CDirectoryListing() {
  if (m_pImpl->Dir != nullptr) closedir(m_pImpl->Dir);
}

bool CDirectoryListing::Read(std::vector<Entry>& entries, std::string& errorText) {
  if (m_pImpl->Dir == nullptr) {
    errorText = ErrnoText(m_pImpl->OpenError);
    return false;
  }
  const int fd = dirfd(m_pImpl->Dir);
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(m_pImpl->Dir);
    if (entry == nullptr) break;
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    entries.push_back(Entry{entry->d_name, KindOf(fd, *entry)});
  }
  if (errno == 0) return true;
  errorText = ErrnoText(errno);
  return false;
}

bool CDirectoryListing::GetArrivalTime(const std::string& name, std::int64_t& seconds,
                                       std::string& errorText) const {
  if (m_pImpl->Dir == nullptr) {
    errorText = ErrnoText(m_pImpl->OpenError);
    return false;
  }
  return GetArrivalTimeAt(dirfd(m_pImpl->Dir), name, seconds, errorText);
}

}  // namespace platform
