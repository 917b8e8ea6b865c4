#include "platform/FileTimes.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include "platform/ErrnoText.h"

namespace platform {

bool GetArrivalTime(const std::string& path, std::int64_t& seconds, std::string& errorText) {
  return GetArrivalTimeAt(AT_FDCWD, path, seconds, errorText);
}

bool GetArrivalTimeAt(int directoryFd, const std::string& name, std::int64_t& seconds, std::string& errorText) {
  struct stat status {};
  if (fstatat(directoryFd, name.c_str(), &status, 0) != 0) {
    errorText = ErrnoText(errno);
    return false;
  }
  // Linux keeps no creation time that survives every file system; ctime is set when the
  // file is created or moved in, so a copy that kept an old mtime still counts as new.
  const std::int64_t modified = status.st_mtim.tv_sec;
  const std::int64_t changed = status.st_ctim.tv_sec;
  seconds = modified > changed ? modified : changed;
  return true;
}

bool FileStamp::operator==(const FileStamp& other) const {
  return Ok == other.Ok && Error == other.Error && Regular == other.Regular && Device == other.Device && Inode == other.Inode &&
         Size == other.Size && ModifiedSeconds == other.ModifiedSeconds &&
         ModifiedNanoseconds == other.ModifiedNanoseconds && ChangedSeconds == other.ChangedSeconds &&
         ChangedNanoseconds == other.ChangedNanoseconds;
}

FileStamp StampOf(const std::string& path) {
  FileStamp stamp;
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0) {
    stamp.Error = errno;
    return stamp;
  }
  stamp.Ok = true;
  stamp.Regular = S_ISREG(status.st_mode);
  stamp.Device = static_cast<std::uint64_t>(status.st_dev);
  stamp.Inode = static_cast<std::uint64_t>(status.st_ino);
  stamp.Size = static_cast<std::int64_t>(status.st_size);
  stamp.ModifiedSeconds = status.st_mtim.tv_sec;
  stamp.ModifiedNanoseconds = status.st_mtim.tv_nsec;
  stamp.ChangedSeconds = status.st_ctim.tv_sec;
  stamp.ChangedNanoseconds = status.st_ctim.tv_nsec;
  return stamp;
}

std::int64_t FileClockSeconds() {
  // The kernel stamps files from its coarse clock, which may lag the precise one by a tick.
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME_COARSE, &now);
  return now.tv_sec;
}

std::int64_t FileClockLatestSeconds() {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec;
}

}  // namespace platform
