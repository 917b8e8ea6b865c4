#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/CMutex.h"

namespace platform {

// Watches whole directory trees (roots) through one inotify instance read by one thread of its
// own. Sub-directories are watched as they appear; symbolic links are never followed (but a root
// given as a link to a directory is watched). Roots may overlap or repeat: an event is reported
// to every root that holds its directory. Start, AddRoot, RemoveRoot and Stop may be called from
// any thread except the handler's; the handler runs on the watcher's thread, one event at a time,
// with no lock held (it may call AddRoot and RemoveRoot, never Stop).
class CInotifyTree {
 public:
  // The first five are the change actions; the numbers are the consumer's.
  enum class EKind : int {
    Created = 1,
    Deleted = 2,
    Written = 3,   // closed after writing
    MovedOut = 4,  // a rename within a root comes as MovedOut then MovedIn
    MovedIn = 5,   // a directory moved in is not listed: the consumer walks it
    Overflow = 6,    // the kernel queue overflowed: changes of this root were lost
    RootGone = 7,    // the root directory was deleted, moved or unmounted; it is no longer watched
    WatchLimit = 8,  // the watch limit was reached; the root is no longer watched (see eLimit)
    // A directory below the root cannot be watched or listed (nErrno says why, EACCES mostly):
    // nothing in it is reported until RetryUnwatched or a change of its attributes (a chmod
    // that opens it) watches it; its contents are then reported as created.
    NotWatched = 9,
  };

  // Which per-user kernel limit was reached.
  enum class ELimit { None, MaxUserWatches, MaxUserInstances };

  struct SEvent {
    int nRoot = 0;
    std::string strRelativePath;  // "" for the root itself and the root-wide kinds
    EKind eKind = EKind::Created;
    bool bIsDirectory = false;
    ELimit eLimit = ELimit::None;  // set with WatchLimit
    std::uint64_t nOverflow = 0;   // with Overflow: which one (every root reports each once)
    int nErrno = 0;                // with NotWatched
    std::uint32_t nCookie = 0;     // with MovedOut and MovedIn: the kernel's pairing of a rename
    // A MovedIn whose MovedOut (same cookie) was read with it: that half is not reported on its
    // own; it stands here (root and path relative to it).
    int nFromRoot = -1;
    std::string strFromPath = std::string();
  };
  // Directories of a root that could not be watched or listed: relative path -> errno.
  using Unwatched = std::map<std::string, int>;

  // The outcome of Start or AddRoot: nRoot (AddRoot only) is valid when nErrno is 0.
  struct SResult {
    int nRoot = 0;
    int nErrno = 0;
    ELimit eLimit = ELimit::None;  // set when nErrno is a kernel limit (ENOSPC, EMFILE)
    Unwatched unwatched;           // AddRoot: directories below the root left unwatched
    bool Ok() const { return nErrno == 0; }
  };

  using Handler = std::function<void(const SEvent&)>;
  // Tells which sub-directories of a root are neither watched nor listed (nor anything below
  // them), by their path relative to the root. Called on any thread, sometimes with the tree's
  // lock held: it must only look at the path.
  using SkipDirectory = std::function<bool(const std::string& relativeDir)>;
  // Given a new root's number before its first watch exists (on AddRoot's thread, no lock
  // held), so that the consumer knows the root when its first events arrive.
  using OnRoot = std::function<void(int root)>;
  // inotify_add_watch's signature; tests replace it to reach the watch limit.
  using AddWatchFunction = std::function<int(int fd, const char* path, std::uint32_t mask)>;

  explicit CInotifyTree(Handler handler);
  ~CInotifyTree();  // stops
  CInotifyTree(const CInotifyTree&) = delete;
  CInotifyTree& operator=(const CInotifyTree&) = delete;

  // The sysctl that raises a limit ("fs.inotify.max_user_watches"); "" for None.
  static const char* LimitSetting(ELimit limit);

  // Opens the instance and starts the thread. Call once, before AddRoot.
  SResult Start();
  // Watches the directory and every existing sub-directory that skip (when given) lets through;
  // existing files are not reported. On the watch limit nothing of the root stays watched.
  // The directories above the root are watched for their own rename or removal, which takes
  // the root away from its path (reported as RootGone). Events of the root may be delivered
  // before it returns; a root that fails is removed again.
  SResult AddRoot(const std::string& directory, SkipDirectory skip = nullptr, OnRoot onRoot = nullptr);
  // Tries again to watch the root's directories that could not be; their contents are not
  // reported (the caller walks them). Returns those still unwatched.
  Unwatched RetryUnwatched(int root);
  // Ends all watches of the root. An event of it already being delivered may still arrive.
  void RemoveRoot(int root);
  // The watches each root holds now (a directory held by two roots counts for both).
  std::map<int, std::size_t> WatchesByRoot() EXCLUDES(m_Mutex);
  // Ends the thread at once (an event being delivered is completed), joins it and closes.
  void Stop();

  // Test hooks. The add-watch function is set before Start. A paused reader leaves the kernel
  // queue unread until it is resumed.
  void SetAddWatchForTest(AddWatchFunction addWatch);
  void SetReadingPausedForTest(bool paused);

 private:
  struct SRoot {
    std::string strPath;
    SkipDirectory skip;
    Unwatched unwatched;
    // A directory above it could not be watched (not readable): its rename is found by the
    // root's identity (device and inode, when it was added) no longer being at its path.
    bool bAncestorUnwatched = false;
    std::uint64_t nDevice = 0;
    std::uint64_t nInode = 0;
  };
  struct SWatch {
    int nRoot = 0;
    std::string strRelativeDir;
  };
  // What a watch descriptor stands for: one directory (device and inode, recorded when it was
  // watched), the roots that hold it under their paths, and the roots it lies above.
  struct SWatchedInode {
    std::uint64_t nDevice = 0;
    std::uint64_t nInode = 0;
    std::vector<SWatch> holders;
    std::set<int> ancestorOf;
  };

  static std::string Join(const std::string& dir, const std::string& name);
  static bool IsLimit(int err);  // a kernel limit (ENOSPC, EMFILE)
  void Read(int inotifyFd);
  void Translate(const char* buffer, std::size_t length, std::vector<SEvent>& out) EXCLUDES(m_Mutex);
  void TranslateOne(int wd, std::uint32_t mask, const char* name, std::vector<SEvent>& out)
      REQUIRES(m_Mutex);
  void TranslateFor(const SWatch& holder, std::uint32_t mask, const char* name, std::vector<SEvent>& out)
      REQUIRES(m_Mutex);
  void OnOverflow(std::vector<SEvent>& out) REQUIRES(m_Mutex);
  // Lets go of every watch whose directory no longer sits at the path a root holds it under;
  // a root whose own directory moved is reported gone.
  void DropMisplacedWatches(std::vector<SEvent>& out) REQUIRES(m_Mutex);
  void OnAncestorGone(const SWatchedInode& inode, std::vector<SEvent>& out) REQUIRES(m_Mutex);
  void WatchAncestors(int root) REQUIRES(m_Mutex);
  // False (and the root reported gone) when the root's directory left its path; asked once
  // per read of events, for roots with a directory above them unwatched.
  bool IsRootInPlace(int root, std::vector<SEvent>& out) REQUIRES(m_Mutex);
  void NoteUnwatched(int root, const std::string& relativeDir, int err, std::vector<SEvent>& out)
      REQUIRES(m_Mutex);
  void ForgetUnwatched(int root, const std::string& relativeDir) REQUIRES(m_Mutex);
  // Watches relativeDir of the root and everything below it; with reportContents, each entry
  // found is reported as created. Returns the errno of a kernel limit, or of relativeDir
  // itself failing; 0 when it is watched.
  int WatchTree(int root, const std::string& relativeDir, bool reportContents,
                std::vector<SEvent>& out) REQUIRES(m_Mutex);
  // The same without reporting, taking the lock only to watch each directory; ENOENT when the
  // root went meanwhile.
  int WatchTreeUnlocked(int root, const std::string& relativeDir) EXCLUDES(m_Mutex);
  // Watches one directory and opens it for listing: its descriptor, or -1 when it is skipped or
  // fails (err is set when its watch failed).
  int WatchDirectory(int root, const std::string& dir, int& err, std::vector<SEvent>& out) REQUIRES(m_Mutex);
  // Lists the opened directory (and closes it): sub-directories go to pending.
  static void ListDirectory(int dirFd, int root, const std::string& dir, bool reportContents,
                            std::vector<std::string>& pending, std::vector<SEvent>& out);
  void HoldWatch(int wd, int root, const std::string& relativeDir, std::uint64_t device, std::uint64_t inode)
      REQUIRES(m_Mutex);
  // Lets go of the root's watches that pass the test; a watch no other root holds is ended.
  void UnwatchWhere(int root, const std::function<bool(const std::string&)>& test) REQUIRES(m_Mutex);
  void UnwatchSubtree(int root, const std::string& relativeDir) REQUIRES(m_Mutex);
  void DropRoot(int root) REQUIRES(m_Mutex);
  void Wake();

  const Handler m_Handler;
  CMutex m_Mutex;
  int m_nInotifyFd GUARDED_BY(m_Mutex) = -1;  // owned
  int m_nWakeFd = -1;  // owned; eventfd, set before the thread starts and closed after the join
  int m_nNextRoot GUARDED_BY(m_Mutex) = 1;
  std::map<int, SRoot> m_Roots GUARDED_BY(m_Mutex);
  // By watch descriptor: every root that holds the directory (the kernel gives one descriptor
  // per directory and instance, however often it is added).
  std::unordered_map<int, SWatchedInode> m_Watches GUARDED_BY(m_Mutex);
  std::uint64_t m_nOverflows GUARDED_BY(m_Mutex) = 0;
  std::set<int> m_RootsInPlace GUARDED_BY(m_Mutex);  // found in place during this read
  AddWatchFunction m_AddWatch GUARDED_BY(m_Mutex);
  std::atomic<bool> m_bStop{false};
  std::atomic<bool> m_bPaused{false};
  std::thread m_Thread;
};

}  // namespace platform
