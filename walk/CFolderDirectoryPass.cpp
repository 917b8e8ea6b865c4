#include "walk/CFolderDirectoryPass.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <optional>

#include <boost/filesystem.hpp>

#include "catalogue/CCatalogueCleaner.h"
#include "catalogue/CCatalogueIndexer.h"
#include "catalogue/CCatalogueSnapshot.h"
#include "catalogue/CMovedDocuments.h"
#include "catalogue/CMovesAcrossCatalogues.h"
#include "folders/CFolderLayout.h"
#include "platform/CBoundedReader.h"
#include "platform/CDirectoryNames.h"
#include "platform/ErrnoText.h"
#include "platform/PathChecks.h"
#include "status/MonitorListener.h"
#include "tools/CTool_FileSystem.h"

namespace fs = boost::filesystem;

namespace {

const std::string kVanishedText = platform::ErrnoText(ENOENT);

using EntryKind = platform::CDirectoryListing::Kind;

}  // namespace

CFolderDirectoryPass::CFolderDirectoryPass(CFolderPassHost& host, FK::CFolder folder, std::string catalogue,
                                           platform::CStopLatch* stop)
    : m_Host(host),
      m_Indexer(host.Indexer()),
      m_Folder(std::move(folder)),
      m_strCatalogue(std::move(catalogue)),
      m_pStop(stop) {}

CFolderDirectoryPass::~CFolderDirectoryPass() {
  // No connection to another catalogue outlives the pass: the engine may empty that catalogue next.
  if (CMovesAcrossCatalogues* across = m_Host.MovesAcross()) across->Close();
}

bool CFolderDirectoryPass::CanWalk() {
  const bool can = m_Host.CanContinueWalk() == 1 && !m_Indexer.CorruptionSeen() && !m_Indexer.WriteFailureSeen();
  // A walk that ends here has not looked at everything.
  if (!can) m_bWalkIncomplete = true;
  return can;
}

bool CFolderDirectoryPass::IsExcluded(const std::string& directory) const {
  return m_pLayout && m_pLayout->IsLeftOutDirectory(m_pLayout->RelativeOf(directory));
}

void CFolderDirectoryPass::LoadSnapshot(const std::string& directory, bool fresh) {
  m_pLayout = std::make_unique<FK::CFolderLayout>(m_Folder, m_strCatalogue, directory);
  m_pSnapshot = std::make_unique<CCatalogueSnapshot>();
  // With a rollback journal, a write transaction that outgrows the page cache locks readers out
  // until its commit, the walk's own look-ups included: there the entries are read beforehand.
  if (fresh || LIndexer::UsesRollbackJournal(m_strCatalogue)) {
    m_pSnapshot->Load(directory, m_strCatalogue);
  } else {
    m_pSnapshot->Open(directory, m_strCatalogue);
  }
  m_LastCompleteWalk = m_pSnapshot->GetLastCompleteWalk();
  // A record made while the clock was ahead would let the early stop pass by files that
  // arrived after the walk it stands for.
  if (m_LastCompleteWalk && *m_LastCompleteWalk > m_Host.Now()) {
    m_LastCompleteWalk.reset();
    if (!fresh) {
      m_Host.SendStatusMessage(kMessageLine, ":sub: :error: Catalogue " + m_strCatalogue + ": the last complete walk of " +
                                                   directory + " is recorded as begun in the future (a clock that "
                                                   "was ahead): it is not trusted, the directory is walked in full");
    }
  }
}

bool CFolderDirectoryPass::IsTooLong(const std::string& path) {
  if (!platform::IsPathTooLong(path)) return false;
  m_Host.SendStatusMessage(kMessageLine, ":sub: :error: Path too long for the system, left out: " +
                                               platform::CutPathForLog(path));
  return true;
}

CFolderPassHost::PassResult CFolderDirectoryPass::Walk(const std::string& directory, bool fresh) {
  const platform::CBoundedReader::CLocalReadsDirect localReadsDirect;
  std::string unc = directory;
  CTool_FileSystem::AddBackslash(unc);
  // Taken before anything is read: every file that arrives later is newer than the record.
  const std::int64_t started = m_Host.Now();
  m_bWalkIncomplete = false;
  LoadSnapshot(unc, fresh);
  if (m_pSnapshot->IsCorrupt()) {
    m_Indexer.NoteCorruption(true, m_pSnapshot->GetError());
    m_pSnapshot.reset();
    return CFolderPassHost::PassResult::Damaged;
  }
  if (fresh) {
    IndexFresh(unc);
  } else {
    Reconcile(unc);
  }
  // A look-up that found the catalogue damaged during the walk.
  if (m_pSnapshot->IsCorrupt()) m_Indexer.NoteCorruption(true, m_pSnapshot->GetError());
  m_pSnapshot.reset();
  m_Indexer.ReleaseWriter();
  // Only a walk that looked at every file of the tree and had every write committed lets a
  // later walk end its levels early.
  if (!m_bWalkIncomplete && CanWalk()) {
    m_Indexer.RecordCompleteWalk(unc, m_strCatalogue, started);
    m_Indexer.ReleaseWriter();
  }
  // A first walk wrote the whole catalogue: its log is copied into the database now rather than
  // by the commit of some later small pass.
  if (fresh && m_nIndexed > 0 && !m_Indexer.WriteFailureSeen() && !m_Indexer.CorruptionSeen()) {
    m_Indexer.CheckpointLog(m_strCatalogue);
  }
  return m_Indexer.CorruptionSeen() ? CFolderPassHost::PassResult::Damaged : CFolderPassHost::PassResult::Done;
}

void CFolderDirectoryPass::Reconcile(const std::string& directory) {
  if (IsExcluded(directory)) return;
  std::int64_t start = m_Host.Now();
  LevelEntries entries;
  LevelFiles files;
  std::multimap<std::int64_t, std::string> subDirectories;
  {
    platform::CDirectoryListing listing(directory);
    std::string errorText;
    if (!listing.Read(entries, errorText)) {
      m_Host.SendStatusMessage(kMessageLine, ":sub: :error: Cannot list directory " + directory + ": " + errorText);
      m_bWalkIncomplete = true;
      return;
    }
    KeepListing(directory, entries);
    SortLevel(directory, listing, entries, files, subDirectories);
  }
  // Newest first. The order of files of the same second does not matter: the level only ends
  // at a file that arrived before the last complete walk, so every file of its second is
  // checked before it (see MayEndLevelAt).
  std::stable_sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  start = m_Host.Now();
  bool written = ReconcileFiles(directory, entries, files, start);
  LevelEntries().swap(entries);
  // The documents of a level are committed when the work slice is used up and at the end of
  // the walk (Walk releases the writer), not after every level: a commit per level made each
  // level's few documents a segment of their own in a large index.
  if (m_Host.IsSliceUsedUp(start)) {
    m_Host.KeepAlive();
    if (written) m_Indexer.ReopenWriter(m_strCatalogue);
    m_Host.ReportWaiting();
    m_Host.PauseBetweenSlices(m_pStop);
  }
  for (auto it = subDirectories.rbegin(); it != subDirectories.rend() && CanWalk(); ++it) {
    Reconcile(it->second + "/");
  }
}

// The candidate files of one level with their arrival times, and its sub-directories by
// last-write time.
void CFolderDirectoryPass::SortLevel(const std::string& directory, const platform::CDirectoryListing& listing,
                                     const LevelEntries& entries, LevelFiles& files,
                                     std::multimap<std::int64_t, std::string>& subDirectories) {
  std::int64_t start = m_Host.Now();
  std::string errorText;
  std::string path;  // one buffer for the level: no allocation per entry
  for (size_t i = 0; i < entries.size(); ++i) {
    if (!CanWalk()) break;
    const auto& [name, kind] = entries[i];
    path.assign(directory).append(name);
    if (kind != EntryKind::Other && IsTooLong(path)) continue;
    std::int64_t time = 0;
    if (kind == EntryKind::File && FK::CFolderLayout::IsDocumentName(name)) {
      if (listing.GetArrivalTime(name, time, errorText)) {
        files.emplace_back(time, i);
      } else if (errorText != kVanishedText) {
        m_bWalkIncomplete = true;  // a file that is there but cannot be looked at
      }
    } else if (kind == EntryKind::Directory && !FK::CFolderLayout::IsLeftOutName(name) && !IsExcluded(path)) {
      boost::system::error_code ec;
      const std::time_t written = fs::last_write_time(path, ec);
      subDirectories.emplace(ec ? 0 : static_cast<std::int64_t>(written), path);
    }
    m_Host.PauseWhenSliceUsedUp(start, m_pStop, false);
  }
}

bool CFolderDirectoryPass::ReconcileFiles(const std::string& directory, const LevelEntries& entries,
                                          const LevelFiles& files, std::int64_t& start) {
  bool written = false;
  CCatalogueSnapshot& snapshot = *m_pSnapshot;
  const std::optional<std::int64_t> lastWalk = m_Host.IsFullReconcile() ? std::nullopt : m_LastCompleteWalk;
  // Documents stored with an empty time are taken again wherever they stand in the level.
  const std::vector<std::string> retries = snapshot.GetRetriesIn(directory);
  bool ended = false;
  for (auto it = files.rbegin(); it != files.rend() && CanWalk(); ++it) {
    const std::string path = directory + entries[it->second].Name;
    if (ended && std::find(retries.begin(), retries.end(), path) == retries.end()) continue;
    if (m_nMendsBefore != 0 && it->first >= m_nMendsBefore) continue;
    int modified = 0;
    const int found = snapshot.IsModified(path, modified);
    if (found != 0 && modified == 0) {
      if (!ended && MayEndLevelAt(it->first, lastWalk)) {
        ended = true;
        if (retries.empty()) break;
      }
      continue;
    }
    if (found == 0 && TakeMoved(path, false)) {
      CountMend(false);
      written = true;
      continue;
    }
    if (!m_Host.IsDueForRetry(path)) continue;
    // The new version replaces the old one in the same transaction: readers never miss it.
    if (found != 0 && m_Host.IsDebug()) m_Host.SendStatusMessage(kMessageIndexDocument, "remove file " + path);
    if (IndexCounted(path)) {
      CountMend(found != 0);
      written = true;
    }
    m_Host.PauseWhenSliceUsedUp(start, m_pStop, true);
  }
  return written;
}

void CFolderDirectoryPass::IndexFresh(const std::string& directory) {
  if (IsExcluded(directory)) return;
  LevelEntries entries;
  std::string errorText;
  if (!platform::CDirectoryListing(directory).Read(entries, errorText)) {
    m_Host.SendStatusMessage(kMessageLine, ":sub: :error: Cannot list directory " + directory + ": " + errorText);
    m_bWalkIncomplete = true;
    return;
  }
  KeepListing(directory, entries);
  for (const auto& [name, kind] : entries) {
    if (!CanWalk()) break;
    if (kind == EntryKind::Directory && !FK::CFolderLayout::IsLeftOutName(name) && !IsTooLong(directory + name + "/")) {
      IndexFresh(directory + name + "/");
    }
  }
  bool written = false;
  std::int64_t start = m_Host.Now();
  for (const auto& [name, kind] : entries) {
    if (!CanWalk()) break;
    if (kind == EntryKind::Directory) continue;
    if (kind == EntryKind::File && FK::CFolderLayout::IsDocumentName(name) && !IsTooLong(directory + name)) {
      IndexFreshFile(directory + name, written);
    }
    if (m_Host.IsSliceUsedUp(start)) {
      if (written) m_Indexer.ReopenWriter(m_strCatalogue);
      written = false;
      m_Host.KeepAlive();
      m_Host.PauseBetweenSlices(m_pStop);
      start = m_Host.Now();
    }
  }
  if (written) m_Indexer.ReopenWriter(m_strCatalogue);
}

void CFolderDirectoryPass::IndexFreshFile(const std::string& path, bool& written) {
  int modified = 0;
  const int found = m_pSnapshot->IsModified(path, modified);
  if (found != 0 && modified == 0) {
    m_Host.ReportWaiting();
    return;
  }
  if (found == 0 && TakeMoved(path, true)) {
    written = true;
    return;
  }
  if (!m_Host.IsDueForRetry(path)) return;
  if (found != 0 && m_Host.IsDebug()) m_Host.SendStatusMessage(kMessageRemoveDocument, "remove file " + path);
  written = IndexCounted(path) || written;
}

bool CFolderDirectoryPass::TakeMoved(const std::string& path, bool acrossOnly) {
  CMovedDocuments moves(m_Indexer);
  CMovesAcrossCatalogues* across = m_Host.MovesAcross();
  std::string from;
  if (!acrossOnly && moves.TakeMoved(path, m_strCatalogue)) {
    from = moves.MovedFrom();
  } else if (across != nullptr && !m_Indexer.WriteFailureSeen() && across->Take(path, m_strCatalogue, m_Indexer)) {
    from = across->MovedFrom();
  } else {
    return false;
  }
  if (m_Host.IsDebug()) m_Host.SendStatusMessage(kMessageIndexDocument, "move file " + from + " to " + path);
  return true;
}

void CFolderDirectoryPass::CountMend(bool found) {
  if (m_nMendsBefore != 0) ++(found ? m_nReplaced : m_nAdded);
}

bool CFolderDirectoryPass::IndexCounted(const std::string& path) {
  bool abandoned = false;
  if (!m_Host.IndexCounted(path, m_strCatalogue, m_Folder, abandoned)) {
    // A read cut short by a stop left the document out: the walk has not seen everything.
    if (abandoned) m_bWalkIncomplete = true;
    return false;
  }
  ++m_nIndexed;
  return true;
}

void CFolderDirectoryPass::KeepListing(const std::string& directory, const LevelEntries& entries) {
  // The whole level, taken before the early stop: the files the walk did not look at are in it too.
  if (m_pListed != nullptr) m_pListed->Add(directory, entries, &FK::CFolderLayout::IsDocumentName);
}

void CFolderDirectoryPass::Clean(const std::string& directory) {
  const FK::CFolderLayout layout(m_Folder, m_strCatalogue, directory);
  std::int64_t start = m_Host.Now();
  CCatalogueCleaner cleaner(m_Indexer, directory, m_strCatalogue, m_pListed);
  const int count = cleaner.GetCount();
  // The entries come in path order, so a duplicate follows its original: remembering every
  // path of a large catalogue would cost more memory than the rest of the pass.
  std::string previous;
  bool anyName = false;
  for (int i = 0; i < count && CanWalk(); ++i) {
    int duplicate = 0;
    std::optional<std::string> name = cleaner.GetFileName(i);
    if (name) {
      // An entry the walks no longer take (stored by a service that drew the line elsewhere)
      // would never change again: it goes like a duplicate.
      const std::string_view relative = layout.RelativeOf(*name);
      duplicate = (anyName && *name == previous) || (!relative.empty() && !layout.IsDocument(relative)) ? 1 : 0;
      previous.swap(*name);
      anyName = true;
    }
    cleaner.Clean(i, duplicate);
    if (i % 500 == 0) cleaner.Flush();
    // A long pass must keep the service's watchdog fed as the walks do.
    m_Host.PauseWhenSliceUsedUp(start, m_pStop, true);
  }
  if (cleaner.Release() && count > 0) {
    m_Host.SendStatusMessage(kMessageLine, ":sub: :error: Directory " + directory +
                                                 " is missing or empty: its catalogue entries are kept");
  }
}
