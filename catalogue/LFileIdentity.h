#pragma once

#include <cstdint>

#include "platform/FileTimes.h"

// What tells a document's file apart besides its modification time, taken before its content
// was read: a copy that kept the old time (cp -p, rsync -t, touch -r, a rename over it) differs
// in its status-change time and mostly in its inode or size.
struct LFileIdentity {
  std::int64_t Size = 0;
  std::int64_t ChangedNs = 0;  // status-change time, nanoseconds since 1970
  std::uint64_t Inode = 0;
  std::uint64_t Device = 0;  // kept, not compared: mounts renumber devices
  static LFileIdentity Of(const platform::FileStamp& stamp) {
    return LFileIdentity{stamp.Size, stamp.ChangedSeconds * 1000000000 + stamp.ChangedNanoseconds, stamp.Inode,
                         stamp.Device};
  }
  // The same file as far as the change test tells.
  bool SameFileAs(const LFileIdentity& other) const {
    return Size == other.Size && ChangedNs == other.ChangedNs && Inode == other.Inode;
  }
};
