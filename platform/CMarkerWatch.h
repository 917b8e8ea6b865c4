#pragma once

#include <string>

namespace platform {

// Lets a thread wait, without looking again and again, until a file of one name is created in
// (or moved into) one directory, or until another thread interrupts the wait. Without inotify,
// or once the directory itself went away, IsWatching is false and the caller looks for the file
// itself. One waiting thread at a time; Interrupt from any thread, and an interrupt given while
// no one waits ends the next wait at once.
class CMarkerWatch {
 public:
  // changes: also wake when the file of that name is written, replaced or deleted.
  CMarkerWatch(const std::string& directory, std::string name, bool changes = false);
  ~CMarkerWatch();
  CMarkerWatch(const CMarkerWatch&) = delete;
  CMarkerWatch& operator=(const CMarkerWatch&) = delete;

  bool IsWatching() const { return m_nInotifyFd >= 0 && m_nWatch >= 0; }
  // Waits up to milliseconds; true when the name may have appeared (the caller looks) or the
  // wait was interrupted, false when the time ran out.
  bool Wait(int milliseconds);
  void Interrupt();

 private:
  // Reads what inotify queued; true when it concerns the name or the watch ended.
  bool Drain();

  const std::string m_strName;
  int m_nInotifyFd = -1;
  int m_nWatch = -1;
  int m_nWakeFd = -1;
};

}  // namespace platform
