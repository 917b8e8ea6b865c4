#include "watch/CDirectoriesWatcher.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <exception>
#include <ctime>
#include <map>
#include <new>
#include <set>
#include <vector>

#include "folders/CFolderLayout.h"
#include "platform/CDirectoryListing.h"
#include "platform/CFileSystemType.h"
#include "platform/CInotifyTree.h"
#include "platform/CMutex.h"
#include "platform/ErrnoText.h"
#include "platform/FileOps.h"
#include "status/MonitorListener.h"

namespace {

using Kind = platform::CInotifyTree::EKind;
using Limit = platform::CInotifyTree::ELimit;

constexpr const char* kStopMarker = "_STOP_FKINDEXING_MONITORING_";

std::int64_t SteadyMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string LimitLine(const std::string& reference, const std::string& directory, Limit limit) {
  const std::string setting = platform::CInotifyTree::LimitSetting(limit);
  const char* example = limit == Limit::MaxUserInstances ? "1024" : "1048576";
  return ":error: Folder " + reference + ": directory " + directory + " is not watched: the kernel's limit " +
         setting + " is reached; raise it (\"sysctl -w " + setting + "=" + example +
         "\", and a file in /etc/sysctl.d to keep it): the folder is reconciled in every pass instead";
}

// Set on the reading thread while a hook runs: a stop called from a hook must not wait for
// the very delivery it is part of.
thread_local const void* t_pDelivering = nullptr;

// One watched directory of one folder.
struct SWatchedDirectory {
  SWatchedDirectory(std::string reference, std::string catalogue, std::string directory, FK::CFolderLayout layout)
      : strReference(std::move(reference)),
        strCatalogue(std::move(catalogue)),
        strDirectory(std::move(directory)),
        Layout(std::move(layout)) {}

  const std::string strReference;
  const std::string strCatalogue;
  const std::string strDirectory;  // as the folder gives it, ending in '/': every change's path starts so
  const FK::CFolderLayout Layout;
  std::string strNormal;  // set before it is shared
  int nRoot = 0;          // set before it is shared
  std::atomic<bool> bStopped{false};
  // The last change queued, for the same-second filter; the reading thread's only.
  std::string strLastPath;
  int nLastAction = 0;
  std::int64_t nLastSecond = 0;
};

}  // namespace

struct CDirectoriesWatcher::SImpl {
  explicit SImpl(SHooks givenHooks) : hooks(std::move(givenHooks)) {}

  void Deliver(const platform::CInotifyTree::SEvent& event) EXCLUDES(mutex);
  void Handle(SWatchedDirectory& directory, const platform::CInotifyTree::SEvent& event);
  void OnChange(SWatchedDirectory& directory, const platform::CInotifyTree::SEvent& event);
  void OnMove(SWatchedDirectory& directory, const platform::CInotifyTree::SEvent& event) EXCLUDES(mutex);
  void OnOverflow(SWatchedDirectory& directory, std::uint64_t overflow);
  void Forget(const SWatchedDirectory& directory) EXCLUDES(mutex);
  // fromDirectory, fromCatalogue: where the directory came from in another folder ("": nowhere known).
  void WalkMovedIn(SWatchedDirectory& directory, const std::string& relativeDir,
                   const std::string& fromDirectory = std::string(), const std::string& fromCatalogue = std::string());
  bool IsRepeat(SWatchedDirectory& directory, const std::string& path, int action);
  void Queue(const SWatchedDirectory& directory, std::string path, int action, bool isDirectory,
             std::string fromPath = std::string(), std::string fromCatalogue = std::string());
  void Say(const std::string& text) {
    if (hooks.SendStatus) hooks.SendStatus(kMessageLine, text);
  }
  bool SayOnce(const std::string& normal, const std::string& text) EXCLUDES(mutex);
  // Watches the directory's tree as a new root of the tree, started on first use.
  platform::CInotifyTree::SResult AddRoot(const std::shared_ptr<SWatchedDirectory>& watched) EXCLUDES(mutex);
  void SayNotWatched(const SWatchedDirectory& directory, const std::string& relativeDir, int err);
  // Says what below the directory is not watched yet, and what is watched again.
  EWatch ReportUnwatched(const SWatchedDirectory& directory, const platform::CInotifyTree::Unwatched& unwatched)
      EXCLUDES(mutex);

  const SHooks hooks;
  std::function<std::int64_t()> wallSeconds = [] { return static_cast<std::int64_t>(std::time(nullptr)); };
  platform::CMutex mutex;
  platform::CConditionVariable delivered;
  std::map<int, std::shared_ptr<SWatchedDirectory>> directories GUARDED_BY(mutex);  // by tree root
  std::shared_ptr<SWatchedDirectory> pDelivering GUARDED_BY(mutex);  // its hooks are being called
  std::set<std::string> said GUARDED_BY(mutex);  // directories whose "not watched" line is written
  // By tree root: the directories below it whose "is not watched" line is written.
  std::map<int, std::set<std::string>> unwatchedSaid GUARDED_BY(mutex);
  bool bStarted GUARDED_BY(mutex) = false;
  bool bStopped GUARDED_BY(mutex) = false;
  platform::CMutex stopMutex;  // one tree stop at a time
  // The overflow being reported and the folders told of it; the reading thread's only.
  std::uint64_t nOverflow = 0;
  std::set<std::string> overflowFolders;
  // Last: its thread calls into the members above, so it ends before they go.
  platform::CInotifyTree tree{[this](const platform::CInotifyTree::SEvent& event) { Deliver(event); }};
};

CDirectoriesWatcher::CDirectoriesWatcher(SHooks hooks) : m_pImpl(std::make_unique<SImpl>(std::move(hooks))) {}

CDirectoriesWatcher::~CDirectoriesWatcher() { StopAll(); }

void CDirectoriesWatcher::SetWallClockForTest(std::function<std::int64_t()> seconds) {
  m_pImpl->wallSeconds = std::move(seconds);
}

platform::CInotifyTree& CDirectoriesWatcher::TreeForTest() { return m_pImpl->tree; }

std::map<std::string, std::int64_t> CDirectoriesWatcher::WatchesByFolder() {
  std::map<int, std::string> referenceOfRoot;
  {
    platform::CLockGuard lock(m_pImpl->mutex);
    for (const auto& entry : m_pImpl->directories) referenceOfRoot[entry.first] = entry.second->strReference;
  }
  std::map<std::string, std::int64_t> counts;
  for (const auto& root : m_pImpl->tree.WatchesByRoot()) {
    const auto it = referenceOfRoot.find(root.first);
    if (it != referenceOfRoot.end()) counts[it->second] += static_cast<std::int64_t>(root.second);
  }
  return counts;
}

namespace {

// A stop marker left by an older service would otherwise lie in the archive for good.
void DeleteStopMarkers(const std::string& directory, bool archive, const FK::CFolderLayout& layout) {
  platform::RemoveFile(directory + kStopMarker);
  if (!archive) return;
  std::vector<platform::CDirectoryListing::Entry> entries;
  std::string errorText;
  if (!platform::CDirectoryListing(directory).Read(entries, errorText)) return;
  for (const auto& entry : entries) {
    if (entry.Type == platform::CDirectoryListing::Kind::Directory && !layout.IsLeftOutDirectory(entry.Name)) {
      platform::RemoveFile(directory + entry.Name + "/" + kStopMarker);
    }
  }
}

}  // namespace

CDirectoriesWatcher::EWatch CDirectoriesWatcher::WatchFolder(const std::string& directory, const FK::CFolder& folder,
                                                             const std::string& catalogue) {
  SImpl& impl = *m_pImpl;
  const std::string reference = folder.GetReference();
  const std::string normal = platform::NormalPath(directory);
  const platform::FileStatus status = platform::StatPath(directory);
  if (directory.empty() || !status.bExists || !status.bDirectory) return EWatch::Missing;
  // Every change's path starts with the directory as the folder gives it, as the walks' do.
  const std::string given = platform::WithTrailingSlash(directory);
  if (platform::CFileSystemType::IsNetwork(directory)) {
    impl.SayOnce(normal, "Folder " + reference + ": directory " + given +
                             " lies on a network file system, where changes made by other machines are not seen:"
                             " it is reconciled in every pass instead of watched");
    return EWatch::NotWatchable;
  }
  const bool archive = platform::NormalPath(folder.GetArchivePath()) == normal;
  const FK::CFolderLayout layout(folder, catalogue, directory);
  DeleteStopMarkers(given, archive, layout);
  auto watched = std::make_shared<SWatchedDirectory>(reference, catalogue, given, layout);
  watched->strNormal = normal;

  std::shared_ptr<SWatchedDirectory> existing;
  {
    platform::CLockGuard lock(impl.mutex);
    if (impl.bStopped) return EWatch::NotWatchable;
    for (const auto& entry : impl.directories) {
      if (entry.second->strReference == reference && entry.second->strNormal == normal) existing = entry.second;
    }
  }
  if (existing) return impl.ReportUnwatched(*existing, impl.tree.RetryUnwatched(existing->nRoot));
  const platform::CInotifyTree::SResult result = impl.AddRoot(watched);
  if (result.Ok()) return impl.ReportUnwatched(*watched, result.unwatched);
  if (result.nErrno == ENOENT || result.nErrno == ENOTDIR) return EWatch::Missing;
  if (result.eLimit != Limit::None) {
    impl.SayOnce(normal, LimitLine(reference, given, result.eLimit));
  } else {
    impl.SayOnce(normal, ":error: Folder " + reference + ": directory " + given + " cannot be watched: " +
                             platform::ErrnoText(result.nErrno) + ": it is reconciled in every pass instead");
  }
  return EWatch::NotWatchable;
}

platform::CInotifyTree::SResult CDirectoriesWatcher::SImpl::AddRoot(const std::shared_ptr<SWatchedDirectory>& watched) {
  platform::CInotifyTree::SResult result;
  {
    platform::CLockGuard lock(mutex);
    if (bStopped) {
      result.nErrno = EBADF;
      return result;
    }
    if (!bStarted) {
      result = tree.Start();
      bStarted = result.Ok();
      if (!bStarted) return result;
    }
  }
  // The tree is walked with no lock of ours held, and the root is known before its first
  // event can arrive. The skip test only reads the layout's copy.
  const FK::CFolderLayout layout = watched->Layout;
  result = tree.AddRoot(
      platform::WithoutTrailingSlash(watched->strDirectory),
      [layout](const std::string& relativeDir) { return layout.IsLeftOutDirectory(relativeDir); },
      [this, &watched](int root) {
        platform::CLockGuard lock(mutex);
        watched->nRoot = root;
        directories[root] = watched;
      });
  if (!result.Ok()) {
    platform::CLockGuard lock(mutex);
    const auto found = directories.find(watched->nRoot);
    if (found != directories.end() && found->second == watched) directories.erase(found);
  }
  return result;
}

void CDirectoriesWatcher::StopWatchingFolder(const FK::CFolder& folder) {
  SImpl& impl = *m_pImpl;
  const std::string reference = folder.GetReference();
  std::vector<int> roots;
  {
    platform::CLockGuard lock(impl.mutex);
    for (auto it = impl.directories.begin(); it != impl.directories.end();) {
      if (it->second->strReference == reference) {
        it->second->bStopped = true;
        roots.push_back(it->first);
        impl.unwatchedSaid.erase(it->first);
        it = impl.directories.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const int root : roots) impl.tree.RemoveRoot(root);
  if (t_pDelivering == &impl) return;
  platform::CLockGuard lock(impl.mutex);
  while (impl.pDelivering && impl.pDelivering->strReference == reference) {
    impl.delivered.WaitUntil(lock, std::chrono::steady_clock::now() + std::chrono::seconds(1));
  }
}

void CDirectoriesWatcher::StopAll() {
  SImpl& impl = *m_pImpl;
  {
    platform::CLockGuard lock(impl.mutex);
    impl.bStopped = true;
    for (const auto& entry : impl.directories) entry.second->bStopped = true;
    impl.directories.clear();
  }
  // From a hook the thread cannot join itself: the destructor's stop ends it.
  if (t_pDelivering == &impl) return;
  platform::CLockGuard lock(impl.stopMutex);
  impl.tree.Stop();
}

bool CDirectoriesWatcher::SImpl::SayOnce(const std::string& normal, const std::string& text) {
  {
    platform::CLockGuard lock(mutex);
    if (!said.insert(normal).second) return false;
  }
  Say(text);
  return true;
}

namespace {

std::string UnwatchedPath(const SWatchedDirectory& directory, const std::string& relativeDir) {
  return relativeDir.empty() ? directory.strDirectory : directory.strDirectory + relativeDir + "/";
}

}  // namespace

void CDirectoriesWatcher::SImpl::SayNotWatched(const SWatchedDirectory& directory, const std::string& relativeDir,
                                               int err) {
  {
    platform::CLockGuard lock(mutex);
    if (!unwatchedSaid[directory.nRoot].insert(relativeDir).second) return;
  }
  Say(":error: Folder " + directory.strReference + ": directory " + UnwatchedPath(directory, relativeDir) +
      " is not watched: " + platform::ErrnoText(err) +
      ": the folder is reconciled in every pass until it can be watched");
}

CDirectoriesWatcher::EWatch CDirectoriesWatcher::SImpl::ReportUnwatched(
    const SWatchedDirectory& directory, const platform::CInotifyTree::Unwatched& unwatched) {
  std::vector<std::string> again;
  {
    platform::CLockGuard lock(mutex);
    std::set<std::string>& saidOfRoot = unwatchedSaid[directory.nRoot];
    for (auto it = saidOfRoot.begin(); it != saidOfRoot.end();) {
      if (unwatched.count(*it) != 0) {
        ++it;
        continue;
      }
      again.push_back(*it);
      it = saidOfRoot.erase(it);
    }
  }
  for (const std::string& relative : again) {
    const std::string path = UnwatchedPath(directory, relative);
    // One that went meanwhile is not watched, and its line is not due again.
    if (platform::StatPath(path).bExists) Say("Folder " + directory.strReference + ": directory " + path + " is watched again");
  }
  for (const auto& entry : unwatched) SayNotWatched(directory, entry.first, entry.second);
  return unwatched.empty() ? EWatch::Watched : EWatch::Partly;
}

void CDirectoriesWatcher::SImpl::Deliver(const platform::CInotifyTree::SEvent& event) {
  std::shared_ptr<SWatchedDirectory> directory;
  {
    platform::CLockGuard lock(mutex);
    const auto found = directories.find(event.nRoot);
    if (bStopped || found == directories.end()) return;  // stopped meanwhile
    directory = found->second;
    pDelivering = directory;
  }
  t_pDelivering = this;
  try {
    Handle(*directory, event);
  } catch (const std::exception& error) {
    // Nothing may end the reading thread: the folder's next reconciliation catches up.
    try {
      if (hooks.NeedsReconcile) hooks.NeedsReconcile(directory->strReference, false);
      Say(":error: Folder " + directory->strReference + ": a change could not be handled (" + error.what() +
          "): the folder is reconciled again");
    } catch (const std::bad_alloc&) {
      // Out of memory even for the line: the reconciliation asked for first is what counts.
    }
  }
  t_pDelivering = nullptr;
  platform::CLockGuard lock(mutex);
  pDelivering.reset();
  delivered.NotifyAll();
}

void CDirectoriesWatcher::SImpl::Handle(SWatchedDirectory& directory, const platform::CInotifyTree::SEvent& event) {
  switch (event.eKind) {
    case Kind::Overflow:
      OnOverflow(directory, event.nOverflow);
      return;
    case Kind::RootGone:
      // Forgotten, so that the folder's next start watches it again once it is back.
      Forget(directory);
      Say(":error: Folder " + directory.strReference + ": watched directory " + directory.strDirectory +
          " is gone (deleted, moved or unmounted): it is no longer watched, and the folder is reconciled again");
      if (hooks.NeedsReconcile) hooks.NeedsReconcile(directory.strReference, false);
      return;
    case Kind::NotWatched:
      SayNotWatched(directory, event.strRelativePath, event.nErrno);
      if (hooks.NeedsReconcile) hooks.NeedsReconcile(directory.strReference, true);
      return;
    case Kind::WatchLimit:
      Forget(directory);
      Say(LimitLine(directory.strReference, directory.strDirectory, event.eLimit));
      if (hooks.NeedsReconcile) hooks.NeedsReconcile(directory.strReference, true);
      return;
    default:
      OnChange(directory, event);
  }
}

void CDirectoriesWatcher::SImpl::OnOverflow(SWatchedDirectory& directory, std::uint64_t overflow) {
  // The kernel dropped events of every watch of the instance: nothing tells which documents
  // changed, so every folder is reconciled, each once per overflow.
  if (overflow != nOverflow) {
    nOverflow = overflow;
    overflowFolders.clear();
  }
  if (!overflowFolders.insert(directory.strReference).second) return;
  Say(":error: Folder " + directory.strReference +
      ": changes were lost (the kernel's queue of change events overflowed): the folder is reconciled again");
  if (hooks.NeedsReconcile) hooks.NeedsReconcile(directory.strReference, false);
}

void CDirectoriesWatcher::SImpl::Forget(const SWatchedDirectory& directory) {
  platform::CLockGuard lock(mutex);
  const auto found = directories.find(directory.nRoot);
  if (found != directories.end() && found->second.get() == &directory) directories.erase(found);
  unwatchedSaid.erase(directory.nRoot);
}

// Wanted on both sides: a document (or directory) that keeps its catalogue moves its entries.
void CDirectoriesWatcher::SImpl::OnMove(SWatchedDirectory& directory, const platform::CInotifyTree::SEvent& event) {
  std::shared_ptr<SWatchedDirectory> from;
  {
    platform::CLockGuard lock(mutex);
    const auto found = directories.find(event.nFromRoot);
    if (found != directories.end()) from = found->second;
  }
  const auto wanted = [&](const SWatchedDirectory& side, const std::string& relative) {
    return !relative.empty() && !side.bStopped &&
           (event.bIsDirectory ? !side.Layout.IsLeftOutDirectory(relative) : side.Layout.IsDocument(relative));
  };
  const bool fromWanted = from && wanted(*from, event.strFromPath);
  platform::CInotifyTree::SEvent half = event;
  half.nFromRoot = -1;
  if (fromWanted && from->strCatalogue == directory.strCatalogue && wanted(directory, event.strRelativePath)) {
    FileChange change;
    change.strPath = directory.strDirectory + event.strRelativePath;
    change.strFromPath = from->strDirectory + event.strFromPath;
    change.nAction = kActionRenamedNew;
    change.nQueuedAt = SteadyMilliseconds();
    change.strCatalogue = directory.strCatalogue;
    change.strReference = directory.strReference;
    change.bDirectory = event.bIsDirectory;
    if (hooks.Enqueue) hooks.Enqueue(std::move(change));
    // What the catalogue lacks of a directory (documents still queued under the old path) is
    // read; what it holds is found unchanged.
    if (event.bIsDirectory) WalkMovedIn(directory, event.strRelativePath);
    return;
  }
  if (fromWanted) {
    platform::CInotifyTree::SEvent out = half;
    out.eKind = Kind::MovedOut;
    out.nRoot = event.nFromRoot;
    out.strRelativePath = event.strFromPath;
    OnChange(*from, out);
  }
  if (fromWanted && wanted(directory, event.strRelativePath)) {
    // Moved in from another folder: its catalogue keeps the text of a PDF for this one to take.
    const std::string fromPath = from->strDirectory + event.strFromPath;
    if (event.bIsDirectory) {
      WalkMovedIn(directory, event.strRelativePath, fromPath, from->strCatalogue);
    } else {
      Queue(directory, directory.strDirectory + event.strRelativePath, kActionRenamedNew, false, fromPath,
            from->strCatalogue);
    }
    return;
  }
  OnChange(directory, half);
}

void CDirectoriesWatcher::SImpl::OnChange(SWatchedDirectory& directory, const platform::CInotifyTree::SEvent& event) {
  if (event.nFromRoot >= 0) {
    OnMove(directory, event);
    return;
  }
  const std::string& relative = event.strRelativePath;
  if (relative.empty() || directory.bStopped) return;
  // The stop marker of an older service is no document either.
  const FK::CFolderLayout& layout = directory.Layout;
  if (event.bIsDirectory ? layout.IsLeftOutDirectory(relative) : !layout.IsDocument(relative)) return;
  std::string path = directory.strDirectory + relative;
  if (event.bIsDirectory) {
    // A directory that left takes every document below it along; one that arrived brings its
    // documents, which no event reports. A created one is listed by the tree itself.
    if (event.eKind == Kind::Deleted) Queue(directory, path + "/", kActionRemoved, true);
    if (event.eKind == Kind::MovedOut) Queue(directory, path + "/", kActionRenamedOld, true);
    if (event.eKind == Kind::MovedIn) WalkMovedIn(directory, relative);
    return;
  }
  const int action = static_cast<int>(event.eKind);
  if (IsRepeat(directory, path, action)) return;
  Queue(directory, std::move(path), action, false);
}

bool CDirectoriesWatcher::SImpl::IsRepeat(SWatchedDirectory& directory, const std::string& path, int action) {
  // A save usually comes as "added" and "modified" in one second: the document is read after
  // its settling delay anyway, so the second change adds nothing.
  const std::int64_t second = wallSeconds();
  if (path == directory.strLastPath && second == directory.nLastSecond &&
      (action == directory.nLastAction || (directory.nLastAction == kActionAdded && action == kActionModified))) {
    return true;
  }
  directory.strLastPath = path;
  directory.nLastAction = action;
  directory.nLastSecond = second;
  return false;
}

void CDirectoriesWatcher::SImpl::Queue(const SWatchedDirectory& directory, std::string path, int action,
                                       bool isDirectory, std::string fromPath, std::string fromCatalogue) {
  if (!hooks.Enqueue) return;
  FileChange change;
  change.strPath = std::move(path);
  change.strFromPath = std::move(fromPath);
  change.strFromCatalogue = std::move(fromCatalogue);
  change.nAction = action;
  change.nQueuedAt = SteadyMilliseconds();
  change.strCatalogue = directory.strCatalogue;
  change.strReference = directory.strReference;
  change.bDirectory = isDirectory;
  hooks.Enqueue(std::move(change));
}

void CDirectoriesWatcher::SImpl::WalkMovedIn(SWatchedDirectory& directory, const std::string& relativeDir,
                                             const std::string& fromDirectory, const std::string& fromCatalogue) {
  using EntryKind = platform::CDirectoryListing::Kind;
  // The tree watched the directory before it reported it: whatever lands in it from now on
  // comes as events, whatever was there is found here (a document may come both ways).
  std::vector<std::string> pending{relativeDir};
  while (!pending.empty() && !directory.bStopped) {
    const std::string dir = pending.back();
    pending.pop_back();
    std::vector<platform::CDirectoryListing::Entry> entries;
    std::string errorText;
    if (!platform::CDirectoryListing(directory.strDirectory + dir).Read(entries, errorText)) {
      if (platform::StatPath(directory.strDirectory + dir).bExists) {
        Say(":sub: :error: Cannot list directory " + directory.strDirectory + dir + "/: " + errorText +
            ": the folder " + directory.strReference + " is reconciled again");
        if (hooks.NeedsReconcile) hooks.NeedsReconcile(directory.strReference, false);
      }
      continue;  // gone again: its departure is an event of its own
    }
    for (const auto& entry : entries) {
      const std::string relative = dir + "/" + entry.Name;
      if (entry.Type == EntryKind::Directory && !directory.Layout.IsLeftOutDirectory(relative)) {
        pending.push_back(relative);
      } else if (entry.Type == EntryKind::File && directory.Layout.IsDocument(relative)) {
        const std::string fromPath =
            fromDirectory.empty() ? std::string() : fromDirectory + relative.substr(relativeDir.size());
        Queue(directory, directory.strDirectory + relative, kActionAdded, false, fromPath, fromCatalogue);
      }
    }
  }
}
