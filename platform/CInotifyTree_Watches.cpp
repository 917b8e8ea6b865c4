// The watch bookkeeping of CInotifyTree: which directory each watch descriptor stands for, under
// which roots and paths, and the directories that could not be watched.
#include "platform/CInotifyTree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iterator>

#include "platform/FileOps.h"

namespace platform {

namespace {

// IN_ONLYDIR and IN_DONT_FOLLOW: a path that became a file or a symbolic link since it was listed
// is refused by the kernel instead of being watched in place of the directory.
constexpr std::uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_CLOSE_WRITE | IN_MOVED_FROM |
                                     IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR |
                                     IN_DONT_FOLLOW;
// A directory above a root only tells its own rename or removal. IN_MASK_ADD: it may be a
// watched directory of another root, whose mask must stay whole.
constexpr std::uint32_t kAncestorMask = IN_MOVE_SELF | IN_DELETE_SELF | IN_MASK_ADD | IN_DONT_FOLLOW;

// The root itself may be given as a link to its directory; below it links are not followed.
std::uint32_t MaskFor(const std::string& relativeDir) {
  return relativeDir.empty() ? (kWatchMask & ~IN_DONT_FOLLOW) : kWatchMask;
}

// The path is gone again or no longer a directory: its parent reports that.
bool IsGone(int err) { return err == ENOENT || err == ENOTDIR || err == ELOOP; }

// d_type is DT_UNKNOWN on some file systems; lstat never follows a link.
bool IsRealDirectory(int dirFd, const dirent* entry) {
  if (entry->d_type != DT_UNKNOWN) return entry->d_type == DT_DIR;
  struct stat info {};
  return fstatat(dirFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

int CInotifyTree::WatchTree(int root, const std::string& relativeDir, bool reportContents,
                            std::vector<SEvent>& out) {
  std::vector<std::string> pending{relativeDir};
  while (!pending.empty()) {
    const std::string dir = pending.back();
    pending.pop_back();
    int err = 0;
    const int dirFd = WatchDirectory(root, dir, err, out);
    if (err != 0 && (IsLimit(err) || dir == relativeDir)) return err;
    if (dirFd >= 0) ListDirectory(dirFd, root, dir, reportContents, pending, out);
  }
  return 0;
}

int CInotifyTree::WatchTreeUnlocked(int root, const std::string& relativeDir) {
  std::vector<std::string> pending{relativeDir};
  std::vector<SEvent> unused;
  while (!pending.empty()) {
    const std::string dir = pending.back();
    pending.pop_back();
    int err = 0;
    int dirFd = -1;
    {
      CLockGuard lock(m_Mutex);
      // Stopped, or the root removed or gone meanwhile: nothing of it is to be watched.
      if (m_nInotifyFd < 0 || m_Roots.count(root) == 0) return ENOENT;
      dirFd = WatchDirectory(root, dir, err, unused);
    }
    if (err != 0 && (IsLimit(err) || dir == relativeDir)) return err;
    // Listed without the lock: the watch is recorded already, so an entry made meanwhile is
    // either listed here or reported by the reading thread, which watches a new directory.
    if (dirFd >= 0) ListDirectory(dirFd, root, dir, false, pending, unused);
  }
  return 0;
}

int CInotifyTree::WatchDirectory(int root, const std::string& dir, int& err, std::vector<SEvent>& out) {
  const SRoot& watchedRoot = m_Roots[root];
  if (!dir.empty() && watchedRoot.skip && watchedRoot.skip(dir)) return -1;
  const std::string fullPath = dir.empty() ? watchedRoot.strPath : watchedRoot.strPath + "/" + dir;
  const int wd = m_AddWatch(m_nInotifyFd, fullPath.c_str(), MaskFor(dir));
  if (wd < 0) {
    err = errno;
    if (!IsLimit(err) && !dir.empty()) NoteUnwatched(root, dir, err, out);
    return -1;
  }
  // Opened after the watch exists, so nothing created meanwhile is missed; the identity of
  // what was listed is what the watch stands for.
  const int dirFd = open(fullPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (dir.empty() ? 0 : O_NOFOLLOW));
  struct stat info {};
  if (dirFd < 0 || fstat(dirFd, &info) != 0) {
    const int openErr = errno;
    if (dirFd >= 0) close(dirFd);
    if (m_Watches.count(wd) == 0) inotify_rm_watch(m_nInotifyFd, wd);
    NoteUnwatched(root, dir, openErr, out);
    return -1;
  }
  HoldWatch(wd, root, dir, info.st_dev, info.st_ino);
  m_Roots[root].unwatched.erase(dir);
  return dirFd;
}

void CInotifyTree::ListDirectory(int dirFd, int root, const std::string& dir, bool reportContents,
                                 std::vector<std::string>& pending, std::vector<SEvent>& out) {
  DIR* listing = fdopendir(dirFd);
  if (listing == nullptr) {
    close(dirFd);
    return;
  }
  while (const dirent* entry = readdir(listing)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    const bool isDirectory = IsRealDirectory(dirfd(listing), entry);
    const std::string path = Join(dir, entry->d_name);
    if (reportContents) out.push_back(SEvent{root, path, EKind::Created, isDirectory, ELimit::None});
    if (isDirectory) pending.push_back(path);
  }
  closedir(listing);
}

void CInotifyTree::NoteUnwatched(int root, const std::string& relativeDir, int err, std::vector<SEvent>& out) {
  Unwatched& unwatched = m_Roots[root].unwatched;
  if (IsGone(err)) {
    unwatched.erase(relativeDir);
    return;
  }
  unwatched[relativeDir] = err;
  // A chmod that opens the directory is told to its parent's watch (to its own when it is the
  // root). Only there: on every watch, attribute changes would double the events of a deletion.
  const size_t slash = relativeDir.rfind('/');
  const std::string parent = slash == std::string::npos ? "" : relativeDir.substr(0, slash);
  if (unwatched.count(parent) == 0 || relativeDir.empty()) {
    const std::string& rootPath = m_Roots[root].strPath;
    const std::string parentPath = parent.empty() ? rootPath : rootPath + "/" + parent;
    const int wd = inotify_add_watch(m_nInotifyFd, parentPath.c_str(), MaskFor(parent) | IN_ATTRIB);
    if (wd >= 0 && m_Watches.count(wd) == 0) inotify_rm_watch(m_nInotifyFd, wd);
  }
  SEvent event{root, relativeDir, EKind::NotWatched, true, ELimit::None};
  event.nErrno = err;
  out.push_back(event);
}

void CInotifyTree::ForgetUnwatched(int root, const std::string& relativeDir) {
  Unwatched& unwatched = m_Roots[root].unwatched;
  for (auto it = unwatched.begin(); it != unwatched.end();) {
    it = IsPathUnder(it->first, relativeDir) ? unwatched.erase(it) : std::next(it);
  }
}

void CInotifyTree::WatchAncestors(int root) {
  // Renaming a directory above the root moves the root away from its path without an event
  // of the root's own; one watch per directory is shared by every root below it. "/" never moves.
  SRoot& watched = m_Roots[root];
  struct stat info {};
  if (stat(watched.strPath.c_str(), &info) == 0) {
    watched.nDevice = info.st_dev;
    watched.nInode = info.st_ino;
  }
  std::string path = NormalPath(watched.strPath);
  for (size_t slash = path.rfind('/'); slash != std::string::npos && slash > 0; slash = path.rfind('/')) {
    path.resize(slash);
    const int wd = m_AddWatch(m_nInotifyFd, path.c_str(), kAncestorMask);
    if (wd >= 0) {
      m_Watches[wd].ancestorOf.insert(root);
    } else {
      watched.bAncestorUnwatched = true;
    }
  }
}

bool CInotifyTree::IsRootInPlace(int root, std::vector<SEvent>& out) {
  const SRoot& watched = m_Roots[root];
  if (!watched.bAncestorUnwatched || m_RootsInPlace.count(root) != 0) return true;
  // The events read were all made before this look: if the root has left its path now, none
  // of them can be told from the old tree's, and the consumer's reconciliation catches up.
  struct stat info {};
  if (stat(watched.strPath.c_str(), &info) == 0 && static_cast<std::uint64_t>(info.st_dev) == watched.nDevice &&
      static_cast<std::uint64_t>(info.st_ino) == watched.nInode) {
    m_RootsInPlace.insert(root);
    return true;
  }
  out.push_back(SEvent{root, "", EKind::RootGone, true, ELimit::None});
  DropRoot(root);
  return false;
}

void CInotifyTree::OnAncestorGone(const SWatchedInode& inode, std::vector<SEvent>& out) {
  const std::set<int> below = inode.ancestorOf;  // DropRoot changes it
  for (const int root : below) {
    if (m_Roots.count(root) == 0) continue;
    out.push_back(SEvent{root, "", EKind::RootGone, true, ELimit::None});
    DropRoot(root);
  }
}

void CInotifyTree::DropMisplacedWatches(std::vector<SEvent>& out) {
  std::set<int> gone;
  for (auto& entry : m_Watches) {
    SWatchedInode& inode = entry.second;
    for (auto holder = inode.holders.begin(); holder != inode.holders.end();) {
      const auto root = m_Roots.find(holder->nRoot);
      const bool isRoot = holder->strRelativeDir.empty();
      struct stat info {};
      if (root != m_Roots.end()) {
        const std::string path = isRoot ? root->second.strPath : root->second.strPath + "/" + holder->strRelativeDir;
        const int rc = isRoot ? stat(path.c_str(), &info) : lstat(path.c_str(), &info);
        if (rc == 0 && static_cast<std::uint64_t>(info.st_dev) == inode.nDevice &&
            static_cast<std::uint64_t>(info.st_ino) == inode.nInode) {
          ++holder;
          continue;
        }
      }
      if (isRoot) gone.insert(holder->nRoot);
      holder = inode.holders.erase(holder);
    }
  }
  for (auto it = m_Watches.begin(); it != m_Watches.end();) {
    if (it->second.holders.empty() && it->second.ancestorOf.empty()) {
      inotify_rm_watch(m_nInotifyFd, it->first);
      it = m_Watches.erase(it);
    } else {
      ++it;
    }
  }
  for (const int root : gone) {
    if (m_Roots.count(root) == 0) continue;
    out.push_back(SEvent{root, "", EKind::RootGone, true, ELimit::None});
    DropRoot(root);
  }
}

void CInotifyTree::HoldWatch(int wd, int root, const std::string& relativeDir, std::uint64_t device,
                             std::uint64_t inode) {
  // Watching the same directory again returns its existing descriptor; after lost events it
  // may be known under an older name, which its new one replaces.
  SWatchedInode& watched = m_Watches[wd];
  watched.nDevice = device;
  watched.nInode = inode;
  std::vector<SWatch>& holders = watched.holders;
  for (SWatch& holder : holders) {
    if (holder.nRoot == root) {
      holder.strRelativeDir = relativeDir;
      return;
    }
  }
  holders.push_back(SWatch{root, relativeDir});
}

void CInotifyTree::UnwatchWhere(int root, const std::function<bool(const std::string&)>& test) {
  for (auto it = m_Watches.begin(); it != m_Watches.end();) {
    std::vector<SWatch>& holders = it->second.holders;
    for (auto holder = holders.begin(); holder != holders.end();) {
      holder = holder->nRoot == root && test(holder->strRelativeDir) ? holders.erase(holder) : holder + 1;
    }
    if (holders.empty() && it->second.ancestorOf.empty()) {
      inotify_rm_watch(m_nInotifyFd, it->first);
      it = m_Watches.erase(it);
    } else {
      ++it;
    }
  }
}

void CInotifyTree::UnwatchSubtree(int root, const std::string& relativeDir) {
  ForgetUnwatched(root, relativeDir);
  UnwatchWhere(root, [&relativeDir](const std::string& dir) { return IsPathUnder(dir, relativeDir); });
}

void CInotifyTree::DropRoot(int root) {
  for (auto& entry : m_Watches) entry.second.ancestorOf.erase(root);
  UnwatchWhere(root, [](const std::string&) { return true; });
  m_Roots.erase(root);
}

std::map<int, std::size_t> CInotifyTree::WatchesByRoot() {
  CLockGuard lock(m_Mutex);
  std::map<int, std::size_t> counts;
  for (const auto& watched : m_Watches) {
    for (const SWatch& holder : watched.second.holders) ++counts[holder.nRoot];
  }
  return counts;
}

}  // namespace platform
