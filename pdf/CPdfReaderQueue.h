#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pdf/CTool_QuickPDFLib.h"
#include "platform/CMutex.h"

// The process's readers of PDF text: a bounded number of PDF tools (each with its helper
// process) shared by every thread that reads a PDF. Requests are served in arrival order, and
// the time one waits for a reader never counts against its document's deadline. Any thread
// may call any member; the queue must outlive every call.
class CPdfReaderQueue {
 public:
  struct SResult {
    bool bRead = false;  // Text holds the document's text
    std::string Text;
    CTool_QuickPDFLib::Failure Failure = CTool_QuickPDFLib::Failure::Read;  // when not read: why
  };

  // readers: documents read at once (at least 1). The first reader is made here, so that a
  // missing plug-in is recorded once, at once.
  explicit CPdfReaderQueue(int readers);
  ~CPdfReaderQueue();
  CPdfReaderQueue(const CPdfReaderQueue&) = delete;
  CPdfReaderQueue& operator=(const CPdfReaderQueue&) = delete;

  // FK_PDFTEXT_READERS, 1 when unset or not a number from 1 to 64 (the service is bound to one
  // processor: more readers only share it).
  static int ReadersFromEnvironment();

  // False without a usable plug-in: nothing can be read.
  bool IsUsable() const { return m_bUsable; }
  // The text of all pages; quiet: a failure writes no error record (a retry already reported).
  SResult Read(const std::string& path, bool quiet) EXCLUDES(m_Mutex);
  // The service stops: every read in progress or waiting ends at once as Abandoned, and so
  // does every later one.
  void Abort() EXCLUDES(m_Mutex);
  // Ends the helper processes of readers nobody uses or waits for: an idle service keeps none.
  void ReleaseIdle() EXCLUDES(m_Mutex);

 private:
  using Tool = std::unique_ptr<CTool_QuickPDFLib>;
  Tool TakeReader() EXCLUDES(m_Mutex);
  void GiveBack(Tool tool) EXCLUDES(m_Mutex);

  const int m_nReaders;
  bool m_bUsable = false;  // set by the constructor only

  platform::CMutex m_Mutex;
  platform::CConditionVariable m_Turn;  // a reader given back, a turn passed, the abort
  std::vector<Tool> m_Idle GUARDED_BY(m_Mutex);
  std::vector<CTool_QuickPDFLib*> m_Busy GUARDED_BY(m_Mutex);  // owned by the threads reading
  int m_nMade GUARDED_BY(m_Mutex) = 0;  // idle and busy
  std::uint64_t m_nNextTicket GUARDED_BY(m_Mutex) = 0;
  std::uint64_t m_nServing GUARDED_BY(m_Mutex) = 0;  // the oldest request still without a reader
  bool m_bAborted GUARDED_BY(m_Mutex) = false;
};
