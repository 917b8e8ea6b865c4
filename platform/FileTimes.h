#pragma once

#include <cstdint>
#include <string>

namespace platform {

// The time a file last arrived or changed, in whole seconds since 1970: the later of its
// modification time and its status-change time (set by creation, copy-in, rename and
// metadata changes). False when the file cannot be read (errorText says why).
bool GetArrivalTime(const std::string& path, std::int64_t& seconds, std::string& errorText);
// The same for name relative to an open directory (a descriptor from this folder's helpers).
bool GetArrivalTimeAt(int directoryFd, const std::string& name, std::int64_t& seconds, std::string& errorText);

}  // namespace platform

namespace platform {

// What a document's content is read against: the file's identity, size and times, taken
// before and after a read. Equal stamps mean nothing wrote or replaced the file in between.
struct FileStamp {
  bool Ok = false;
  int Error = 0;  // errno when not Ok
  bool Regular = false;  // a regular file (not a link, FIFO, device or directory)
  std::uint64_t Device = 0;
  std::uint64_t Inode = 0;
  std::int64_t Size = 0;
  std::int64_t ModifiedSeconds = 0;
  std::int64_t ModifiedNanoseconds = 0;
  std::int64_t ChangedSeconds = 0;
  std::int64_t ChangedNanoseconds = 0;
  bool operator==(const FileStamp& other) const;
  bool operator!=(const FileStamp& other) const { return !(*this == other); }
};

// The stamp of a file; a symbolic link is stamped itself, not followed.
FileStamp StampOf(const std::string& path);
// The kernel's coarse clock (whole seconds): a write that happens after this reading gets a
// modification time of this second or later.
std::int64_t FileClockSeconds();
// The precise clock (whole seconds): no write that happened before this reading has a later
// modification time. Newer kernels stamp a file from the precise clock once its times were
// looked at, which runs ahead of the coarse one by up to a tick.
std::int64_t FileClockLatestSeconds();

}  // namespace platform
