#pragma once

#include <map>
#include <memory>
#include <string>

#include "catalogue/IndexWriterToRelease.h"
#include "platform/CMutex.h"

// The process's writers, one record per catalogue, found or created by the catalogue path
// (compared exactly, as paths are here). The registry owns its records and keeps each for the
// life of the process, so the pointers it hands out stay valid. Any thread.
class CWriterRegistry {
 public:
  static CWriterRegistry& Process();

  IndexWriterToRelease& FindOrCreate(const std::string& catalogue) EXCLUDES(m_Mutex);
  // Null when the catalogue has no record.
  IndexWriterToRelease* Find(const std::string& catalogue) EXCLUDES(m_Mutex);
  size_t Count() EXCLUDES(m_Mutex);

 private:
  platform::CMutex m_Mutex;
  std::map<std::string, std::unique_ptr<IndexWriterToRelease>> m_Records GUARDED_BY(m_Mutex);
};
