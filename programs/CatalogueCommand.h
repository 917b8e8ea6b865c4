#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One run of fkcatalogue: the command line as understood, and what its commands share.
constexpr int kExitOk = 0;
constexpr int kExitAbsent = 1;   // exists: the path is not catalogued
constexpr int kExitFailure = 2;  // bad usage, a missing or damaged catalogue
constexpr int kExitNotRunning = 3;  // status: no service runs on the program directory

struct CatalogueCommand {
  std::string Name;
  std::string Catalogue;         // "" with --service
  std::string ServiceDirectory;  // --service: the program directory of a service
  std::vector<std::string> Arguments;
  bool Json = false;
  std::int64_t Limit = 1000;  // search: results shown
  std::int64_t Offset = 0;    // search: best results skipped
};

// One catalogue to read: the folder's reference ("" for a catalogue named on the command line).
struct CatalogueTarget {
  std::string Reference;
  std::string Catalogue;
};

// Valid, reversible JSON for any bytes: a byte outside valid UTF-8 becomes the lone surrogate \udcXX.
std::string JsonString(const std::string& raw);
// "40,212"
std::string WithThousands(std::int64_t number);
// Prints "fkcatalogue: message" on standard error; kExitFailure.
int Fail(const std::string& message);
int UsageError(const std::string& message);
// A path given relative is taken from the current directory.
std::string AbsolutePath(const std::string& path);
