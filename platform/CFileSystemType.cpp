#include "platform/CFileSystemType.h"

#include <sys/stat.h>
#include <sys/statfs.h>

#include <atomic>
#include <climits>
#include <cstdlib>

namespace platform {

namespace {

// File systems whose contents other machines or processes change without inotify seeing it.
// Magic numbers from linux/magic.h and the file systems' own sources.
constexpr long long kNetworkMagics[] = {
    0x6969,      // NFS
    0x517B,      // SMB
    0xFF534D42,  // CIFS
    0xFE534D42,  // SMB2
    0x564C,      // NCP
    0x5346414F,  // AFS (OpenAFS)
    0x6B414653,  // kAFS
    0x73757245,  // CODA
    0x00C36400,  // Ceph
    0x01021997,  // 9P (v9fs)
    0x013111A8,  // IBRIX
    0x47504653,  // GPFS
    0x0BD00BD0,  // Lustre
    0x65735546,  // FUSE and fuseblk: sshfs, rclone, GlusterFS, virtiofs, s3fs...
    0x01161970,  // GFS2 (cluster)
    0x7461636F,  // OCFS2 (cluster)
    0x20030528,  // OrangeFS / PVFS2
    0x19830326,  // BeeGFS
    0xAAD7AAEA,  // PanFS
    0x786F4256,  // VirtualBox shared folder
    0x61636673,  // ACFS (cluster)
    0xBEEFDEAD,  // StorNext
};

// Kernel file systems whose "files" are processes, devices and settings, never documents.
constexpr long long kPseudoMagics[] = {
    0x9FA0,      // proc
    0x62656572,  // sysfs
    0x1CD1,      // devpts
    0x0027E0EB,  // cgroup
    0x63677270,  // cgroup2
    0x64626720,  // debugfs
    0x74726163,  // tracefs
    0x73636673,  // securityfs
    0x6165676C,  // pstore
    0xCAFE4A11,  // bpf
    0x62656570,  // configfs
    0xDE5E81E4,  // efivarfs
    0x19800202,  // mqueue
    0x42494E4D,  // binfmt_misc
    0x65735543,  // fusectl
    0x958458F6,  // hugetlbfs
    0xF97CFF8C,  // selinuxfs
    0x6E736673,  // nsfs
};

// Trees that are refused with everything below them. /dev is not among them: /dev/shm is
// a tmpfs of its own where files are kept; /dev's own file system is refused below.
const char* const kRefusedTrees[] = {"/proc", "/sys", "/run"};

std::atomic<int> g_nNetworkOverride{-1};

bool IsInTree(const std::string& path, const std::string& tree) {
  return path == tree || path.compare(0, tree.size() + 1, tree + "/") == 0;
}

bool SameFileSystem(const std::string& a, const std::string& b) {
  struct stat first {};
  struct stat second {};
  return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev;
}

// The same directory by device and inode: a bind mount of "/" is "/" under another name.
bool SameDirectory(const std::string& a, const std::string& b) {
  struct stat first {};
  struct stat second {};
  return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
         first.st_ino == second.st_ino;
}

std::string ParentOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

bool CFileSystemType::IsNetworkType(long long fsType) {
  // f_type is a signed word on some ABIs: compare the low 32 bits.
  const long long type = fsType & 0xFFFFFFFFLL;
  for (long long magic : kNetworkMagics) {
    if (type == magic) return true;
  }
  return false;
}

std::string CFileSystemType::WhyRefusedAsFolderDirectory(const std::string& directory) {
  // "/srv/..", "//" or a link to "/" are the root as well: judge the resolved path.
  char resolved[PATH_MAX];
  if (directory.empty() || realpath(directory.c_str(), resolved) == nullptr) return "";
  const std::string path(resolved);
  if (path == "/" || SameDirectory(path, "/")) return "it is the root directory: the whole machine would be catalogued";
  for (const char* tree : kRefusedTrees) {
    if (IsInTree(path, tree)) return std::string("it lies in ") + tree + ", a system directory";
  }
  if (path == "/dev" || SameFileSystem(path, "/dev")) return "it lies in /dev, a system directory";
  struct statfs info {};
  if (statfs(path.c_str(), &info) == 0) {
    const long long type = static_cast<long long>(info.f_type) & 0xFFFFFFFFLL;
    for (long long magic : kPseudoMagics) {
      if (type == magic) return "it lies on a kernel pseudo file system";
    }
  }
  return "";
}

void CFileSystemType::OverrideForTests(int network) { g_nNetworkOverride = network; }

bool CFileSystemType::IsNetwork(const std::string& path) {
  if (g_nNetworkOverride >= 0) return g_nNetworkOverride == 1;
  // A catalogue's database may not exist yet: ask about the nearest existing parent.
  std::string probe = path.empty() ? std::string(".") : path;
  for (int depth = 0; depth < 64; ++depth) {
    struct statfs info {};
    if (statfs(probe.c_str(), &info) == 0) return IsNetworkType(static_cast<long long>(info.f_type));
    const std::string parent = ParentOf(probe);
    if (parent == probe) break;
    probe = parent;
  }
  return false;
}

}  // namespace platform
