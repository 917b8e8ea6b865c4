#pragma once

namespace platform {

// A signal that, once raised, stays raised, seen as a descriptor that polls readable: a
// thread blocked in a poll on other descriptors can be freed by another thread at once.
// Raise and IsRaised from any thread; Fd for polls.
class CAbortSignal {
 public:
  CAbortSignal();
  ~CAbortSignal();
  CAbortSignal(const CAbortSignal&) = delete;
  CAbortSignal& operator=(const CAbortSignal&) = delete;

  void Raise();
  bool IsRaised() const;
  int Fd() const { return m_nFd; }  // -1 when no descriptor could be had

 private:
  int m_nFd = -1;
};

}  // namespace platform
