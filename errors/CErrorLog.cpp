#include "errors/CErrorLog.h"

#include <cctype>
#include <cstdio>
#include <deque>
#include <fstream>

#include "platform/CMutex.h"
#include "platform/LogText.h"
#include "platform/SystemInfo.h"

namespace FKEXCEPTION {

namespace {

// Lines end in CR CR LF: the suite's writer ends each line in CR LF and its text-mode
// stream turns the LF into CR LF again. Readers of the file rely on these bytes.
const char kLineEnd[] = "\r\r\n";
const char kDegree = '\xB0';
const unsigned int kMaxLines = 100;
const unsigned int kMaxLinesBeforeHeader = 94;
const size_t kMaxUserName = 255;

struct LastEntry {
  std::string Module;
  std::string Function;
  int Line = 0;
  std::string FileOrDirectory;
};

struct ErrorLogState {
  platform::CMutex Mutex;  // nothing below the error log raises an error that it would log
  std::string g_strErrorLogPath GUARDED_BY(Mutex);
  unsigned int Counter GUARDED_BY(Mutex) = 0;
  LastEntry Last GUARDED_BY(Mutex);
};

ErrorLogState& State() {
  static ErrorLogState state;
  return state;
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x != y && std::tolower(x) != std::tolower(y)) return false;
  }
  return true;
}

bool IsRepeat(const ErrorLogState& state, const CErrorInfo& info) REQUIRES(state.Mutex) {
  return state.Counter != 0 && EqualsNoCase(info.Module, state.Last.Module) &&
         EqualsNoCase(info.Function, state.Last.Function) && info.Line == state.Last.Line &&
         EqualsNoCase(info.FileOrDirectory, state.Last.FileOrDirectory);
}

std::string Unsigned(int value) { return std::to_string(static_cast<unsigned int>(value)); }

// The existing lines of the file: how many there are and the last keep of them.
struct ExistingLines {
  bool bOpened = false;
  unsigned int Count = 0;
  bool bEndsWithLineFeed = true;
  std::deque<std::string> Last;  // without their LF
};

ExistingLines ReadExistingLines(const std::string& path, unsigned int keep) {
  ExistingLines lines;
  std::ifstream file(path, std::ios::binary);
  if (!file) return lines;
  lines.bOpened = true;
  std::string line;
  while (std::getline(file, line)) {
    ++lines.Count;
    lines.bEndsWithLineFeed = !file.eof();
    lines.Last.push_back(line);
    if (lines.Last.size() > keep) lines.Last.pop_front();
  }
  return lines;
}

// Rewrites the file with only its last lines, through the ".new" file and a rename.
bool TruncateToLastLines(const std::string& path, const ExistingLines& lines) {
  const std::string newPath = path + ".new";
  {
    std::ofstream newFile(newPath, std::ios::binary | std::ios::trunc);
    if (!newFile) return false;
    for (const std::string& line : lines.Last) newFile << line << '\n';
  }
  // A failed rename leaves the old file in place; the entry is appended to it all the same.
  std::rename(newPath.c_str(), path.c_str());
  return true;
}

// Appends one entry (after the header when it is the first of the process), keeping the file
// within its line limit; the caller holds the lock and has advanced the counter.
bool AppendEntry(const std::string& path, unsigned int counter, const CErrorInfo& info) {
  const unsigned int limit = counter == 1 ? kMaxLinesBeforeHeader : kMaxLines;
  ExistingLines lines = ReadExistingLines(path, limit - 1);
  std::string text;
  if (lines.bOpened && lines.Count >= limit) {
    if (!TruncateToLastLines(path, lines)) return false;
  } else if (!lines.bEndsWithLineFeed) {
    text += kLineEnd;  // a torn last line must not swallow the new entry
  }
  if (counter == 1) text += CErrorLog::FormatHeader();
  text += CErrorLog::FormatEntry(counter, info);
  std::ofstream file(path, std::ios::binary | std::ios::app);
  if (!file) return false;
  file << text;
  file.close();
  return !file.fail();
}

}  // namespace

bool CErrorLog::SetPath(const std::string& path) {
  if (path.empty()) return false;
  platform::CLockGuard lock(State().Mutex);
  State().g_strErrorLogPath = path;
  return true;
}

bool CErrorLog::WriteErrorLog(const CFKException& error) {
  ErrorLogState& state = State();
  platform::CLockGuard lock(state.Mutex);
  if (state.g_strErrorLogPath.empty()) return false;
  const CErrorInfo info = error.GetErrorInfo();
  if (IsRepeat(state, info)) return true;
  state.Last = LastEntry{info.Module, info.Function, info.Line, info.FileOrDirectory};
  ++state.Counter;
  return AppendEntry(state.g_strErrorLogPath, state.Counter, info);
}

std::string CErrorLog::FormatEntry(unsigned int counter, const CErrorInfo& info) {
  std::string line = std::to_string(counter) + ")\t";
  line += platform::FormatLocalTime(info.Time, "%d/%m/%Y-%H:%M:%S");
  line += std::string("\tError n") + kDegree + ": " + Unsigned(info.Code) + ", " + info.Message;
  // Paths and messages come from outside: their control characters must not break the line.
  line += std::string("\t,Internal n") + kDegree + ": " + Unsigned(info.InternalCode) + ", " +
          platform::EscapeControlCharacters(info.InternalMessage);
  line += "\t,line : " + Unsigned(info.Line);
  line += "\tmodule : " + info.Module;
  line += "\tfunction : " + info.Function;
  line += "\t,File or directory : " + platform::EscapeControlCharacters(info.FileOrDirectory);
  return line + kLineEnd;
}

std::string CErrorLog::FormatHeader() {
  const std::string rule(80, '/');
  std::string header = rule + kLineEnd;
  header += std::string("FKService Version : ") + platform::ServiceVersion() + kLineEnd;
  header += "date : " + platform::BuildDate() + kLineEnd;
  header += "Login Os : " + platform::EffectiveUserName().substr(0, kMaxUserName) + kLineEnd;
  header += platform::OsDisplayName() + kLineEnd;
  return header + rule + kLineEnd;
}

void CErrorLog::ResetForTests() {
  platform::CLockGuard lock(State().Mutex);
  State().g_strErrorLogPath.clear();
  State().Counter = 0;
  State().Last = LastEntry();
}

}  // namespace FKEXCEPTION
