#include "platform/CDirectoryNames.h"

#include <algorithm>
#include <cstdint>

namespace platform {

namespace {

std::string_view NameAt(const std::string& text, std::uint32_t offset) { return std::string_view(text.data() + offset); }

}  // namespace

void CDirectoryNames::Add(const std::string& directory, const std::vector<CDirectoryListing::Entry>& entries,
                          bool (*keep)(std::string_view name)) {
  Names names;
  for (const CDirectoryListing::Entry& entry : entries) {
    if (!keep(entry.Name)) continue;
    // Past what an offset can hold the directory is left out: its names are looked up one by one.
    if (names.Text.size() + entry.Name.size() >= UINT32_MAX) {
      m_Directories.erase(directory);
      return;
    }
    names.Offsets.push_back(static_cast<std::uint32_t>(names.Text.size()));
    names.Text.append(entry.Name).push_back('\0');
  }
  // Sorted names cost four bytes each beside their text, where a hash set would cost some forty.
  const std::string& text = names.Text;
  std::sort(names.Offsets.begin(), names.Offsets.end(),
            [&text](std::uint32_t a, std::uint32_t b) { return NameAt(text, a) < NameAt(text, b); });
  names.Offsets.shrink_to_fit();
  m_Directories[directory] = std::move(names);
}

int CDirectoryNames::Holds(std::string_view directory, std::string_view name) const {
  const auto found = m_Directories.find(directory);
  if (found == m_Directories.end()) return -1;
  const Names& names = found->second;
  const auto at = std::lower_bound(names.Offsets.begin(), names.Offsets.end(), name,
                                   [&names](std::uint32_t offset, std::string_view value) {
                                     return NameAt(names.Text, offset) < value;
                                   });
  return at != names.Offsets.end() && NameAt(names.Text, *at) == name ? 1 : 0;
}

}  // namespace platform
