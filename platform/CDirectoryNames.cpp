#include "platform/CDirectoryNames.h"

#include <algorithm>
#include <cstdint>
#include <functional>

namespace platform {

namespace {

std::size_t HashOf(std::string_view name) { return std::hash<std::string_view>()(name); }

}  // namespace

void CDirectoryNames::Add(const std::string& directory, const std::vector<CDirectoryListing::Entry>& entries,
                          bool (*keep)(std::string_view name)) {
  m_pLast = nullptr;
  Names names;
  for (const CDirectoryListing::Entry& entry : entries) {
    if (!keep(entry.Name)) continue;
    // Past what an offset can hold the directory is left out: its names are looked up one by one.
    if (names.Text.size() + entry.Name.size() >= UINT32_MAX) {
      m_Directories.erase(directory);
      return;
    }
    names.Keys.push_back({HashOf(entry.Name), static_cast<std::uint32_t>(names.Text.size())});
    names.Text.append(entry.Name).push_back('\0');
  }
  // Sorted by hash: integers sort and search several times faster than the names themselves.
  std::sort(names.Keys.begin(), names.Keys.end(), [](const Key& a, const Key& b) { return a.Hash < b.Hash; });
  names.Keys.shrink_to_fit();
  m_Directories[directory] = std::move(names);
}

int CDirectoryNames::Holds(std::string_view directory, std::string_view name) const {
  // The cleaner asks in path order: the same directory many times in a row.
  if (m_pLast == nullptr || m_LastDirectory != directory) {
    const auto found = m_Directories.find(directory);
    if (found == m_Directories.end()) return -1;
    m_pLast = &found->second;
    m_LastDirectory = found->first;
  }
  const Names& names = *m_pLast;
  const std::size_t hash = HashOf(name);
  auto at = std::lower_bound(names.Keys.begin(), names.Keys.end(), hash,
                             [](const Key& key, std::size_t value) { return key.Hash < value; });
  for (; at != names.Keys.end() && at->Hash == hash; ++at) {
    if (std::string_view(names.Text.data() + at->Offset) == name) return 1;
  }
  return 0;
}

}  // namespace platform
