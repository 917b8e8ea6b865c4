// fkcatalogue: reads a catalogue of the indexing service (read-only, while the service writes it).

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include "catalogue/LDatabase.h"
#include "catalogue/LSearcher.h"
#include "catalogue/LXmlText.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitAbsent = 1;
constexpr int kExitFailure = 2;

const char* const kUsage =
    "Usage: fkcatalogue COMMAND CATALOGUE [ARGUMENTS] [--json]\n"
    "Reads a catalogue of the Fennrick indexing service without changing it.\n"
    "\n"
    "  count CATALOGUE [DIR]      the number of documents (under DIR: whose path starts with DIR)\n"
    "  list CATALOGUE [DIR]       one line per document: path, a tab, its modification time (UTC)\n"
    "  exists CATALOGUE PATH      exit status 0 when PATH is catalogued, 1 when not\n"
    "  search CATALOGUE WORDS...  documents holding all the words, best first, with an excerpt;\n"
    "                             \"a phrase\" in quotes, word* for a prefix\n"
    "\n"
    "  --json   print the answer as JSON\n"
    "  --help   print this help\n"
    "\n"
    "CATALOGUE is the catalogue directory (the one holding catalogue.sqlite).\n"
    "Exit status: 0 done, 1 PATH absent (exists), 2 bad usage or a missing or damaged catalogue.\n";

struct Command {
  std::string Name;
  std::string Catalogue;
  std::vector<std::string> Arguments;
  bool Json = false;
};

// Valid JSON even for paths that are not UTF-8, and reversible: a byte outside valid UTF-8 is
// written as the lone surrogate \udcXX (Python's "surrogateescape"), which no valid text holds.
std::string JsonString(const std::string& raw) {
  std::string json = "\"";
  char escaped[8];
  for (size_t i = 0; i < raw.size();) {
    const auto c = static_cast<unsigned char>(raw[i]);
    const size_t length = LXmlText::ValidSequenceLength(raw, i);
    if (length == 0) {
      std::snprintf(escaped, sizeof escaped, "\\udc%02x", c);
      json += escaped;
    } else if (c == '"' || c == '\\') {
      json += '\\';
      json += static_cast<char>(c);
    } else if (c < 0x20) {
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      json += escaped;
    } else {
      json.append(raw, i, length);
    }
    i += length == 0 ? 1 : length;
  }
  return json + "\"";
}

int Fail(const std::string& message) {
  std::cerr << "fkcatalogue: " << message << "\n";
  return kExitFailure;
}

int UsageError(const std::string& message) {
  std::cerr << "fkcatalogue: " << message << "\nTry 'fkcatalogue --help'.\n";
  return kExitFailure;
}

// Parses the command line; false (message printed) when it is not one of the commands.
bool Parse(int argc, char** argv, Command& command, int& status) {
  std::vector<std::string> words;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      status = kExitOk;
      return false;
    }
    if (arg == "--json") {
      command.Json = true;
    } else if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
      status = UsageError("unknown option " + arg);
      return false;
    } else {
      words.push_back(arg);
    }
  }
  if (words.size() < 2) {
    status = UsageError(words.empty() ? "no command given" : "no catalogue given");
    return false;
  }
  command.Name = words[0];
  command.Catalogue = words[1];
  command.Arguments.assign(words.begin() + 2, words.end());
  return true;
}

bool CheckArguments(const Command& command, int& status) {
  const size_t n = command.Arguments.size();
  const std::string& name = command.Name;
  bool ok = false;
  if (name == "count" || name == "list") ok = n <= 1;
  else if (name == "exists") ok = n == 1;
  else if (name == "search") ok = n >= 1;
  else {
    status = UsageError("unknown command '" + name + "'");
    return false;
  }
  if (!ok) status = UsageError("wrong arguments for '" + name + "'");
  return ok;
}

// A missing catalogue must not look like an empty one to the people who run the archives.
bool CheckCatalogue(const std::string& catalogue, int& status) {
  boost::system::error_code ec;
  if (!boost::filesystem::is_directory(catalogue, ec)) {
    status = Fail("no catalogue directory " + catalogue);
    return false;
  }
  if (!boost::filesystem::is_regular_file(LDatabase::FilePath(catalogue), ec)) {
    status = Fail("no catalogue in " + catalogue + " (" + LDatabase::kFileName + " is missing)");
    return false;
  }
  return true;
}

int ReadFailure(const LSearcher& searcher, const std::string& catalogue) {
  const LCatalogueError& error = searcher.LastError();
  return Fail("cannot read the catalogue " + catalogue + (error.Corrupt ? " (damaged)" : "") + ": " + error.Message);
}

int RunCount(const Command& command) {
  LSearcher searcher;
  const int count = command.Arguments.empty() ? searcher.Count(command.Catalogue)
                                              : searcher.Count(command.Arguments[0], command.Catalogue);
  if (!searcher.LastError().Message.empty()) return ReadFailure(searcher, command.Catalogue);
  if (command.Json) {
    std::cout << "{\"count\": " << count << "}\n";
  } else {
    std::cout << count << "\n";
  }
  return kExitOk;
}

int RunExists(const Command& command) {
  LSearcher searcher;
  int found = 0;
  searcher.FileExists(command.Arguments[0], command.Catalogue, found);
  if (!searcher.LastError().Message.empty()) return ReadFailure(searcher, command.Catalogue);
  if (command.Json) {
    std::cout << "{\"path\": " << JsonString(command.Arguments[0]) << ", \"exists\": " << (found ? "true" : "false")
              << "}\n";
  }
  return found ? kExitOk : kExitAbsent;
}

std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  }
  return text;
}

void PrintResult(const Command& command, const LSearcher::Result& result, bool withSnippets) {
  const char* key = withSnippets ? "results" : "documents";
  if (command.Json) std::cout << "{\"count\": " << result.Count << ", \"" << key << "\": [";
  for (size_t i = 0; i < result.Paths.size(); ++i) {
    const std::string snippet = withSnippets && i < result.Snippets.size() ? result.Snippets[i] : std::string();
    if (command.Json) {
      std::cout << (i ? ",\n  " : "\n  ") << "{\"path\": " << JsonString(result.Paths[i])
                << ", \"modified\": " << JsonString(result.Times[i]);
      if (withSnippets) std::cout << ", \"snippet\": " << JsonString(snippet);
      std::cout << "}";
    } else {
      std::cout << result.Paths[i] << "\t" << result.Times[i];
      if (withSnippets) std::cout << "\t" << OneLine(snippet);
      std::cout << "\n";
    }
  }
  if (command.Json) std::cout << (result.Paths.empty() ? "]}\n" : "\n]}\n");
}

int RunSearch(const Command& command, bool list) {
  std::string query;
  if (list) {
    query = "path:\"" + (command.Arguments.empty() ? std::string() : command.Arguments[0]) + "\"";
  } else {
    for (const auto& word : command.Arguments) query += (query.empty() ? "" : " ") + word;
  }
  LSearcher searcher;
  const auto result = searcher.Search(query, command.Catalogue);
  if (!result || searcher.LastError().SqliteCode != 0) return ReadFailure(searcher, command.Catalogue);
  if (!searcher.LastError().Message.empty()) std::cerr << "fkcatalogue: " << searcher.LastError().Message << "\n";
  PrintResult(command, *result, !list);
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    Command command;
    int status = kExitOk;
    if (!Parse(argc, argv, command, status) || !CheckArguments(command, status)) return status;
    if (!CheckCatalogue(command.Catalogue, status)) return status;
    if (command.Name == "count") return RunCount(command);
    if (command.Name == "exists") return RunExists(command);
    return RunSearch(command, command.Name == "list");
  } catch (const std::exception& e) {
    return Fail(e.what());
  } catch (...) {
    return Fail("unexpected failure");
  }
}
