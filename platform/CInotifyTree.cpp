#include "platform/CInotifyTree.h"

#include <limits.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

namespace {

constexpr int kPartnerWaitMs = 20;

// The kernel queues both halves of a rename within one call, but the read may come between
// them: a batch that ends with the first half waits a moment for the second.
std::size_t ReadPartner(int inotifyFd, char* buffer, std::size_t length, std::size_t capacity) {
  const inotify_event* last = nullptr;
  for (std::size_t offset = 0; offset + sizeof(inotify_event) <= length;) {
    last = reinterpret_cast<const inotify_event*>(buffer + offset);
    offset += sizeof(inotify_event) + last->len;
  }
  if (last == nullptr || (last->mask & IN_MOVED_FROM) == 0) return 0;
  if (capacity - length < sizeof(inotify_event) + NAME_MAX + 1) return 0;
  pollfd fd = {inotifyFd, POLLIN, 0};
  if (poll(&fd, 1, kPartnerWaitMs) <= 0) return 0;
  const ssize_t more = read(inotifyFd, buffer + length, capacity - length);
  return more > 0 ? static_cast<std::size_t>(more) : 0;
}

// Joins each MovedIn to the MovedOut of its rename read in the same batch.
void PairMoves(std::vector<CInotifyTree::SEvent>& events) {
  std::vector<bool> joined(events.size(), false);
  for (std::size_t i = 0; i < events.size(); ++i) {
    CInotifyTree::SEvent& in = events[i];
    if (in.eKind != CInotifyTree::EKind::MovedIn || in.nCookie == 0) continue;
    // The half of the same root first: overlapping roots each see both halves.
    std::size_t from = i;
    for (int sameRoot = 1; sameRoot >= 0 && from == i; --sameRoot) {
      for (std::size_t j = 0; j < i; ++j) {
        const CInotifyTree::SEvent& out = events[j];
        if (!joined[j] && out.eKind == CInotifyTree::EKind::MovedOut && out.nCookie == in.nCookie &&
            out.bIsDirectory == in.bIsDirectory && (sameRoot == 0 || out.nRoot == in.nRoot)) {
          from = j;
          break;
        }
      }
    }
    if (from == i) continue;
    joined[from] = true;
    in.nFromRoot = events[from].nRoot;
    in.strFromPath = events[from].strRelativePath;
  }
  std::size_t kept = 0;
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (joined[i]) continue;
    if (kept != i) events[kept] = std::move(events[i]);
    ++kept;
  }
  events.resize(kept);
}

}  // namespace

bool CInotifyTree::IsLimit(int err) { return err == ENOSPC || err == EMFILE; }

std::string CInotifyTree::Join(const std::string& dir, const std::string& name) {
  return dir.empty() ? name : dir + "/" + name;
}

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

CInotifyTree::SResult CInotifyTree::AddRoot(const std::string& directory, SkipDirectory skip, OnRoot onRoot) {
  SResult result;
  int root = 0;
  {
    CLockGuard lock(m_Mutex);
    if (m_nInotifyFd < 0) {
      result.nErrno = EBADF;
      return result;
    }
    root = m_nNextRoot++;
    m_Roots[root] = SRoot{directory, std::move(skip), {}};
  }
  if (onRoot) onRoot(root);
  // The tree is listed outside the lock, so that events of the roots already watched go on
  // being delivered meanwhile (a large tree, a slow share).
  const int err = WatchTreeUnlocked(root, "");
  CLockGuard lock(m_Mutex);
  if (err == 0 && m_Roots.count(root) != 0) {
    WatchAncestors(root);
    result.nRoot = root;
    result.unwatched = m_Roots[root].unwatched;
    return result;
  }
  DropRoot(root);
  result.nErrno = err != 0 ? err : ENOENT;
  if (IsLimit(err)) result.eLimit = ELimit::MaxUserWatches;
  return result;
}

CInotifyTree::Unwatched CInotifyTree::RetryUnwatched(int root) {
  std::vector<std::string> dirs;
  {
    CLockGuard lock(m_Mutex);
    const auto found = m_Roots.find(root);
    if (found == m_Roots.end()) return {};
    for (const auto& entry : found->second.unwatched) dirs.push_back(entry.first);
  }
  // In map order a directory comes before what lies below it, which its walk watches too.
  for (const std::string& dir : dirs) {
    {
      CLockGuard lock(m_Mutex);
      if (m_Roots.count(root) == 0) return {};
      if (m_Roots[root].unwatched.count(dir) == 0) continue;
    }
    const int err = WatchTreeUnlocked(root, dir);
    CLockGuard lock(m_Mutex);
    if (IsLimit(err) && m_Roots.count(root) != 0) m_Roots[root].unwatched[dir] = err;
  }
  CLockGuard lock(m_Mutex);
  const auto found = m_Roots.find(root);
  return found == m_Roots.end() ? Unwatched() : found->second.unwatched;
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
      ssize_t length = read(inotifyFd, buffer, sizeof(buffer));
      if (length <= 0) break;  // EAGAIN: the queue is drained
      length += ReadPartner(inotifyFd, buffer, static_cast<std::size_t>(length), sizeof(buffer));
      std::vector<SEvent> events;
      Translate(buffer, static_cast<std::size_t>(length), events);
      for (const SEvent& event : events) m_Handler(event);
    }
  }
}

void CInotifyTree::Translate(const char* buffer, std::size_t length, std::vector<SEvent>& out) {
  CLockGuard lock(m_Mutex);
  m_RootsInPlace.clear();
  for (std::size_t offset = 0; offset + sizeof(inotify_event) <= length;) {
    const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
    const std::size_t before = out.size();
    TranslateOne(event->wd, event->mask, event->len > 0 ? event->name : "", out);
    for (std::size_t i = before; i < out.size(); ++i) {
      if (out[i].eKind == EKind::MovedOut || out[i].eKind == EKind::MovedIn) out[i].nCookie = event->cookie;
    }
    offset += sizeof(inotify_event) + event->len;
  }
  PairMoves(out);
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
  if ((mask & (IN_MOVE_SELF | IN_DELETE_SELF)) && !watch->second.ancestorOf.empty()) {
    OnAncestorGone(watch->second, out);
  }
  const auto still = m_Watches.find(wd);
  if (still == m_Watches.end()) return;
  // A copy: translating for one root may change the watches of the others' directories.
  const std::vector<SWatch> holders = still->second.holders;
  for (const SWatch& holder : holders) {
    if (m_Roots.count(holder.nRoot) != 0 && IsRootInPlace(holder.nRoot, out)) TranslateFor(holder, mask, name, out);
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
    if (isDirectory) ForgetUnwatched(root, path);
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
  } else if ((mask & IN_ATTRIB) && m_Roots[root].unwatched.count(path) != 0) {
    // Opened up (chmod, an ACL): watched now, and what it holds reported as for a new directory.
    err = WatchTree(root, path, true, out);
    if (!IsLimit(err)) err = 0;
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
  // A directory moved away while events were lost still has its watch, which would report its
  // changes under the path it left.
  DropMisplacedWatches(out);
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

}  // namespace platform
