#include "platform/CFileSystemType.h"

#include <sys/statfs.h>

#include <atomic>

namespace platform {

namespace {

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
};

std::atomic<int> g_nNetworkOverride{-1};

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
