#include "catalogue/LSearcher.h"

#include <cstdio>
#include <ctime>
#include <exception>
#include <functional>
#include <new>

#include <boost/filesystem.hpp>

#include "catalogue/LDatabase.h"
#include "catalogue/LDocuments.h"

namespace {

constexpr const char* kPathQueryStart = "path:\"";

LCatalogueError Failure(const std::string& message) { return LCatalogueError{0, false, message}; }

// Days since 1970-01-01 to the civil date (proleptic Gregorian), after H. Hinnant.
void CivilFromDays(long long days, long long& year, int& month, int& day) {
  days += 719468;
  const long long era = (days >= 0 ? days : days - 146096) / 146097;
  const long long dayOfEra = days - era * 146097;
  const long long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const long long shifted = (5 * dayOfYear + 2) / 153;
  day = static_cast<int>(dayOfYear - (153 * shifted + 2) / 5 + 1);
  month = static_cast<int>(shifted < 10 ? shifted + 3 : shifted - 9);
  year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
}

std::string Quoted(const std::string& words) {
  std::string quoted = "\"";
  for (char c : words) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// People's words become quoted FTS5 strings, so no user text is ever FTS5 syntax:
// "a phrase" stays a phrase, a word ending in * is a prefix, everything else is a word.
std::string TextMatch(const std::string& query) {
  std::string match;
  size_t i = 0;
  while (i < query.size()) {
    if (IsBlank(query[i])) {
      ++i;
      continue;
    }
    std::string term;
    bool prefix = false;
    if (query[i] == '"') {
      const size_t end = query.find('"', i + 1);
      term = query.substr(i + 1, (end == std::string::npos ? query.size() : end) - i - 1);
      i = end == std::string::npos ? query.size() : end + 1;
    } else {
      while (i < query.size() && !IsBlank(query[i])) term += query[i++];
      prefix = term.size() > 1 && term.back() == '*';
      if (prefix) term.pop_back();
    }
    if (term.find_first_not_of(" \t\r\n") == std::string::npos) continue;
    if (!match.empty()) match += ' ';
    match += Quoted(term) + (prefix ? "*" : "");
  }
  return match;
}

// Runs query on the catalogue opened for reading: its answer, or -1 with lastError set (left
// empty for a catalogue that does not exist).
std::int64_t ReadNumber(const std::string& catalogue, const std::string& what, LCatalogueError& lastError,
                        const std::function<std::int64_t(LDatabase&)>& query) {
  try {
    lastError = LCatalogueError();
    LDatabase db;
    if (!db.OpenForReading(catalogue)) {
      lastError = db.Error();
      return -1;
    }
    const std::int64_t answer = query(db);
    if (answer < 0) lastError = db.Error();
    return answer;
  } catch (const std::exception& error) {
    lastError = Failure("unexpected failure " + what + ": " + error.what());
    return -1;
  }
}

bool IsPathQuery(const std::string& query) {
  const size_t start = std::char_traits<char>::length(kPathQueryStart);
  return query.size() > start && query.compare(0, start, kPathQueryStart) == 0 && query.back() == '"';
}

}  // namespace

LSearcher::LSearcher() = default;
LSearcher::~LSearcher() = default;

int LSearcher::Count(const std::string& catalogue) { return Count(std::string(), catalogue); }

int LSearcher::Count(const std::string& directory, const std::string& catalogue) {
  const std::int64_t count = ReadNumber(catalogue, "counting " + catalogue, m_LastError,
                                        [&](LDatabase& db) { return LDocuments(db).CountUnder(directory); });
  return count < 0 ? 0 : static_cast<int>(count);
}

int LSearcher::FileExists(const std::string& path, const std::string& catalogue, int& found) {
  const std::int64_t exists = ReadNumber(catalogue, "looking up " + path, m_LastError,
                                         [&](LDatabase& db) -> std::int64_t { return LDocuments(db).Exists(path); });
  found = exists > 0 ? 1 : 0;
  return found;
}

std::unique_ptr<LSearcher::Result> LSearcher::Search(const std::string& query, const std::string& catalogue) {
  try {
    m_LastError = LCatalogueError();
    auto result = std::make_unique<Result>();
    LDatabase db;
    if (!db.OpenForReading(catalogue)) {
      m_LastError = db.Error();
      return m_LastError.Message.empty() ? std::move(result) : nullptr;
    }
    bool ok = true;
    if (IsPathQuery(query)) {
      const size_t start = std::char_traits<char>::length(kPathQueryStart);
      ok = LDocuments(db).ListUnder(query.substr(start, query.size() - start - 1),
                                    [&](const std::string& path, const std::string& modified) {
                                      result->Paths.push_back(path);
                                      result->Times.push_back(modified);
                                    });
    } else {
      const std::string match = TextMatch(query);
      if (match.empty()) {
        m_LastError = Failure("nothing to search for in: " + query);
        return result;
      }
      ok = LDocuments(db).Search(match, kMaxTextResults,
                                 [&](const std::string& path, const std::string& modified, const std::string& snippet) {
                                   result->Paths.push_back(path);
                                   result->Times.push_back(modified);
                                   result->Snippets.push_back(snippet);
                                 });
    }
    result->Count = static_cast<int>(result->Paths.size());
    if (ok) return result;
    m_LastError = db.Error();
    // A query the full-text engine refuses finds nothing; a catalogue that cannot be read gives null.
    if ((m_LastError.SqliteCode & 0xFF) == SQLITE_ERROR && !m_LastError.Corrupt) return std::make_unique<Result>();
    return nullptr;
  } catch (const std::exception& error) {
    m_LastError = Failure("unexpected failure searching " + catalogue + ": " + error.what());
    return nullptr;
  }
}

const LCatalogueError& LSearcher::LastError() const { return m_LastError; }

std::string LSearcher::GetModificationTime(const std::string& path) {
  try {
    boost::system::error_code ec;
    const std::time_t seconds = boost::filesystem::last_write_time(path, ec);
    if (ec) return std::string();
    return FormatModificationTime(static_cast<std::int64_t>(seconds));
  } catch (const std::bad_alloc&) {
    // No time to compare: the document counts as changed and is read again, which loses nothing.
    return std::string();
  }
}

std::string LSearcher::FormatModificationTime(std::int64_t seconds) {
  const long long secondsOfDay = ((static_cast<long long>(seconds) % 86400) + 86400) % 86400;
  const long long days = (static_cast<long long>(seconds) - secondsOfDay) / 86400;
  long long year = 0;
  int month = 0;
  int day = 0;
  CivilFromDays(days, year, month, day);
  if (year < 0 || year > 9999) return std::string();
  char text[32];
  std::snprintf(text, sizeof text, "%04lld%02d%02d%02lld%02lld%02lld", year, month, day, secondsOfDay / 3600,
                secondsOfDay % 3600 / 60, secondsOfDay % 60);
  return text;
}
