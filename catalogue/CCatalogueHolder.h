#pragma once

#include <memory>
#include <string>
#include <thread>

#include "platform/CMutex.h"
#include "platform/CNamedFileLock.h"

// Which thread of the process holds one catalogue for a reconciling pass, and the machine-wide
// flock that keeps other processes out. Kept on the catalogue's writer record (CWriterRegistry),
// taken and given back through CCatalogueLock. Any thread.
class CCatalogueHolder {
 public:
  explicit CCatalogueHolder(const std::string& catalogue);

  // Takes the catalogue for the calling thread; false (and why in error) when another thread
  // of the process or another process holds it. The holder itself takes it again freely (each
  // take is given back once).
  bool TryTake(std::string& error) EXCLUDES(m_Mutex);
  // Gives back one take of the calling thread; another thread's hold stays.
  void Give() EXCLUDES(m_Mutex);
  // True unless another thread of the process holds the catalogue.
  bool IsFreeForCaller() EXCLUDES(m_Mutex);

 private:
  const std::string m_LockName;
  platform::CMutex m_Mutex;
  // An flock taken through a second open of the same file would shut out this very process:
  // one lock object per catalogue, and the thread that holds it.
  std::unique_ptr<platform::CNamedFileLock> m_pFileLock GUARDED_BY(m_Mutex);
  std::thread::id m_Holder GUARDED_BY(m_Mutex);
  int m_nTakes GUARDED_BY(m_Mutex) = 0;
};
