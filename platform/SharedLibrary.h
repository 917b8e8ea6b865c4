#pragma once

#include <string>

namespace platform {

// A shared library loaded at run time (dlopen), unloaded with the object.
// Not thread-safe; the owner opens it once and resolves its symbols before sharing it.
class SharedLibrary {
 public:
  SharedLibrary() = default;
  ~SharedLibrary();
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;

  // Loads a path (with '/') or a name searched on the library path; false with LastError() set.
  bool Open(const std::string& nameOrPath);
  bool IsOpen() const { return m_pHandle != nullptr; }
  // The address of an exported symbol, nullptr when the library lacks it.
  void* Symbol(const std::string& name);
  void Close();
  const std::string& LastError() const { return m_strLastError; }

  // Directory of the running program, "" when unknown.
  static std::string ProgramDirectory();
  // Directory of the loaded file (program or library) that holds address, "" when unknown.
  static std::string DirectoryOfAddress(const void* address);

 private:
  void* m_pHandle = nullptr;
  std::string m_strLastError;
};

}  // namespace platform
