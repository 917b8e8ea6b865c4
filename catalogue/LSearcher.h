#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "catalogue/LCatalogueError.h"

// Reads a catalogue; one object per query. Opens the catalogue read-only and never
// creates it: a missing catalogue counts 0 and finds nothing. No call throws.
class LSearcher {
 public:
  struct Result {
    std::vector<std::string> Paths;
    std::vector<std::string> Times;     // 14-digit modification-time strings, UTC
    std::vector<std::string> Snippets;  // text searches only: a short excerpt of the match
    std::vector<double> Ranks;          // SearchText only: bm25, lower is better
    int Count = 0;
    std::int64_t Total = 0;  // SearchText only: every match, not only those given
  };

  LSearcher();
  ~LSearcher();
  LSearcher(const LSearcher&) = delete;
  LSearcher& operator=(const LSearcher&) = delete;

  int Count(const std::string& catalogue);
  // Documents whose path starts with the directory.
  int Count(const std::string& directory, const std::string& catalogue);
  // Nonzero when present; found is set to the same.
  int FileExists(const std::string& path, const std::string& catalogue, int& found);
  static constexpr int kMaxTextResults = 1000;  // a text search gives the best ones only

  // `path:"DIR"` lists the documents under DIR (all, unranked); any other query is a
  // text search of the content (words, "phrases", word* prefixes, all
  // required), ranked best first. Null when the catalogue cannot be read.
  std::unique_ptr<Result> Search(const std::string& query, const std::string& catalogue);

  // A text search giving at most limit best hits with their ranks, and the number of all
  // matches in Total. Null when the catalogue cannot be read.
  std::unique_ptr<Result> SearchText(const std::string& query, const std::string& catalogue, std::int64_t limit);
  // False for a query without a word to search for (blank, or only empty quotes).
  static bool HasSearchTerms(const std::string& query);

  const LCatalogueError& LastError() const;

  // The 14-digit UTC modification time of a file (YYYYMMDDhhmmss); "" when it cannot be read.
  static std::string GetModificationTime(const std::string& path);
  // The same format for a time in seconds since 1970; "" outside years 0 to 9999.
  static std::string FormatModificationTime(std::int64_t seconds);

 private:
  LCatalogueError m_LastError;
};
