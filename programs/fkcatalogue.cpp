// fkcatalogue: reads the catalogues of the indexing service (read-only, while the service
// writes them) and the status it publishes.

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "catalogue/LSearcher.h"
#include "programs/CatalogueCommand.h"
#include "programs/CatalogueQueries.h"
#include "programs/CatalogueStatus.h"
#include "programs/CatalogueTargets.h"

namespace {

const char* const kUsage =
    "Usage: fkcatalogue COMMAND CATALOGUE [ARGUMENTS] [--json]\n"
    "       fkcatalogue COMMAND --service PROGRAM_DIR [ARGUMENTS] [--json]\n"
    "       fkcatalogue status PROGRAM_DIR [--json]\n"
    "Reads the catalogues of the Fennrick indexing service without changing them.\n"
    "\n"
    "  count CATALOGUE [DIR]      the number of documents (under the directory DIR)\n"
    "  list CATALOGUE [DIR]       one line per document: path, a tab, its modification time (UTC)\n"
    "  exists CATALOGUE PATH      exit status 0 when PATH is catalogued, 1 when not\n"
    "  search CATALOGUE WORDS...  documents holding all the words, best first, with an excerpt;\n"
    "                             \"a phrase\" in quotes, word* for a prefix\n"
    "  status PROGRAM_DIR         what the service on PROGRAM_DIR is doing, and whether it runs\n"
    "\n"
    "  --service PROGRAM_DIR  in place of CATALOGUE: every catalogue of the folders that the\n"
    "                         service of PROGRAM_DIR indexes; each result names its folder\n"
    "  --limit N              search: show at most N results (default 1000)\n"
    "  --offset N             search: skip the N best results first\n"
    "  --json                 print the answer as JSON\n"
    "  --help                 print this help\n"
    "\n"
    "CATALOGUE is the catalogue directory (the one holding catalogue.sqlite). Relative paths are\n"
    "taken from the current directory.\n"
    "Exit status: 0 done (status: the service runs), 1 PATH absent (exists), 2 bad usage or a\n"
    "missing or damaged catalogue, 3 (status) no service runs on PROGRAM_DIR.\n";

bool ParseCount(const std::string& option, const char* text, std::int64_t minimum, std::int64_t& value,
                int& status) {
  char* end = nullptr;
  const long long parsed = text == nullptr ? -1 : std::strtoll(text, &end, 10);
  if (text == nullptr || *text == '\0' || *end != '\0' || parsed < minimum) {
    status = UsageError(option + " needs a whole number of at least " + std::to_string(minimum));
    return false;
  }
  value = parsed;
  return true;
}

bool ParseOption(int argc, char** argv, int& i, CatalogueCommand& command, int& status) {
  const std::string arg = argv[i];
  const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
  if (arg == "--json") {
    command.Json = true;
    return true;
  }
  ++i;
  if (arg == "--limit") return ParseCount(arg, value, 1, command.Limit, status);
  if (arg == "--offset") return ParseCount(arg, value, 0, command.Offset, status);
  if (arg == "--service" && value != nullptr && *value != '\0') {
    command.ServiceDirectory = value;
    return true;
  }
  status = UsageError(arg == "--service" ? "--service needs a program directory" : "unknown option " + arg);
  return false;
}

// Parses the command line; false (message printed) when it is not one of the commands.
bool Parse(int argc, char** argv, CatalogueCommand& command, int& status) {
  std::vector<std::string> words;
  bool searchLimits = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      status = kExitOk;
      return false;
    }
    if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
      searchLimits = searchLimits || arg == "--limit" || arg == "--offset";
      if (!ParseOption(argc, argv, i, command, status)) return false;
    } else {
      words.push_back(arg);
    }
  }
  const size_t named = command.ServiceDirectory.empty() ? 2 : 1;
  if (words.size() < named) {
    status = UsageError(words.empty() ? "no command given" : "no catalogue given");
    return false;
  }
  command.Name = words[0];
  if (named == 2) command.Catalogue = words[1];
  command.Arguments.assign(words.begin() + static_cast<std::ptrdiff_t>(named), words.end());
  if (searchLimits && command.Name != "search") {
    status = UsageError("--limit and --offset are for 'search'");
    return false;
  }
  return true;
}

bool CheckArguments(const CatalogueCommand& command, int& status) {
  const size_t n = command.Arguments.size();
  const std::string& name = command.Name;
  bool ok = false;
  if (name == "count" || name == "list") ok = n <= 1;
  else if (name == "exists") ok = n == 1;
  else if (name == "search") ok = n >= 1;
  else if (name == "status") ok = n == 0 && command.ServiceDirectory.empty();
  else {
    status = UsageError("unknown command '" + name + "'");
    return false;
  }
  if (!ok) status = UsageError("wrong arguments for '" + name + "'");
  return ok;
}

int Run(const CatalogueCommand& command) {
  if (command.Name == "status") return RunStatus(command.Catalogue, command.Json);
  if (command.Name == "search") {
    std::string query;
    for (const auto& word : command.Arguments) query += word + " ";
    if (!LSearcher::HasSearchTerms(query)) return UsageError("nothing to search for");
  }
  std::vector<CatalogueTarget> targets;
  int status = kExitOk;
  if (!ResolveTargets(command, targets, status)) return status;
  if (command.Name == "count") return RunCount(command, targets);
  if (command.Name == "exists") return RunExists(command, targets);
  if (command.Name == "list") return RunList(command, targets);
  return RunSearch(command, targets);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    CatalogueCommand command;
    int status = kExitOk;
    if (!Parse(argc, argv, command, status) || !CheckArguments(command, status)) return status;
    return Run(command);
  } catch (const std::exception& e) {
    return Fail(e.what());
  } catch (...) {
    return Fail("unexpected failure");
  }
}
