#pragma once

#include <cstddef>
#include <string>
#include <unordered_set>
#include <vector>

class MonitorListener;
namespace FK {
class CFolder;
}

// The engine's status lines to its listeners: the worker's lines (each one a step of the
// worker, for the watchdog) and the lines of the watch and flush threads. Listeners are added
// before other threads start, are not owned and must outlive it.
class CStatusLines {
 public:
  void AddListener(MonitorListener* listener) { m_Listeners.push_back(listener); }
  // Worker thread.
  void Send(int kind, const std::string& text);
  // Any other thread: its lines show no progress of the worker.
  void SendFromAnyThread(int kind, const std::string& text) const;

  // Worker thread: the lines of a pass.
  void FolderCheck(const FK::CFolder& folder);
  void IndexingFolder(const std::string& reference);
  void Waiting();
  void KeepAlive();
  // Once per document and run: the document is taken again at every pass until it can be read.
  void Unreadable(const std::string& path, const std::string& reason);
  // Once per catalogue and run: a catalogue on a network file system.
  void CatalogueFileSystem(const std::string& catalogue);

 private:
  static constexpr std::size_t kMaxUnreadableReported = 10000;
  std::vector<MonitorListener*> m_Listeners;             // filled before other threads start
  std::unordered_set<std::string> m_UnreadableReported;  // worker thread only
  std::unordered_set<std::string> m_ReportedFileSystems;  // worker thread only
};
