#include "service/CActivityLog.h"

#include "platform/LogText.h"
#include "platform/ProgramPaths.h"

std::string g_strActivityLogPath;
std::atomic<bool> g_bDebugAction{false};
std::atomic<bool> g_bActivityLogErrorsToStandardError{false};

namespace {

std::tm LocalTimeNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}

std::string FormatTime(const std::tm& time, const char* format) {
  char buffer[64];
  const size_t length = std::strftime(buffer, sizeof(buffer), format, &time);
  return std::string(buffer, length);
}

std::string ArchivePath(const std::string& logPath, const std::string& date) {
  std::string name = "FKIndexing-" + date + ".log";
  for (char& c : name) {
    if (c == '/') c = '-';
  }
  const size_t slash = logPath.find_last_of('/');
  return slash == std::string::npos ? name : logPath.substr(0, slash + 1) + name;
}

}  // namespace

void WriteActivityLog(const std::string& text) { WriteActivityLogLine(text, 0); }

void WriteActivityLogLine(const std::string& text, int overwrite) {
  CActivityLog::Instance().WriteLine(text, overwrite);
  // The journal keeps standard error: a failure is seen there without opening the log.
  if (g_bActivityLogErrorsToStandardError &&
      (text.compare(0, 8, ":error: ") == 0 || text.compare(0, 14, ":sub: :error: ") == 0)) {
    std::fprintf(stderr, "%s\n", text.c_str());
  }
}

void CloseActivityLog() { CActivityLog::Instance().Close(); }

CActivityLog::CActivityLog() : m_Clock(LocalTimeNow) {}

CActivityLog::~CActivityLog() { Close(); }

CActivityLog& CActivityLog::Instance() {
  // Never destroyed: objects torn down at exit may still write a last line.
  static CActivityLog* log = new CActivityLog();
  return *log;
}

void CActivityLog::SetClock(Clock clock) {
  platform::CLockGuard lock(m_Mutex);
  m_Clock = clock ? std::move(clock) : Clock(LocalTimeNow);
}

void CActivityLog::SetSizeLimit(long bytes) {
  platform::CLockGuard lock(m_Mutex);
  m_nSizeLimit = bytes;
}

void CActivityLog::Close() {
  platform::CLockGuard lock(m_Mutex);
  CloseLocked();
}

void CActivityLog::WriteLine(const std::string& message, int overwrite) {
  const std::string text = platform::EscapeControlCharacters(message);
  platform::CLockGuard lock(m_Mutex);
  const std::tm now = m_Clock();
  const std::string today = FormatTime(now, "%d/%m/%Y");
  const std::string line = today + ", " + FormatTime(now, "%H:%M:%S") + "\t" + text + "\r\n";
  // A status line repeated within its second would be rewritten with the very same bytes: the
  // walks send one per document, and each rewrite cost a seek and a write.
  if (IsSameRewriteLocked(text, overwrite, line)) return;
  if (m_strLastDate.empty()) m_strLastDate = today;
  if (m_strLastDate != today) RotateLocked(today);
  if (m_pFile == nullptr && !Open(true)) return;
  if (!ResetIfFullLocked()) return;
  PositionLocked(text, overwrite);
  std::fwrite(line.data(), 1, line.size(), m_pFile);
  m_strLastMessage = text;
  m_strLastLine = line;
  if (g_bDebugAction) platform::FlushFileToDisk(m_pFile);
}

std::string CActivityLog::LogPath() const {
  if (!g_strActivityLogPath.empty()) return g_strActivityLogPath;
  return platform::ExecutableDirectory() + "FKIndexing.log";
}

bool CActivityLog::Open(bool truncate) {
  m_pFile = std::fopen(LogPath().c_str(), truncate ? "w+b" : "r+b");
  if (m_pFile == nullptr) return false;
  // Unbuffered, so every line reaches the file at once and readers see whole lines.
  std::setvbuf(m_pFile, nullptr, _IONBF, 0);
  m_nLastLineOffset = 0;
  m_strLastMessage.clear();
  m_strLastLine.clear();
  return true;
}

void CActivityLog::CloseLocked() {
  if (m_pFile == nullptr) return;
  std::fclose(m_pFile);
  m_pFile = nullptr;
}

void CActivityLog::RotateLocked(const std::string& today) {
  m_strLastDate = today;
  CloseLocked();
  const std::string logPath = LogPath();
  const std::string archive = ArchivePath(logPath, today);
  std::remove(archive.c_str());
  if (std::rename(logPath.c_str(), archive.c_str()) == 0) return;
  // The rotation is given up for the day; keep the lines already in the log rather than
  // emptying it with a fresh open.
  Open(false);
}

bool CActivityLog::ResetIfFullLocked() {
  if (std::fseek(m_pFile, 0, SEEK_END) != 0) return true;
  if (std::ftell(m_pFile) < m_nSizeLimit) return true;
  CloseLocked();
  if (std::remove(LogPath().c_str()) != 0) return false;
  return Open(true);
}

bool CActivityLog::IsSameRewriteLocked(const std::string& text, int overwrite, const std::string& line) const {
  return overwrite == 1 && m_pFile != nullptr && m_nLastLineOffset != 0 && m_strLastMessage == text &&
         m_strLastLine == line;
}

void CActivityLog::PositionLocked(const std::string& text, int overwrite) {
  if (overwrite == 1 && m_nLastLineOffset != 0 && m_strLastMessage == text) {
    std::fseek(m_pFile, m_nLastLineOffset, SEEK_SET);
    return;
  }
  std::fseek(m_pFile, 0, SEEK_END);
  m_nLastLineOffset = static_cast<std::int32_t>(std::ftell(m_pFile));
}
