#include "catalogue/CCatalogueSnapshot.h"

#include <algorithm>
#include <cctype>
#include <memory>

namespace {

bool IsUnderOriginals(std::string path) {
  std::transform(path.begin(), path.end(), path.begin(), [](unsigned char c) { return std::toupper(c); });
  return path.find("/ORIGINALS/") != std::string::npos;
}

}  // namespace

void CCatalogueSnapshot::Load(const std::string& directory, const std::string& catalogue) {
  if (IsUnderOriginals(directory)) return;
  std::unique_ptr<LSearcher::Result> result = m_Searcher.Search("path:\"" + directory + "\"", catalogue);
  if (!result) {
    m_bCorrupt = m_Searcher.LastError().Corrupt;
    return;
  }
  m_nDocumentCount = result->Count;
  const size_t entries = std::min(result->Paths.size(), result->Times.size());
  for (size_t i = 0; i < entries; ++i) {
    if (!IsUnderOriginals(result->Paths[i])) m_StoredTimes[result->Paths[i]] = result->Times[i];
  }
}

int CCatalogueSnapshot::IsModified(const std::string& path, int& modified) const {
  modified = 0;
  if (m_nDocumentCount <= 0) return 0;
  const auto stored = m_StoredTimes.find(path);
  if (stored == m_StoredTimes.end()) return 0;
  modified = LSearcher::GetModificationTime(path) != stored->second ? 1 : 0;
  return 1;
}
