#pragma once

#include <string>

namespace platform {

// A small file naming the document being read: set before each read, cleared after it. A run
// that hangs or crashes in a read leaves the name behind, so the next start can leave that
// document unread once instead of stalling on it again. One thread; keeps the file open.
class CReadingMarker {
 public:
  CReadingMarker() = default;
  ~CReadingMarker();
  CReadingMarker(const CReadingMarker&) = delete;
  CReadingMarker& operator=(const CReadingMarker&) = delete;

  // Opens (creates) the file and gives the document the last run was reading when it ended
  // ("" when none); false with errorText set when the file cannot be used.
  bool Open(const std::string& path, std::string& unfinished, std::string& errorText);
  bool IsOpen() const { return m_nFd >= 0; }
  void Begin(const std::string& document);
  void End();

 private:
  int m_nFd = -1;
};

}  // namespace platform
