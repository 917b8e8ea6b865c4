#pragma once

#include <string>

class CCatalogueHolder;

// Holds a catalogue for the calling thread for its scope: a reconciling pass takes it, and while
// it is held the flush workers leave the catalogue alone (its changes only queue) and other
// processes are refused it. Made and destroyed on one thread.
class CCatalogueLock {
 public:
  explicit CCatalogueLock(const std::string& catalogue);
  ~CCatalogueLock();
  CCatalogueLock(const CCatalogueLock&) = delete;
  CCatalogueLock& operator=(const CCatalogueLock&) = delete;

  bool IsHeld() const { return m_bHeld; }
  // Why the catalogue was not taken ("" when held).
  const std::string& Error() const { return m_Error; }

  // True unless another thread of the process holds the catalogue (a catalogue never locked
  // is free, and asking makes no record for it).
  static bool IsFreeForCaller(const std::string& catalogue);

 private:
  CCatalogueHolder& m_Holder;  // owned by the writer registry, which keeps it for the process
  bool m_bHeld = false;
  std::string m_Error;
};
