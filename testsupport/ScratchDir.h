#pragma once

#include <string>

namespace testsupport {

// A fresh temporary directory for one test, removed with everything in it on destruction.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& Path() const { return m_strPath; }
  // The full path of a name inside the directory.
  std::string File(const std::string& relativePath) const;
  // Writes the bytes to a file inside the directory (parents created); returns its full path.
  std::string Write(const std::string& relativePath, const std::string& bytes) const;
  // The bytes of a file ("" when it cannot be read); a relative path is taken inside the directory.
  std::string Read(const std::string& path) const;

 private:
  std::string m_strPath;
};

}  // namespace testsupport
