#include "platform/MachineOptions.h"

#include <strings.h>

#include <cstdlib>
#include <fstream>

namespace platform {

namespace {

std::string Trim(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return "";
  const size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(begin, end - begin + 1);
}

bool SameName(const std::string& a, const std::string& b) {
  return strcasecmp(a.c_str(), b.c_str()) == 0;
}

}  // namespace

std::string MachineOptionsFilePath() {
  const char* overridden = std::getenv("FK_OPTIONS_FILE");
  if (overridden != nullptr && *overridden != '\0') return overridden;
  return "/etc/fkindexingservice/options.ini";
}

bool ReadMachineOption(const std::string& key, const std::string& name, size_t maxLength,
                       std::string& value) {
  value.clear();
  std::ifstream file(MachineOptionsFilePath());
  if (!file) return false;
  bool keyFound = false;
  bool inKey = false;
  std::string line;
  while (std::getline(file, line)) {
    line = Trim(line);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line.front() == '[' && line.back() == ']') {
      inKey = SameName(Trim(line.substr(1, line.size() - 2)), key);
      keyFound = keyFound || inKey;
      continue;
    }
    const size_t equals = line.find('=');
    if (!inKey || equals == std::string::npos || !SameName(Trim(line.substr(0, equals)), name)) continue;
    const std::string found = Trim(line.substr(equals + 1));
    value = found.size() <= maxLength ? found : "";
    return true;
  }
  return keyFound;
}

}  // namespace platform
