#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "folders/CFolder.h"
#include "platform/CDirectoryListing.h"
#include "walk/CFolderPassHost.h"

class CCatalogueIndexer;
class CCatalogueSnapshot;
namespace FK {
class CFolderLayout;
}
namespace platform {
class CDirectoryNames;
class CStopLatch;
}

// One pass over the folder directories of one folder and its catalogue (worker thread, inside
// the catalogue lock): the fresh walk, the reconciling walk and the cleaner pass, with the
// catalogue's snapshot, the stop, the count of documents indexed and the pacing of the
// host. Tests step through its walks directly. The host and the stop latch (null: none) must
// outlive it.
class CFolderDirectoryPass {
 public:
  CFolderDirectoryPass(CFolderPassHost& host, FK::CFolder folder, std::string catalogue,
                       platform::CStopLatch* stop);
  ~CFolderDirectoryPass();
  CFolderDirectoryPass(const CFolderDirectoryPass&) = delete;
  CFolderDirectoryPass& operator=(const CFolderDirectoryPass&) = delete;

  // One walk of a folder directory, fresh or reconciling, with its own snapshot; a walk that
  // ends normally is noted in the catalogue (table complete_walks) with the time it started.
  CFolderPassHost::PassResult Walk(const std::string& directory, bool fresh);
  // The walks of one directory tree against the snapshot taken for it (LoadSnapshot): read
  // whole for the fresh walk, looked up path by path for the reconciling walk. The tree's
  // directory is also the one below which the folder's left-out directories count.
  void LoadSnapshot(const std::string& directory, bool fresh);
  const CCatalogueSnapshot& Snapshot() const { return *m_pSnapshot; }  // after LoadSnapshot
  void IndexFresh(const std::string& directory);
  void Reconcile(const std::string& directory);
  // The cleaner pass over the catalogue's entries under the directory.
  void Clean(const std::string& directory);
  // The walks keep the names of the directories they list there, and the cleaner takes them as
  // present without listing again; the caller holds them for one pass only (they age) and they
  // must outlive this object. Null: none kept.
  void ShareListings(platform::CDirectoryNames* listed) { m_pListed = listed; }

  // The early stop of the reconciling walk. It takes a level's files newest first (by arrival
  // time, the later of modification and status-change time) and may end the level at a
  // catalogued, unchanged file only when that file arrived more than kStopMarginSeconds before
  // the last complete walk of the folder directory started: every file listed after it arrived
  // earlier still, so it was there, unchanged, during that whole walk, which left it catalogued
  // with its current text. With no complete walk recorded the level is walked in full.
  static constexpr std::int64_t kStopMarginSeconds = 1;
  static bool MayEndLevelAt(std::int64_t arrival, std::optional<std::int64_t> lastCompleteWalkStarted) {
    return lastCompleteWalkStarted && arrival + kStopMarginSeconds < *lastCompleteWalkStarted;
  }

  int Indexed() const { return m_nIndexed; }
  // Verification of a watched folder: the reconciling walks take only the files that arrived
  // before the given time (a later one may still be on its way through the watch) and count
  // what they found out of step with the catalogue: documents stored that it lacked (a moved
  // one taken over included) and documents stored again because their file changed.
  void VerifyBefore(std::int64_t time) { m_nMendsBefore = time; }
  int Added() const { return m_nAdded; }
  int Replaced() const { return m_nReplaced; }
  // The current walk missed something (a listing failed, a stop, a write failure).
  bool WalkIncomplete() const { return m_bWalkIncomplete; }

 private:
  using LevelFiles = std::vector<std::pair<std::int64_t, size_t>>;
  using LevelEntries = std::vector<platform::CDirectoryListing::Entry>;

  bool CanWalk();
  void KeepListing(const std::string& directory, const LevelEntries& entries);
  bool IsExcluded(const std::string& directory) const;
  // A path the system cannot take: said, and left out.
  bool IsTooLong(const std::string& path);
  void SortLevel(const std::string& directory, const platform::CDirectoryListing& listing,
                 const LevelEntries& entries, LevelFiles& files,
                 std::multimap<std::int64_t, std::string>& subDirectories);
  bool ReconcileFiles(const std::string& directory, const LevelEntries& entries, const LevelFiles& files,
                      std::int64_t& start);
  void IndexFreshFile(const std::string& path, bool& written);
  bool IndexCounted(const std::string& path);
  void CountMend(bool found);
  // A new file that is a catalogued document moved here (acrossOnly: from another folder's
  // catalogue only): its entry follows it, or its text is taken, unread.
  bool TakeMoved(const std::string& path, bool acrossOnly);

  CFolderPassHost& m_Host;
  CCatalogueIndexer& m_Indexer;  // the host's
  const FK::CFolder m_Folder;
  const std::string m_strCatalogue;
  platform::CStopLatch* const m_pStop;
  platform::CDirectoryNames* m_pListed = nullptr;
  std::unique_ptr<CCatalogueSnapshot> m_pSnapshot;  // of the directory being walked
  std::unique_ptr<FK::CFolderLayout> m_pLayout;     // of the directory being walked
  // When the last complete walk of it began; none when not recorded or not to be trusted.
  std::optional<std::int64_t> m_LastCompleteWalk;
  int m_nIndexed = 0;
  std::int64_t m_nMendsBefore = 0;  // 0: an ordinary walk
  int m_nAdded = 0;
  int m_nReplaced = 0;
  bool m_bWalkIncomplete = false;
};
