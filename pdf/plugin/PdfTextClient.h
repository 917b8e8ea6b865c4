#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/CAbortSignal.h"
#include "platform/CChildProcess.h"
#include "platform/FrameChannel.h"

// One instance of the PDF text plug-in: it keeps one helper process running between
// documents, reads a whole document through it within the deadline on open, and serves
// page count and page texts from what it read. The deadline counts the helper's processor
// time, so that a document waiting for the processor behind others is not given up; a
// longer wall-clock bound ends a helper blocked without using it. A helper that dies or
// overruns is killed, reaped and started again for the next document. Callers serialise the
// calls; the abort signal (raised from any thread) ends the one in progress.
class PdfTextClient {
 public:
  struct Settings {
    std::string helperPath;
    int deadlineMs = 30000;  // processor time of one document
    int wallMs = 300000;     // wall-clock time of one document
    long long memoryMb = 1024;  // 0: no cap
  };

  // abort (may be null) must outlive the client.
  PdfTextClient(const Settings& settings, const platform::CAbortSignal* abort);
  ~PdfTextClient();

  int OpenFile(const std::string& path, const std::string& password);  // 0 on failure
  int GetPageCount(int file);
  int FindPage(int file, int page);  // 0 when unknown or unreadable
  const std::string& ExtractPageText(int file, int pageRef);  // the string result
  int CloseFile(int file);

  int LastErrorCode() const { return m_nLastErrorCode; }
  // A failure met around the client (at the plug-in's C boundary) becomes its last error.
  void NoteFailure(int code, const std::string& text) { SetError(code, text); }
  const std::string& LastErrorText() const { return m_strLastErrorText; }
  const std::string& StringResult() const { return m_strStringResult; }

  // Settings from FK_PDFTEXT_HELPER, FK_PDFTEXT_DEADLINE_MS, FK_PDFTEXT_WALL_MS (default ten
  // times the deadline, at least five minutes) and FK_PDFTEXT_MEMORY_MB;
  // defaultHelperDirectory holds fkpdftext-helper when the first is not set.
  static Settings SettingsFromEnvironment(const std::string& defaultHelperDirectory);

 private:
  struct Page {
    bool readable = false;
    std::string text;
  };
  using Pages = std::vector<Page>;

  bool ReadDocument(const std::string& path, const std::string& password, Pages& pages);
  bool SendRequest(const std::string& request, int fd, platform::FrameChannel::Clock::time_point deadline);
  bool ReadAnswer(Pages& pages, platform::FrameChannel::Clock::time_point deadline);
  bool TakePage(const std::string& message, std::uint32_t expected, Pages& pages);
  bool EnsureHelper();
  // Asked by the channel while it waits: false once this document's processor time is spent.
  bool WithinDeadline();
  bool EndHelper(int code, const std::string& reason);  // reason "": from how it ended
  bool SetError(int code, const std::string& text);
  const Page* FindPageEntry(int file, int pageRef);
  std::string DeadlineText() const;
  bool TimedOut();  // ends the helper for the deadline or the wall-clock bound, whichever passed

  Settings m_Settings;
  const platform::CAbortSignal* m_pAbort;
  platform::CChildProcess m_Helper;
  platform::FrameChannel m_Channel;  // joined to m_Helper while it runs
  std::map<int, Pages> m_Documents;
  int m_nNextHandle = 1;
  int m_nLastErrorCode = 0;
  std::string m_strLastErrorText;
  std::string m_strStringResult;
  // Of the document being read: the helper's processor time when it began, and whether the
  // deadline passed.
  platform::FrameChannel::Clock::time_point m_DocumentStart;
  int m_nWatchedPid = 0;
  long long m_nCpuAtStart = -1;
  bool m_bOverran = false;
};
