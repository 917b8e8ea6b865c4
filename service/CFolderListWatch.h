#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace platform {
class CMarkerWatch;
}

// Tells, on a thread of its own, when the folder list file is written, replaced or deleted, so
// that a monitoring service applies it at once rather than at its next pass. Where the file's
// directory cannot be watched (gone, a network share's changes from elsewhere) it says so and
// the passes alone see the changes. Start and Stop from one thread; Stop joins.
class CFolderListWatch {
 public:
  CFolderListWatch(const std::string& folderListPath, std::function<void()> onChange);
  ~CFolderListWatch();
  CFolderListWatch(const CFolderListWatch&) = delete;
  CFolderListWatch& operator=(const CFolderListWatch&) = delete;

  // False when the directory cannot be watched (no thread is started then).
  bool Start();
  void Stop();

 private:
  void Watch();

  std::unique_ptr<platform::CMarkerWatch> m_pWatch;
  std::function<void()> m_OnChange;  // called on the watch thread
  std::atomic<bool> m_bStop{false};
  std::thread m_Thread;
};
