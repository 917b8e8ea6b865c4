#include "catalogue/CMovesAcrossCatalogues.h"

#include <algorithm>

#include <boost/algorithm/string/predicate.hpp>

#include "catalogue/CCatalogueIndexer.h"
#include "catalogue/CMovedDocuments.h"
#include "catalogue/IndexWriterToRelease.h"
#include "catalogue/LDatabase.h"
#include "catalogue/LDepartedDocuments.h"
#include "catalogue/LSearcher.h"
#include "platform/FileTimes.h"

CMovesAcrossCatalogues::CMovesAcrossCatalogues() = default;

CMovesAcrossCatalogues::~CMovesAcrossCatalogues() = default;

void CMovesAcrossCatalogues::SetSources(std::vector<Source> sources) { m_Sources = std::move(sources); }

void CMovesAcrossCatalogues::Close() { m_Open.clear(); }

std::vector<std::string> CMovesAcrossCatalogues::Candidates(const std::string& catalogue, std::uint64_t device,
                                                            const std::string& fromCatalogue) const {
  std::vector<std::string> candidates;
  if (!fromCatalogue.empty()) {
    if (fromCatalogue != catalogue) candidates.push_back(fromCatalogue);
    return candidates;
  }
  // A rename cannot cross devices: only the folders on the file's own are asked.
  const auto add = [&](const std::string& name) {
    if (name != catalogue && candidates.size() < kMaxSearched &&
        std::find(candidates.begin(), candidates.end(), name) == candidates.end()) {
      candidates.push_back(name);
    }
  };
  for (const Source& source : m_Sources) {
    if (source.Device == device && source.Catalogue == m_strLastHit) add(source.Catalogue);
  }
  for (const Source& source : m_Sources) {
    if (source.Device == device) add(source.Catalogue);
  }
  return candidates;
}

LDatabase* CMovesAcrossCatalogues::Open(const std::string& catalogue) {
  for (auto it = m_Open.begin(); it != m_Open.end(); ++it) {
    if (it->first != catalogue) continue;
    m_Open.splice(m_Open.begin(), m_Open, it);
    return m_Open.front().second.get();
  }
  auto db = std::make_unique<LDatabase>();
  if (!db->OpenForReading(catalogue)) return nullptr;
  m_Open.emplace_front(catalogue, std::move(db));
  if (m_Open.size() > kMaxSearched) m_Open.pop_back();
  return m_Open.front().second.get();
}

void CMovesAcrossCatalogues::Forget(const std::string& catalogue) {
  m_Open.remove_if([&](const auto& open) { return open.first == catalogue; });
}

bool CMovesAcrossCatalogues::Take(const std::string& path, const std::string& catalogue, CCatalogueIndexer& indexer,
                                  const std::string& fromCatalogue) {
  m_strMovedFrom.clear();
  // Only PDFs: an XML document is read as cheaply as it is looked up.
  if (!boost::algorithm::iends_with(path, ".pdf")) return false;
  const platform::FileStamp now = platform::StampOf(path);
  if (!now.Ok || !now.Regular) return false;
  // A catalogued file was read at least a second after its last write, and a rename since then
  // changed its status-change time: one not changed after its last write's second is no move.
  if (now.ChangedSeconds <= now.ModifiedSeconds) return false;
  const LFileIdentity identity = LFileIdentity::Of(now);
  const std::string modified = LSearcher::FormatModificationTime(now.ModifiedSeconds);
  for (const std::string& source : Candidates(catalogue, now.Device, fromCatalogue)) {
    LDatabase* db = Open(source);
    std::vector<LDepartedDocuments::Found> found;
    if (db == nullptr) continue;
    if (!LDepartedDocuments(*db).Find(identity, modified, found)) {
      Forget(source);  // a damaged or replaced catalogue: opened afresh next time
      continue;
    }
    for (const LDepartedDocuments::Found& entry : found) {
      if (!CMovedDocuments::IsMovedHere(entry.Path, path, now, entry.Identity)) continue;
      // The rename changed the file's status-change time: the entry keeps the identity it has now.
      const bool stored = indexer.WriteWith(catalogue, [&](IndexWriterToRelease& writer, LCatalogueError& error) {
        std::string note;
        return writer.Store(path, entry.Text, entry.Modified, error, note, &identity) != 0;
      });
      if (!stored) return false;
      m_strLastHit = source;
      m_strMovedFrom = entry.Path;
      return true;
    }
  }
  return false;
}
