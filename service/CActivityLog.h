#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>

#include "platform/CMutex.h"

// Activity log file path; written by the service's start before any other thread writes
// to the log. Empty: "FKIndexing.log" in the program's directory.
extern std::string g_strActivityLogPath;
// Flush the activity log to disk after every line (the IsDebugAction setting).
extern std::atomic<bool> g_bDebugAction;
// Every ":error: " line (":sub: :error: " too) also goes to standard error; set by the service.
extern std::atomic<bool> g_bActivityLogErrorsToStandardError;

// Writes one new line to the process-wide activity log.
void WriteActivityLog(const std::string& text);
// overwrite 1: replace the previous copy of the same status line when it is the last line.
void WriteActivityLogLine(const std::string& text, int overwrite);
// Closes the file; the next line opens (and empties) it again.
void CloseActivityLog();

// The dated diary of the service: "dd/mm/YYYY, HH:MM:SS" TAB message CR LF, rotated to
// "FKIndexing-dd-mm-yyyy.log" on a new day and restarted at 2 MiB. Any thread may write;
// one mutex keeps lines whole. Clock and size limit are injectable for tests.
class CActivityLog {
 public:
  using Clock = std::function<std::tm()>;  // the local time now
  static constexpr long kDefaultSizeLimit = 0x200000;

  CActivityLog();
  ~CActivityLog();
  CActivityLog(const CActivityLog&) = delete;
  CActivityLog& operator=(const CActivityLog&) = delete;

  void WriteLine(const std::string& text, int overwrite);
  void Close();
  void SetClock(Clock clock);
  void SetSizeLimit(long bytes);

  // The one log of the process, used by the free functions above.
  static CActivityLog& Instance();

 private:
  std::string LogPath() const;
  bool Open(bool truncate) REQUIRES(m_Mutex);
  void CloseLocked() REQUIRES(m_Mutex);
  void RotateLocked(const std::string& today) REQUIRES(m_Mutex);
  bool ResetIfFullLocked() REQUIRES(m_Mutex);
  void PositionLocked(const std::string& text, int overwrite) REQUIRES(m_Mutex);
  // True when an overwrite would put the same bytes where the last line already stands.
  bool IsSameRewriteLocked(const std::string& text, int overwrite, const std::string& line) const
      REQUIRES(m_Mutex);

  platform::CMutex m_Mutex;
  std::FILE* m_pFile GUARDED_BY(m_Mutex) = nullptr;
  std::int32_t m_nLastLineOffset GUARDED_BY(m_Mutex) = 0;  // 0 = none remembered
  std::string m_strLastDate GUARDED_BY(m_Mutex);
  std::string m_strLastMessage GUARDED_BY(m_Mutex);
  std::string m_strLastLine GUARDED_BY(m_Mutex);  // the bytes of the last line written
  Clock m_Clock GUARDED_BY(m_Mutex);
  long m_nSizeLimit GUARDED_BY(m_Mutex) = kDefaultSizeLimit;
};
