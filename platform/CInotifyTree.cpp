#include "platform/CInotifyTree.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/FileOps.h"

namespace platform {

namespace {

// IN_ONLYDIR and IN_DONT_FOLLOW: a path that became a file or a symbolic link since it was listed
// is refused by the kernel instead of being watched in place of the directory.
constexpr std::uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_CLOSE_WRITE | IN_MOVED_FROM |
                                     IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR |
                                     IN_DONT_FOLLOW;

std::string Join(const std::string& dir, const std::string& name) {
  return dir.empty() ? name : dir + "/" + name;
}

bool IsLimit(int err) { return err == ENOSPC || err == EMFILE; }

// d_type is DT_UNKNOWN on some file systems; lstat never follows a link.
bool IsRealDirectory(int dirFd, const dirent* entry) {
  if (entry->d_type != DT_UNKNOWN) return entry->d_type == DT_DIR;
  struct stat info {};
  return fstatat(dirFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

CInotifyTree::CInotifyTree(Handler handler) : m_Handler(std::move(handler)) {
  m_AddWatch = [](int fd, const char* path, std::uint32_t mask) {
    return inotify_add_watch(fd, path, mask);
  };
}

CInotifyTree::~CInotifyTree() { Stop(); }

const char* CInotifyTree::LimitSetting(ELimit limit) {
  switch (limit) {
    case ELimit::MaxUserWatches: return "fs.inotify.max_user_watches";
    case ELimit::MaxUserInstances: return "fs.inotify.max_user_instances";
    case ELimit::None: break;
  }
  return "";
}

CInotifyTree::SResult CInotifyTree::Start() {
  SResult result;
  const int inotifyFd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (inotifyFd < 0) {
    result.nErrno = errno;
    if (IsLimit(result.nErrno)) result.eLimit = ELimit::MaxUserInstances;
    return result;
  }
  m_nWakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (m_nWakeFd < 0) {
    result.nErrno = errno;
    close(inotifyFd);
    return result;
  }
  {
    CLockGuard lock(m_Mutex);
    m_nInotifyFd = inotifyFd;
  }
  m_Thread = std::thread([this, inotifyFd] { Read(inotifyFd); });
  return result;
}

CInotifyTree::SResult CInotifyTree::AddRoot(const std::string& directory, SkipDirectory skip) {
  SResult result;
  CLockGuard lock(m_Mutex);
  if (m_nInotifyFd < 0) {
    result.nErrno = EBADF;
    return result;
  }
  const int root = m_nNextRoot++;
  m_Roots[root] = SRoot{directory, std::move(skip)};
  std::vector<SEvent> unused;
  const int err = WatchTree(root, "", false, unused);
  if (err != 0) {
    DropRoot(root);
    result.nErrno = err;
    if (IsLimit(err)) result.eLimit = ELimit::MaxUserWatches;
    return result;
  }
  result.nRoot = root;
  return result;
}

void CInotifyTree::RemoveRoot(int root) {
  CLockGuard lock(m_Mutex);
  DropRoot(root);
}

void CInotifyTree::Stop() {
  if (m_Thread.joinable()) {
    m_bStop = true;
    Wake();
    m_Thread.join();
  }
  CLockGuard lock(m_Mutex);
  if (m_nInotifyFd >= 0) close(m_nInotifyFd);
  if (m_nWakeFd >= 0) close(m_nWakeFd);
  m_nInotifyFd = m_nWakeFd = -1;
  m_Roots.clear();
  m_Watches.clear();
}

void CInotifyTree::SetAddWatchForTest(AddWatchFunction addWatch) {
  CLockGuard lock(m_Mutex);
  m_AddWatch = std::move(addWatch);
}

void CInotifyTree::SetReadingPausedForTest(bool paused) {
  m_bPaused = paused;
  Wake();
}

void CInotifyTree::Wake() {
  const std::uint64_t one = 1;
  if (m_nWakeFd >= 0 && write(m_nWakeFd, &one, sizeof(one)) < 0) {
    // An eventfd write only fails on counter overflow; the thread is awake anyway.
  }
}

void CInotifyTree::Read(int inotifyFd) {
  alignas(inotify_event) char buffer[64 * 1024];
  while (!m_bStop) {
    // Paused (tests only), the inotify descriptor is left out so the thread still blocks.
    const bool paused = m_bPaused;
    pollfd fds[2] = {{m_nWakeFd, POLLIN, 0}, {inotifyFd, static_cast<short>(paused ? 0 : POLLIN), 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents != 0) {
      std::uint64_t count = 0;
      if (read(m_nWakeFd, &count, sizeof(count)) < 0) {
        // Nothing to reset: another wake-up already did.
      }
      continue;
    }
    while (!m_bStop && !m_bPaused) {
      const ssize_t length = read(inotifyFd, buffer, sizeof(buffer));
      if (length <= 0) break;  // EAGAIN: the queue is drained
      std::vector<SEvent> events;
      Translate(buffer, static_cast<std::size_t>(length), events);
      for (const SEvent& event : events) m_Handler(event);
    }
  }
}

void CInotifyTree::Translate(const char* buffer, std::size_t length, std::vector<SEvent>& out) {
  CLockGuard lock(m_Mutex);
  for (std::size_t offset = 0; offset + sizeof(inotify_event) <= length;) {
    const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
    TranslateOne(event->wd, event->mask, event->len > 0 ? event->name : "", out);
    offset += sizeof(inotify_event) + event->len;
  }
}

void CInotifyTree::TranslateOne(int wd, std::uint32_t mask, const char* name,
                                std::vector<SEvent>& out) {
  if (mask & IN_Q_OVERFLOW) {
    OnOverflow(out);
    return;
  }
  const auto watch = m_Watches.find(wd);
  // Events of a watch already ended (a removed root, a directory moved out) are stale.
  if (watch == m_Watches.end()) return;
  // A copy: translating for one root may change the watches of the others' directories.
  const std::vector<SWatch> holders = watch->second;
  for (const SWatch& holder : holders) {
    if (m_Roots.count(holder.nRoot) != 0) TranslateFor(holder, mask, name, out);
  }
  if (mask & IN_IGNORED) {
    // The kernel ended this watch itself (its directory was deleted); the parent reported it.
    m_Watches.erase(wd);
  }
}

void CInotifyTree::TranslateFor(const SWatch& holder, std::uint32_t mask, const char* name,
                                std::vector<SEvent>& out) {
  const int root = holder.nRoot;
  if (mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED)) {
    if (holder.strRelativeDir.empty()) {
      out.push_back(SEvent{root, "", EKind::RootGone, true, ELimit::None});
      DropRoot(root);
    }
    return;
  }
  const std::string path = Join(holder.strRelativeDir, name);
  const bool isDirectory = (mask & IN_ISDIR) != 0;
  int err = 0;
  if (mask & IN_CREATE) {
    out.push_back(SEvent{root, path, EKind::Created, isDirectory, ELimit::None});
    // Files may have been created in the new directory before its watch exists: the listing
    // that follows the watch reports them.
    if (isDirectory) err = WatchTree(root, path, true, out);
    if (!IsLimit(err)) err = 0;  // the directory went again: its deletion follows
  } else if (mask & IN_DELETE) {
    out.push_back(SEvent{root, path, EKind::Deleted, isDirectory, ELimit::None});
  } else if (mask & IN_CLOSE_WRITE) {
    out.push_back(SEvent{root, path, EKind::Written, isDirectory, ELimit::None});
  } else if (mask & IN_MOVED_FROM) {
    // The watches would follow the directory wherever it went; a rename within the root
    // watches it again under its new name with the IN_MOVED_TO that follows.
    if (isDirectory) UnwatchSubtree(root, path);
    out.push_back(SEvent{root, path, EKind::MovedOut, isDirectory, ELimit::None});
  } else if (mask & IN_MOVED_TO) {
    // Watched before it is reported, so the consumer's walk misses nothing created meanwhile.
    if (isDirectory) err = WatchTree(root, path, false, out);
    if (!IsLimit(err)) err = 0;
    out.push_back(SEvent{root, path, EKind::MovedIn, isDirectory, ELimit::None});
  }
  if (err != 0) {
    DropRoot(root);
    out.push_back(SEvent{root, "", EKind::WatchLimit, true, ELimit::MaxUserWatches});
  }
}

void CInotifyTree::OnOverflow(std::vector<SEvent>& out) {
  // Directories created while events were lost have no watch yet: walk every root again so
  // they do before the consumer's reconciliation starts.
  const std::uint64_t overflow = ++m_nOverflows;
  std::vector<int> roots;
  for (const auto& entry : m_Roots) roots.push_back(entry.first);
  for (const int root : roots) {
    std::vector<SEvent> unused;
    const int err = WatchTree(root, "", false, unused);
    if (IsLimit(err)) {
      DropRoot(root);
      out.push_back(SEvent{root, "", EKind::WatchLimit, true, ELimit::MaxUserWatches});
    } else {
      out.push_back(SEvent{root, "", EKind::Overflow, true, ELimit::None, overflow});
    }
  }
}

int CInotifyTree::WatchTree(int root, const std::string& relativeDir, bool reportContents,
                            std::vector<SEvent>& out) {
  const std::string rootPath = m_Roots[root].strPath;
  const SkipDirectory skip = m_Roots[root].skip;
  std::vector<std::string> pending{relativeDir};
  while (!pending.empty()) {
    const std::string dir = pending.back();
    pending.pop_back();
    if (!dir.empty() && skip && skip(dir)) continue;
    const std::string fullPath = dir.empty() ? rootPath : rootPath + "/" + dir;
    // The root itself may be given as a link to its directory; below it links are not followed.
    const std::uint32_t mask = dir.empty() ? (kWatchMask & ~IN_DONT_FOLLOW) : kWatchMask;
    const int wd = m_AddWatch(m_nInotifyFd, fullPath.c_str(), mask);
    if (wd < 0) {
      const int err = errno;
      if (IsLimit(err) || dir == relativeDir) return err;
      continue;  // gone again, or no longer a directory: its parent reports that
    }
    HoldWatch(wd, root, dir);
    DIR* listing = opendir(fullPath.c_str());
    if (listing == nullptr) continue;
    while (const dirent* entry = readdir(listing)) {
      if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
      const bool isDirectory = IsRealDirectory(dirfd(listing), entry);
      const std::string path = Join(dir, entry->d_name);
      if (reportContents) out.push_back(SEvent{root, path, EKind::Created, isDirectory, ELimit::None});
      if (isDirectory) pending.push_back(path);
    }
    closedir(listing);
  }
  return 0;
}

void CInotifyTree::HoldWatch(int wd, int root, const std::string& relativeDir) {
  // Watching the same directory again returns its existing descriptor; after lost events it
  // may be known under an older name, which its new one replaces.
  std::vector<SWatch>& holders = m_Watches[wd];
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
    std::vector<SWatch>& holders = it->second;
    for (auto holder = holders.begin(); holder != holders.end();) {
      holder = holder->nRoot == root && test(holder->strRelativeDir) ? holders.erase(holder) : holder + 1;
    }
    if (holders.empty()) {
      inotify_rm_watch(m_nInotifyFd, it->first);
      it = m_Watches.erase(it);
    } else {
      ++it;
    }
  }
}

void CInotifyTree::UnwatchSubtree(int root, const std::string& relativeDir) {
  UnwatchWhere(root, [&relativeDir](const std::string& dir) { return IsPathUnder(dir, relativeDir); });
}

void CInotifyTree::DropRoot(int root) {
  UnwatchWhere(root, [](const std::string&) { return true; });
  m_Roots.erase(root);
}

}  // namespace platform
