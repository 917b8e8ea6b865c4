#include "walk/ReconcilePatterns.h"

#include <cstddef>
#include <cstring>

namespace {

// The regex library folds case in the classic locale: ASCII letters only.
char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The text before end matches tail, where '?' in tail stands for any character.
bool TailMatches(const std::string& path, size_t end, const char* tail, size_t length) {
  if (end < length) return false;
  const size_t start = end - length;
  for (size_t i = 0; i < length; ++i) {
    if (tail[i] != '?' && Lower(path[start + i]) != tail[i]) return false;
  }
  return true;
}

// '$' of the regex library is multi-line: it also matches before \n, \r or \f anywhere in
// the text, except between the \r and \n of one line break.
bool IsLineEnd(const std::string& path, size_t at) {
  if (at == path.size()) return true;
  const char c = path[at];
  if (c == '\r' || c == '\f') return true;
  return c == '\n' && (at == 0 || path[at - 1] != '\r');
}

// Some line end of the path is preceded by one of the tails (all of one length).
template <size_t Count>
bool AnyLineEndAfter(const std::string& path, const char* const (&tails)[Count], size_t length) {
  const char* data = path.data();
  const bool oneLine = std::memchr(data, '\n', path.size()) == nullptr &&
                       std::memchr(data, '\r', path.size()) == nullptr && std::memchr(data, '\f', path.size()) == nullptr;
  if (oneLine) {
    // The usual path has its only line end at its end.
    for (const char* tail : tails) {
      if (TailMatches(path, path.size(), tail, length)) return true;
    }
    return false;
  }
  for (size_t end = path.size() + 1; end-- > 0;) {
    if (end != path.size() && path[end] != '\n' && path[end] != '\r' && path[end] != '\f') continue;
    if (!IsLineEnd(path, end)) continue;
    for (const char* tail : tails) {
      if (TailMatches(path, end, tail, length)) return true;
    }
  }
  return false;
}

}  // namespace

bool ReconcilePatterns::IsCandidate(const std::string& path) {
  static const char* const kTails[] = {"?xml", "?pdf"};
  return AnyLineEndAfter(path, kTails, 4);
}

bool ReconcilePatterns::IsCompanion(const std::string& path) {
  static const char* const kTails[] = {"?fk$?xml", "?fk2?xml"};
  return AnyLineEndAfter(path, kTails, 8);
}

bool ReconcilePatterns::IsSkippedDirectoryName(const std::string& name) {
  // The walks and the watcher's thread ask at the same time: no regex object (its matcher's
  // shared memory blocks are handed between threads inside the uninstrumented library, which
  // the thread sanitizer reports as a race).
  for (const char* word : {"originals", "catalogue_is"}) {
    const size_t length = std::strlen(word);
    for (size_t end = length; end <= name.size(); ++end) {
      if (TailMatches(name, end, word, length) && (IsLineEnd(name, end) || Lower(name[end]) == 'w')) return true;
    }
  }
  return false;
}
