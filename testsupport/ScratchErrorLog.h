#pragma once

#include <string>

#include "testsupport/ScratchDir.h"

namespace testsupport {

// Points the process's error log at a file of a fresh temporary directory, as at process start
// (no entry written yet), for the life of the object; the log is forgotten again at its end.
class ScratchErrorLog {
 public:
  explicit ScratchErrorLog(const std::string& fileName = "FKIndexingServicelogError.txt");
  ~ScratchErrorLog();
  ScratchErrorLog(const ScratchErrorLog&) = delete;
  ScratchErrorLog& operator=(const ScratchErrorLog&) = delete;

  const ScratchDir& Dir() const { return m_Dir; }
  const std::string& Path() const { return m_strPath; }
  // The bytes of the log ("" while nothing was written).
  std::string Read() const { return m_Dir.Read(m_strPath); }

 private:
  ScratchDir m_Dir;
  std::string m_strPath;
};

}  // namespace testsupport
