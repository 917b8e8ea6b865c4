#pragma once

#include <string>

namespace platform {

// Tells whether a path lies on a network file system (NFS, CIFS/SMB, AFS, Ceph, 9P, FUSE,
// cluster file systems...): changes made elsewhere reach no inotify watch, and SQLite's
// write-ahead log cannot be shared safely there. Any thread.
class CFileSystemType {
 public:
  // True when the file system holding path (or its nearest existing parent) is a network one.
  static bool IsNetwork(const std::string& path);
  // True for the statfs f_type magic numbers of network file systems.
  static bool IsNetworkType(long long fsType);
  // Why a directory must not be walked as a folder's directory: "/" (the whole machine, under
  // any name: a link, a bind mount),
  // /proc, /sys, /run and /dev with what lies in them, or a kernel pseudo file system.
  // "" when it may be walked (a missing directory too).
  static std::string WhyRefusedAsFolderDirectory(const std::string& directory);
  // Tests only: 1 makes every path a network one, 0 a local one, -1 asks the system again.
  static void OverrideForTests(int network);
};

}  // namespace platform
