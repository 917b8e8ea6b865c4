#include "programs/CatalogueQueries.h"

#include <algorithm>
#include <iostream>
#include <limits>

#include "catalogue/LSearcher.h"
#include "platform/FileOps.h"

namespace {

int ReadFailure(const LSearcher& searcher, const std::string& catalogue) {
  const LCatalogueError& error = searcher.LastError();
  return Fail("cannot read the catalogue " + catalogue + (error.Corrupt ? " (damaged)" : "") + ": " + error.Message);
}

// A directory counts as a whole path component: "/a/b" is not the start of "/a/bc/x".
std::string DirectoryPrefix(const std::string& directory) {
  return platform::WithTrailingSlash(AbsolutePath(directory));
}

std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  }
  return text;
}

std::string FolderField(const CatalogueTarget& target, bool json) {
  if (target.Reference.empty()) return "";
  return json ? "\"folder\": " + JsonString(target.Reference) + ", " : target.Reference + "\t";
}

struct Hit {
  const CatalogueTarget* Target;
  std::string Path;
  std::string Modified;
  std::string Snippet;
  double Rank;
};

void PrintHit(const CatalogueCommand& command, const Hit& hit, bool first, bool withSnippet) {
  if (command.Json) {
    std::cout << (first ? "\n  " : ",\n  ") << "{" << FolderField(*hit.Target, true) << "\"path\": "
              << JsonString(hit.Path) << ", \"modified\": " << JsonString(hit.Modified);
    if (withSnippet) std::cout << ", \"snippet\": " << JsonString(hit.Snippet);
    std::cout << "}";
  } else {
    std::cout << FolderField(*hit.Target, false) << hit.Path << "\t" << hit.Modified;
    if (withSnippet) std::cout << "\t" << OneLine(hit.Snippet);
    std::cout << "\n";
  }
}

void PrintHits(const CatalogueCommand& command, const std::vector<Hit>& hits, const std::string& head,
               const char* key, bool withSnippets) {
  if (command.Json) std::cout << "{" << head << "\"" << key << "\": [";
  for (size_t i = 0; i < hits.size(); ++i) PrintHit(command, hits[i], i == 0, withSnippets);
  if (command.Json) std::cout << (hits.empty() ? "]}\n" : "\n]}\n");
}

}  // namespace

int RunCount(const CatalogueCommand& command, const std::vector<CatalogueTarget>& targets) {
  const std::string prefix = command.Arguments.empty() ? std::string() : DirectoryPrefix(command.Arguments[0]);
  int status = kExitOk;
  std::int64_t total = 0;
  std::string perFolder;
  for (const CatalogueTarget& target : targets) {
    LSearcher searcher;
    const int count = searcher.Count(prefix, target.Catalogue);
    if (!searcher.LastError().Message.empty()) status = ReadFailure(searcher, target.Catalogue);
    total += count;
    if (target.Reference.empty()) continue;
    if (command.Json) {
      perFolder += (perFolder.empty() ? "" : ", ") + std::string("{\"folder\": ") + JsonString(target.Reference) +
                   ", \"count\": " + std::to_string(count) + "}";
    } else {
      perFolder += target.Reference + "\t" + std::to_string(count) + "\n";
    }
  }
  if (command.Json) {
    std::cout << "{\"count\": " << total;
    if (!command.ServiceDirectory.empty()) std::cout << ", \"folders\": [" << perFolder << "]";
    std::cout << "}\n";
  } else {
    std::cout << perFolder << (command.ServiceDirectory.empty() ? "" : "(all folders)\t") << total << "\n";
  }
  return status;
}

int RunExists(const CatalogueCommand& command, const std::vector<CatalogueTarget>& targets) {
  const std::string path = AbsolutePath(command.Arguments[0]);
  int status = kExitOk;
  std::vector<std::string> holders;
  for (const CatalogueTarget& target : targets) {
    LSearcher searcher;
    int found = 0;
    searcher.FileExists(path, target.Catalogue, found);
    if (!searcher.LastError().Message.empty()) status = ReadFailure(searcher, target.Catalogue);
    if (found) holders.push_back(target.Reference);
  }
  const bool withFolders = !command.ServiceDirectory.empty();
  if (command.Json) {
    std::cout << "{\"path\": " << JsonString(path) << ", \"exists\": " << (holders.empty() ? "false" : "true");
    if (withFolders) {
      std::cout << ", \"folders\": [";
      for (size_t i = 0; i < holders.size(); ++i) std::cout << (i ? ", " : "") << JsonString(holders[i]);
      std::cout << "]";
    }
    std::cout << "}\n";
  } else if (withFolders) {
    for (const std::string& holder : holders) std::cout << holder << "\n";
  }
  if (status != kExitOk) return status;
  return holders.empty() ? kExitAbsent : kExitOk;
}

int RunList(const CatalogueCommand& command, const std::vector<CatalogueTarget>& targets) {
  const std::string prefix = command.Arguments.empty() ? std::string() : DirectoryPrefix(command.Arguments[0]);
  int status = kExitOk;
  std::vector<Hit> hits;
  for (const CatalogueTarget& target : targets) {
    LSearcher searcher;
    const auto result = searcher.Search("path:\"" + prefix + "\"", target.Catalogue);
    if (!result || !searcher.LastError().Message.empty()) {
      status = ReadFailure(searcher, target.Catalogue);
      continue;
    }
    for (size_t i = 0; i < result->Paths.size(); ++i) {
      hits.push_back({&target, result->Paths[i], result->Times[i], "", 0});
    }
  }
  PrintHits(command, hits, "\"count\": " + std::to_string(hits.size()) + ", ", "documents", false);
  return status;
}

int RunSearch(const CatalogueCommand& command, const std::vector<CatalogueTarget>& targets) {
  std::string query;
  for (const auto& word : command.Arguments) query += (query.empty() ? "" : " ") + word;
  // The best offset + limit of each catalogue hold the best offset + limit of all of them.
  const std::int64_t wanted = command.Offset > std::numeric_limits<std::int64_t>::max() - command.Limit
                                  ? std::numeric_limits<std::int64_t>::max()
                                  : command.Offset + command.Limit;
  int status = kExitOk;
  std::int64_t total = 0;
  std::vector<Hit> hits;
  for (const CatalogueTarget& target : targets) {
    LSearcher searcher;
    const auto result = searcher.SearchText(query, target.Catalogue, wanted);
    if (!result || searcher.LastError().SqliteCode != 0) {
      status = ReadFailure(searcher, target.Catalogue);
      continue;
    }
    total += result->Total;
    for (size_t i = 0; i < result->Paths.size(); ++i) {
      hits.push_back({&target, result->Paths[i], result->Times[i], result->Snippets[i], result->Ranks[i]});
    }
  }
  std::stable_sort(hits.begin(), hits.end(), [](const Hit& a, const Hit& b) { return a.Rank < b.Rank; });
  const auto skipped = static_cast<size_t>(std::min<std::int64_t>(command.Offset, hits.size()));
  hits.erase(hits.begin(), hits.begin() + static_cast<std::ptrdiff_t>(skipped));
  if (static_cast<std::int64_t>(hits.size()) > command.Limit) hits.resize(static_cast<size_t>(command.Limit));
  PrintHits(command, hits,
            "\"count\": " + std::to_string(hits.size()) + ", \"total\": " + std::to_string(total) +
                ", \"offset\": " + std::to_string(command.Offset) + ", ",
            "results", true);
  if (!command.Json && static_cast<std::int64_t>(hits.size()) < total) {
    std::cerr << WithThousands(static_cast<std::int64_t>(hits.size())) << " of " << WithThousands(total) << " shown"
              << (command.Offset > 0 ? ", from " + WithThousands(command.Offset + 1) : std::string()) << "\n";
  }
  return status;
}
