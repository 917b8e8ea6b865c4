#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/CChildProcess.h"
#include "platform/FrameChannel.h"

// One instance of the PDF text plug-in: it keeps one helper process running between
// documents, reads a whole document through it within the deadline on open, and serves
// page count and page texts from what it read. A helper that dies or overruns is killed,
// reaped and started again for the next document. Callers serialise the calls.
class PdfTextClient {
 public:
  struct Settings {
    std::string helperPath;
    int deadlineMs = 30000;
    long long memoryMb = 1024;  // 0: no cap
  };

  explicit PdfTextClient(const Settings& settings) : m_Settings(settings) {}
  ~PdfTextClient();

  int OpenFile(const std::string& path, const std::string& password);  // 0 on failure
  int GetPageCount(int file);
  int FindPage(int file, int page);  // 0 when unknown or unreadable
  const std::string& ExtractPageText(int file, int pageRef);  // the string result
  int CloseFile(int file);

  int LastErrorCode() const { return m_nLastErrorCode; }
  const std::string& LastErrorText() const { return m_strLastErrorText; }
  const std::string& StringResult() const { return m_strStringResult; }

  // Settings from FK_PDFTEXT_HELPER, FK_PDFTEXT_DEADLINE_MS and FK_PDFTEXT_MEMORY_MB;
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
  bool EndHelper(int code, const std::string& reason);  // reason "": from how it ended
  bool SetError(int code, const std::string& text);
  const Page* FindPageEntry(int file, int pageRef);
  std::string DeadlineText() const;

  Settings m_Settings;
  platform::CChildProcess m_Helper;
  platform::FrameChannel m_Channel;  // joined to m_Helper while it runs
  std::map<int, Pages> m_Documents;
  int m_nNextHandle = 1;
  int m_nLastErrorCode = 0;
  std::string m_strLastErrorText;
  std::string m_strStringResult;
};
