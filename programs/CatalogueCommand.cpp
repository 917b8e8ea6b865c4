#include "programs/CatalogueCommand.h"

#include <cstdio>
#include <iostream>

#include <boost/filesystem.hpp>

#include "catalogue/LXmlText.h"
#include "platform/FileOps.h"

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

std::string WithThousands(std::int64_t number) {
  std::string digits = std::to_string(number < 0 ? -number : number);
  for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3) digits.insert(static_cast<size_t>(i), ",");
  return number < 0 ? "-" + digits : digits;
}

int Fail(const std::string& message) {
  std::cerr << "fkcatalogue: " << message << "\n";
  return kExitFailure;
}

int UsageError(const std::string& message) {
  std::cerr << "fkcatalogue: " << message << "\nTry 'fkcatalogue --help'.\n";
  return kExitFailure;
}

std::string AbsolutePath(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  boost::system::error_code ec;
  const boost::filesystem::path current = boost::filesystem::current_path(ec);
  if (ec) return path;
  const std::string absolute = platform::NormalPath((current / path).string());
  // A trailing '/' said "directory": keep it.
  return path.back() == '/' && absolute.back() != '/' ? absolute + "/" : absolute;
}
