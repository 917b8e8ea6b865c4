#pragma once

#include <memory>
#include <string>

namespace platform {

// A lock shared by every process of the machine under a name: an exclusive flock on a file
// of that name in the machine's lock directory ("/run/lock/fkindexingservice", or the
// directory in FK_LOCK_DIR). Not thread-safe: the owner serialises its calls.
class CNamedFileLock {
 public:
  explicit CNamedFileLock(const std::string& name);
  // A lock on the file at path itself (created when missing; an existing file that cannot be
  // written is locked through a read-only open).
  static std::unique_ptr<CNamedFileLock> AtPath(const std::string& path);
  ~CNamedFileLock();
  CNamedFileLock(const CNamedFileLock&) = delete;
  CNamedFileLock& operator=(const CNamedFileLock&) = delete;

  // Takes the lock without waiting: false when another open of the file holds it or the file
  // cannot be opened (then LastError says why).
  bool TryLock();
  void Unlock();
  bool IsLocked() const { return m_bLocked; }
  const std::string& GetName() const { return m_Name; }
  const std::string& LastError() const { return m_LastError; }
  // The last TryLock failed because another open of the file holds the lock.
  bool IsHeldElsewhere() const { return m_bHeldElsewhere; }

  static std::string LockDirectory();
  // The file name for a lock name: '/' cannot stand in it and long names are hashed.
  static std::string FileNameFor(const std::string& name);

 private:
  bool Open();

  std::string m_Name;
  std::string m_Path;  // set: the lock file's own path instead of one in the lock directory
  int m_nFd = -1;
  bool m_bLocked = false;
  bool m_bHeldElsewhere = false;
  std::string m_LastError;
};

}  // namespace platform
