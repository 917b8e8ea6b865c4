#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "flush/FileChange.h"
#include "folders/CFolder.h"

namespace platform {
class CInotifyTree;
}

// Turns file-system change notifications of the monitored folders' directories into queued
// document changes. Each folder directory is watched whole, new sub-directories included, but
// for what the walks leave out (FK::CFolderLayout): no change of a non-document or of anything
// in a left-out directory is queued, nor a repeat of the same change to the same path in the
// same second. Any thread may call any member. The hooks are called on the watcher's one reading thread with no
// lock of the watcher held; StopWatchingFolder and StopAll wait for a hook call in progress,
// so their callers must not hold a lock the hooks take.
class CDirectoriesWatcher {
 public:
  struct SHooks {
    // An accepted change, ready to be queued for its catalogue.
    std::function<void(FileChange change)> Enqueue;
    // The folder must be reconciled again: once (changes were lost: the kernel queue
    // overflowed, a watched directory went away and may come back), or in every pass from now
    // on (a kernel watch limit was reached, or a directory below cannot be watched, until
    // WatchFolder answers Watched). Called on the watcher's thread.
    std::function<void(const std::string& reference, bool everyPass)> NeedsReconcile;
    // A line for the activity log (kind, text).
    std::function<void(int kind, const std::string& text)> SendStatus;
  };
  enum class EWatch {
    Watched,      // changes of the directory are reported from now on
    Missing,      // the directory does not exist (nothing watched)
    NotWatchable,  // a network file system or a kernel watch limit (said in the log): the
                   // folder must be reconciled in every pass instead
    Partly         // watched, but directories below it cannot be yet (said in the log): the
                   // folder is reconciled in every pass until WatchFolder answers Watched
  };

  explicit CDirectoriesWatcher(SHooks hooks);
  ~CDirectoriesWatcher();  // StopAll
  CDirectoriesWatcher(const CDirectoriesWatcher&) = delete;
  CDirectoriesWatcher& operator=(const CDirectoriesWatcher&) = delete;

  // Watches one directory of the folder (its path as GetFolderDirectories gives it) for the
  // catalogue. A directory already watched is not watched twice, but what below it could not
  // be watched is tried again. A leftover "_STOP_FKINDEXING_MONITORING_" in it is deleted.
  EWatch WatchFolder(const std::string& directory, const FK::CFolder& folder, const std::string& catalogue);
  // Stops watching every directory of the folder with this reference.
  void StopWatchingFolder(const FK::CFolder& folder);
  // Stops watching everything and ends the reading thread; later WatchFolder calls watch
  // nothing (they answer NotWatchable).
  void StopAll();

  // Tests: the wall clock (whole seconds) that tells same-second repeats apart, set before
  // watching starts; and the inotify tree, to pause its reading or limit its watches (the
  // tree starts with the first WatchFolder).
  // Any thread: the inotify watches each folder holds now, by reference.
  std::map<std::string, std::int64_t> WatchesByFolder();
  void SetWallClockForTest(std::function<std::int64_t()> seconds);
  platform::CInotifyTree& TreeForTest();

 private:
  struct SImpl;
  std::unique_ptr<SImpl> m_pImpl;
};
