#include "platform/CNamedFileLock.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/ErrnoText.h"

namespace platform {

namespace {

const char kDefaultLockDirectory[] = "/run/lock/fkindexingservice";
const size_t kMaxFileName = 255;

std::uint64_t Fnv1a(const std::string& text, std::uint64_t seed) {
  std::uint64_t hash = seed;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ULL;
  }
  return hash;
}

}  // namespace

CNamedFileLock::CNamedFileLock(const std::string& name) : m_Name(name) {}

CNamedFileLock::~CNamedFileLock() {
  Unlock();
  if (m_nFd >= 0) close(m_nFd);
}

std::unique_ptr<CNamedFileLock> CNamedFileLock::AtPath(const std::string& path) {
  auto lock = std::make_unique<CNamedFileLock>(path);
  lock->m_Path = path;
  return lock;
}

std::string CNamedFileLock::LockDirectory() {
  const char* overridden = std::getenv("FK_LOCK_DIR");
  return overridden != nullptr && *overridden != '\0' ? overridden : kDefaultLockDirectory;
}

std::string CNamedFileLock::FileNameFor(const std::string& name) {
  std::string fileName = name;
  for (char& c : fileName) {
    if (c == '/') c = '_';
  }
  if (fileName.size() <= kMaxFileName) return fileName;
  // Two FNV-1a hashes of the whole name keep distinct catalogues apart; the readable head
  // tells the operator whose lock it is.
  char hash[40];
  std::snprintf(hash, sizeof hash, "~%016llx%016llx",
                static_cast<unsigned long long>(Fnv1a(name, 14695981039346656037ULL)),
                static_cast<unsigned long long>(Fnv1a(name, 0x84222325cbf29ce4ULL)));
  return fileName.substr(0, kMaxFileName - 33) + hash;
}

bool CNamedFileLock::Open() {
  if (m_nFd >= 0) return true;
  if (!m_Path.empty()) {
    m_nFd = open(m_Path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    // flock needs no write access: a lock file left by a run with more rights still serves.
    if (m_nFd < 0 && (errno == EACCES || errno == EROFS)) m_nFd = open(m_Path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (m_nFd < 0) m_LastError = m_Path + ": " + ErrnoText(errno);
    return m_nFd >= 0;
  }
  const std::string directory = LockDirectory();
  if (mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST) {
    m_LastError = directory + ": " + ErrnoText(errno);
    return false;
  }
  const std::string path = directory + "/" + FileNameFor(m_Name);
  // The lock directory may be writable by others: never follow a link planted there.
  m_nFd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (m_nFd < 0) m_LastError = path + ": " + ErrnoText(errno);
  return m_nFd >= 0;
}

bool CNamedFileLock::TryLock() {
  if (m_bLocked) return true;
  if (!Open()) return false;
  int result;
  do {
    result = flock(m_nFd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    m_bHeldElsewhere = errno == EWOULDBLOCK;
    m_LastError = m_bHeldElsewhere ? "held by another process" : ErrnoText(errno);
    return false;
  }
  m_bHeldElsewhere = false;
  m_bLocked = true;
  return true;
}

void CNamedFileLock::Unlock() {
  if (!m_bLocked) return;
  flock(m_nFd, LOCK_UN);
  m_bLocked = false;
}

}  // namespace platform
