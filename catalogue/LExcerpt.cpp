#include "catalogue/LExcerpt.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include <sqlite3.h>  // carries the FTS5 extension interface

namespace {

using Range = std::pair<int, int>;  // first and last token of a match, or bytes of a token

// Byte ranges of the tokens from First on, up to and including Last + 1 (to know more follow).
struct TokenScan {
  int First = 0;
  int Last = 0;
  int Index = 0;
  std::vector<Range> Bytes;  // of token First + i
};

int OnToken(void* context, int flags, const char*, int, int start, int end) {
  auto& scan = *static_cast<TokenScan*>(context);
  if (flags & FTS5_TOKEN_COLOCATED) return SQLITE_OK;
  if (scan.Index >= scan.First) scan.Bytes.emplace_back(start, end);
  return ++scan.Index > scan.Last + 1 ? SQLITE_DONE : SQLITE_OK;
}

// The scanned text ends on a character boundary.
int ScanLength(const char* text, int size) {
  int length = std::min(size, LExcerpt::kScanBytes);
  while (length > 0 && length < size && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
  return length;
}

std::vector<Range> Matches(const Fts5ExtensionApi* api, Fts5Context* fts) {
  std::vector<Range> matches;
  int count = 0;
  if (api->xInstCount(fts, &count) != SQLITE_OK) return matches;
  for (int i = 0; i < count; ++i) {
    int phrase = 0;
    int column = 0;
    int offset = 0;
    if (api->xInst(fts, i, &phrase, &column, &offset) == SQLITE_OK && column == 0) {
      matches.emplace_back(offset, offset + std::max(1, api->xPhraseSize(fts, phrase)) - 1);
    }
  }
  std::sort(matches.begin(), matches.end());
  return matches;
}

bool IsMatched(const std::vector<Range>& matches, int token) {
  for (const Range& match : matches) {
    if (token >= match.first && token <= match.second) return true;
  }
  return false;
}

// The window of kTokens tokens from the first match (or from the start), with its matches in
// brackets and "..." where the text goes on.
std::string Build(const char* text, int size, const std::vector<Range>& matches, const TokenScan& scan) {
  const int available = static_cast<int>(scan.Bytes.size());
  const bool more = scan.Index > scan.Last + 1 || available > scan.Last - scan.First + 1;
  // The first match a little left of the middle, as FTS5's snippet() places it.
  int begin = 0;
  if (!matches.empty() && matches.front().first <= scan.Last) {
    const int length = matches.front().second - matches.front().first + 1;
    begin = std::max(0, matches.front().first - std::max(0, (LExcerpt::kTokens - length) / 2) - scan.First);
  }
  int end = std::min(available, begin + LExcerpt::kTokens);
  if (!more) begin = std::max(0, end - LExcerpt::kTokens);
  if (available == 0) return std::string(text, static_cast<size_t>(size));
  const bool atStart = scan.First + begin == 0;
  const bool atEnd = !more && end == available;
  std::string excerpt = atStart ? "" : "...";
  int at = atStart ? 0 : scan.Bytes[begin].first;
  for (int i = begin; i < end; ++i) {
    const Range& bytes = scan.Bytes[i];
    const bool matched = IsMatched(matches, scan.First + i);
    excerpt.append(text + at, static_cast<size_t>(bytes.first - at));
    if (matched) excerpt += '[';
    excerpt.append(text + bytes.first, static_cast<size_t>(bytes.second - bytes.first));
    if (matched) excerpt += ']';
    at = bytes.second;
  }
  if (atEnd) excerpt.append(text + at, static_cast<size_t>(size - at));
  else excerpt += "...";
  return excerpt;
}

void ExcerptFunction(const Fts5ExtensionApi* api, Fts5Context* fts, sqlite3_context* result, int, sqlite3_value**) {
  const char* text = nullptr;
  int size = 0;
  if (api->xColumnText(fts, 0, &text, &size) != SQLITE_OK || text == nullptr) {
    sqlite3_result_text(result, "", 0, SQLITE_STATIC);
    return;
  }
  const std::vector<Range> matches = Matches(api, fts);
  TokenScan scan;
  const int first = matches.empty() ? 0 : matches.front().first;
  scan.First = std::max(0, first - LExcerpt::kTokens + 1);
  scan.Last = first + LExcerpt::kTokens - 1;
  const int rc = api->xTokenize(fts, text, ScanLength(text, size), &scan, OnToken);
  if (rc != SQLITE_OK && rc != SQLITE_DONE) {
    sqlite3_result_error_code(result, rc);
    return;
  }
  if (scan.Bytes.empty() && scan.First > 0) {
    // The first match lies past the scanned part: the excerpt is the document's beginning.
    scan = TokenScan();
    scan.Last = LExcerpt::kTokens - 1;
    api->xTokenize(fts, text, ScanLength(text, size), &scan, OnToken);
  }
  const std::string excerpt = Build(text, size, matches, scan);
  sqlite3_result_text(result, excerpt.data(), static_cast<int>(excerpt.size()), SQLITE_TRANSIENT);
}

fts5_api* Fts5Api(sqlite3* db) {
  fts5_api* api = nullptr;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT fts5(?1)", -1, &statement, nullptr) == SQLITE_OK) {
    sqlite3_bind_pointer(statement, 1, static_cast<void*>(&api), "fts5_api_ptr", nullptr);
    sqlite3_step(statement);
  }
  sqlite3_finalize(statement);
  return api;
}

}  // namespace

bool LExcerpt::Register(sqlite3* db) {
  fts5_api* api = Fts5Api(db);
  return api != nullptr &&
         api->xCreateFunction(api, "fk_excerpt", nullptr, ExcerptFunction, nullptr) == SQLITE_OK;
}
