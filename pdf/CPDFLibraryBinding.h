#pragma once

#include <string>

#include "platform/SharedLibrary.h"

// The PDF text plug-in loaded at run time: resolves every function of its C interface and
// creates one library instance, released with the binding. A missing plug-in or function
// leaves IsLoaded() false and every forwarding member returns 0 or "".
// One thread at a time (the owning CTool_QuickPDFLib's), but for Abort.
class CPDFLibraryBinding {
 public:
  // A name is looked for in the program's directory first, then on the library path;
  // a path (with '/') is loaded as it stands.
  explicit CPDFLibraryBinding(const std::string& libraryName);
  ~CPDFLibraryBinding();
  CPDFLibraryBinding(const CPDFLibraryBinding&) = delete;
  CPDFLibraryBinding& operator=(const CPDFLibraryBinding&) = delete;

  bool IsLoaded() const { return !m_bLoadFailed; }
  // Why loading failed ("" when it did not).
  const std::string& LoadError() const { return m_strLoadError; }

  int DAOpenFile(const std::string& path, const std::string& password);
  int DAGetPageCount(int fileHandle);
  int DAFindPage(int fileHandle, int page);
  // The page's text, UTF-8; its length is also StringResultLength().
  std::string DAExtractPageText(int fileHandle, int pageRef, int options);
  int StringResultLength();
  int DACloseFile(int fileHandle);
  int LastErrorCode();
  std::string LastErrorText();
  // Any thread, while the binding lives: ends the read in progress and every later one.
  void Abort();

 private:
  bool Load(const std::string& libraryName);
  template <typename Function>
  void Resolve(Function& function, const char* name);

  platform::SharedLibrary m_Module;
  int m_nInstance = 0;
  bool m_bLoadFailed = false;
  std::string m_strLoadError;

  int (*m_pCreateLibrary)() = nullptr;
  int (*m_pReleaseLibrary)(int) = nullptr;
  int (*m_pOpenFile)(int, const char*, const char*) = nullptr;
  int (*m_pGetPageCount)(int, int) = nullptr;
  int (*m_pFindPage)(int, int, int) = nullptr;
  const char* (*m_pExtractPageText)(int, int, int, int) = nullptr;
  int (*m_pStringResultLength)(int) = nullptr;
  int (*m_pCloseFile)(int, int) = nullptr;
  int (*m_pLastErrorCode)(int) = nullptr;
  const char* (*m_pLastErrorText)(int) = nullptr;
  int (*m_pAbort)(int) = nullptr;
};
