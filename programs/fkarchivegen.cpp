// Writes a synthetic archive of supplier invoices (XML and PDF) for demonstrations and
// measurements: fkarchivegen DIR [--xml N] [--pdf M] [--pages P] [--seed S] [--months K].
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/ArchiveGenerator.h"

namespace {

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "usage: fkarchivegen DIR [options]\n"
               "Writes XML and PDF invoices into DIR/<year>/<month>/, with an ORIGINALS\n"
               "directory per year, .FK$.xml companions and .txt notes that are no documents.\n"
               "  --xml N         XML invoices (default 100)\n"
               "  --pdf M         PDF invoices, for the first M invoice numbers (default 10)\n"
               "  --pages P       pages per PDF invoice (default 2)\n"
               "  --seed S        seed of the made-up contents (default 1)\n"
               "  --months K      month directories to spread over (default 24)\n"
               "  --first-year Y  year of the first month directory (default 2023)\n"
               "  --skip-every K  every K-th XML invoice gets a companion and a note; 0: no\n"
               "                  files to skip at all (default 100)\n");
}

bool ParseNumber(const char* text, long long minimum, long long& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtoll(text, &end, 10);
  return errno == 0 && end != text && *end == '\0' && value >= minimum && value <= 100000000;
}

// 0 when parsed; otherwise the exit status.
int ParseArguments(int argc, char** argv, std::string& directory, bench::ArchiveGenerator::Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--help" || argument == "-h") {
      PrintUsage(stdout);
      return -1;
    }
    if (argument.rfind("--", 0) != 0) {
      if (!directory.empty()) {
        std::fprintf(stderr, "fkarchivegen: one directory only, not also %s\n", argument.c_str());
        return 2;
      }
      directory = argument;
      continue;
    }
    long long value = 0;
    const bool hasValue = i + 1 < argc;
    const long long minimum = (argument == "--pages" || argument == "--months") ? 1 : 0;
    if (!hasValue || !ParseNumber(argv[i + 1], minimum, value)) {
      std::fprintf(stderr, "fkarchivegen: %s needs a number (at least %lld)\n", argument.c_str(), minimum);
      return 2;
    }
    ++i;
    if (argument == "--xml") options.XmlCount = static_cast<int>(value);
    else if (argument == "--pdf") options.PdfCount = static_cast<int>(value);
    else if (argument == "--pages") options.PdfPages = static_cast<int>(value);
    else if (argument == "--seed") options.Seed = static_cast<std::uint64_t>(value);
    else if (argument == "--months") options.Months = static_cast<int>(value);
    else if (argument == "--first-year") options.FirstYear = static_cast<int>(value);
    else if (argument == "--skip-every") options.SkipEvery = static_cast<int>(value);
    else {
      std::fprintf(stderr, "fkarchivegen: unknown option %s\n", argument.c_str());
      return 2;
    }
  }
  if (directory.empty()) {
    PrintUsage(stderr);
    return 2;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string directory;
  bench::ArchiveGenerator::Options options;
  const int parsed = ParseArguments(argc, argv, directory, options);
  if (parsed != 0) return parsed < 0 ? 0 : parsed;

  bench::ArchiveGenerator generator(options);
  std::string error;
  if (!generator.Generate(directory, error)) {
    std::fprintf(stderr, "fkarchivegen: %s\n", error.c_str());
    return 1;
  }
  const bench::ArchiveGenerator::Counts& counts = generator.GetCounts();
  std::printf("%s: %d XML invoices, %d PDF invoices (%d pages), %d files to skip, %d directories, %.1f MB\n",
              directory.c_str(), counts.XmlDocuments, counts.PdfDocuments, counts.PdfPages, counts.SkippedFiles,
              counts.Directories, counts.Bytes / 1e6);
  return 0;
}
