#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "flush/FileChange.h"
#include "platform/CMutex.h"

class CCatalogueLayout;
class CChangeFlusher;
class CDirectoriesWatcher;
class CEnginePacing;
class CPdfReaderQueue;
class CStatusLines;
class Dom_FolderList;
struct CEngineParameters;
namespace FK {
class CFolder;
}

// The monitoring sessions of the watched folders: the directory watcher, whose changes go to
// the flush workers of each catalogue, and the folders they ask to reconcile again. Made by the
// engine in monitoring mode; the worker calls it, the watch and flush threads call back. The
// status lines, pacing and layout are the engine's and outlive it.
class CFolderSessions {
 public:
  CFolderSessions(const CEngineParameters& parameters, std::shared_ptr<CPdfReaderQueue> pdfReaders,
                  CStatusLines& status, CEnginePacing& pacing, const CCatalogueLayout& layout);
  ~CFolderSessions();
  CFolderSessions(const CFolderSessions&) = delete;
  CFolderSessions& operator=(const CFolderSessions&) = delete;

  CChangeFlusher& Flusher() { return *m_pFlusher; }
  // Watches the folder's directories; false when one of them is not watched (the folder is
  // then reconciled in every pass), with why in polledReason when given.
  bool Watch(const FK::CFolder& folder, const std::string& catalogue, std::string* polledReason = nullptr);
  // Any thread: the changes of the catalogue queued and not yet committed.
  std::int64_t QueuedCount(const std::string& catalogue);
  // Any thread: the inotify watches each folder holds, by reference.
  std::map<std::string, std::int64_t> WatchesByFolder();
  // Ends the watches and the flush queue of a folder (its queued changes are dropped).
  void StopFolder(const FK::CFolder& folder);
  // Folders the watcher asked to reconcile are taken again by the next pass of the list.
  void TakeReconcileRequests(Dom_FolderList& folderList);
  // Any thread: ends every watch and every flush worker.
  void StopAll();

 private:
  // Why a directory the watcher did not take (an EWatch) is kept by passes instead.
  static std::string PolledReason(int watch, const std::string& directory);
  // The watcher's hooks (its thread).
  void OnWatchedChange(FileChange change);
  void RequestReconcile(const std::string& reference);

  CEnginePacing& m_Pacing;
  const CCatalogueLayout& m_Layout;
  std::unique_ptr<CChangeFlusher> m_pFlusher;
  std::unique_ptr<CDirectoriesWatcher> m_pWatcher;
  platform::CMutex m_Mutex;
  // The folders the watcher asked to reconcile again, by reference.
  std::set<std::string> m_ReconcileRequests GUARDED_BY(m_Mutex);
};
