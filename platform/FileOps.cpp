#include "platform/FileOps.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <boost/filesystem.hpp>

#include "platform/ErrnoText.h"

namespace platform {

namespace {

// Only '*' and '?' are wildcards in the suite's paths; '[' and ']' are ordinary characters.
std::string EscapeBrackets(const std::string& pattern) {
  std::string escaped;
  for (char c : pattern) {
    if (c == '[' || c == ']' || c == '\\') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

bool IsExistingDirectory(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// A read lease is refused (EAGAIN) while any process has the file open for writing.
// Returns 1 busy, 0 free, -1 when leases cannot tell (unsupported filesystem, not the owner).
int ProbeWritersWithLease(int fd) {
  // Should a writer open the file during the probe, the lease-break signal would be SIGIO,
  // which ends the process; SIGURG is ignored by default.
  fcntl(fd, F_SETSIG, SIGURG);
  if (fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
    fcntl(fd, F_SETLEASE, F_UNLCK);
    return 0;
  }
  return (errno == EAGAIN || errno == EBUSY) ? 1 : -1;
}

// A write lock held by another owner: a record lock (POSIX or OFD) anywhere in the file, or a
// whole-file exclusive flock. The probes are shared locks, which conflict only with writers: a
// reader holding a shared lock does not make the file busy.
bool HasForeignWriteLock(int fd) {
  struct flock lock {};
  lock.l_type = F_RDLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;
  lock.l_pid = 0;
  if (fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK) return true;
  if (flock(fd, LOCK_SH | LOCK_NB) != 0) return errno == EWOULDBLOCK;
  flock(fd, LOCK_UN);
  return false;
}

}  // namespace

FileStatus StatPath(const std::string& path) {
  FileStatus result;
  struct stat status {};
  if (path.empty() || stat(path.c_str(), &status) != 0) return result;
  result.bExists = true;
  result.bDirectory = S_ISDIR(status.st_mode);
  result.bRegular = S_ISREG(status.st_mode);
  result.nLastWriteNs = static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000LL +
                        status.st_mtim.tv_nsec;
  return result;
}

std::vector<std::string> MatchDirectoryEntries(const std::string& dir, const std::string& pattern) {
  std::vector<std::string> names;
  DIR* handle = opendir(dir.empty() ? "." : dir.c_str());
  if (handle == nullptr) return names;
  const std::string escaped = EscapeBrackets(pattern);
  while (struct dirent* entry = readdir(handle)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (fnmatch(escaped.c_str(), name.c_str(), 0) == 0) names.push_back(name);
  }
  closedir(handle);
  return names;
}

int MakeDirectories(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    const std::string parent = path.substr(0, slash);
    if (mkdir(parent.c_str(), 0777) != 0 && errno != EEXIST) return errno;
  }
  if (mkdir(path.c_str(), 0777) == 0) return 0;
  const int error = errno;
  if (error == EEXIST) return IsExistingDirectory(path) ? 0 : ENOTDIR;
  return error;
}

int RemoveFile(const std::string& path) { return unlink(path.c_str()) == 0 ? 0 : errno; }

std::string WithTrailingSlash(const std::string& path) {
  return path.empty() || path.back() == '/' ? path : path + '/';
}

std::string WithoutTrailingSlash(const std::string& path) {
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  return path.substr(0, end);
}

std::string NormalPath(const std::string& path) {
  std::string normal = WithoutTrailingSlash(boost::filesystem::path(path).lexically_normal().string());
  if (normal.size() > 2 && normal.compare(normal.size() - 2, 2, "/.") == 0) normal.resize(normal.size() - 2);
  return normal;
}

bool IsPathUnder(const std::string& path, const std::string& directory) {
  if (path == directory) return true;
  if (directory == "/") return !path.empty() && path[0] == '/';
  return path.size() > directory.size() && path.compare(0, directory.size(), directory) == 0 &&
         path[directory.size()] == '/';
}

namespace {

// 1 held by another process, 0 free, -1 not an openable regular file. A symbolic link is not
// followed: its target may lie outside the archive, and a probe takes a lock, however briefly.
int ProbeHeld(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat status {};
  int held = fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ? -1 : 0;
  if (held == 0) held = ProbeWritersWithLease(fd) == 1 || HasForeignWriteLock(fd) ? 1 : 0;
  close(fd);
  return held;
}

}  // namespace

bool IsFileBusy(const std::string& path) { return ProbeHeld(path) != 0; }

bool IsFileHeldByOther(const std::string& path) { return ProbeHeld(path) == 1; }

}  // namespace platform

namespace platform {

bool ProbeWritableFile(const std::string& path, std::string& why) {
  // Non-blocking: a FIFO put in the log's place must not hang the start.
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
  if (fd < 0) {
    why = ErrnoText(errno);
    return false;
  }
  struct stat status {};
  bool ok = fstat(fd, &status) == 0;
  if (!ok) {
    why = ErrnoText(errno);
  } else if (!S_ISREG(status.st_mode)) {
    // A device or FIFO would be renamed away by the day's rotation.
    why = "not a regular file";
    ok = false;
  } else if (ftruncate(fd, 0) != 0 || write(fd, "\n", 1) != 1 || ftruncate(fd, 0) != 0) {
    why = ErrnoText(errno);
    ok = false;
  }
  close(fd);
  return ok;
}

}  // namespace platform
