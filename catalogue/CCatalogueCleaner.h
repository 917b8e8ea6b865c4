#pragma once

#include <memory>
#include <optional>
#include <string>

class CCatalogueIndexer;
class LIndexer;
struct LCleaner;
namespace platform {
class CDirectoryNames;
}

// One cleaner pass over a catalogue's entries under a directory, in path order (worker thread):
// an entry goes when it is a duplicate or its file is gone, the removals committed in batches;
// nothing is purged while the directory is missing or empty. Damage it meets is noted in the
// indexer, which must outlive it, as must the names a walk listed (null: none).
class CCatalogueCleaner {
 public:
  CCatalogueCleaner(CCatalogueIndexer& indexer, const std::string& directory, const std::string& catalogue,
                    const platform::CDirectoryNames* listed);
  ~CCatalogueCleaner();
  CCatalogueCleaner(const CCatalogueCleaner&) = delete;
  CCatalogueCleaner& operator=(const CCatalogueCleaner&) = delete;

  int GetCount() const { return m_nCount; }
  // The entry's path; nullopt when it went since the pass began (or could not be read).
  std::optional<std::string> GetFileName(int index);
  // Notes the entry for removal when duplicate is 1 or its file is gone.
  void Clean(int index, int duplicate);
  // Commits the removals noted so far.
  void Flush();
  // Commits the rest and ends the pass; true when entries were kept because the directory was
  // missing or empty.
  bool Release();

 private:
  void NoteLibraryState();

  CCatalogueIndexer& m_Indexer;
  std::unique_ptr<LIndexer> m_pIndexer;
  LCleaner* m_pCleaner = nullptr;  // m_pIndexer's; null when the pass could not begin
  int m_nCount = 0;
  bool m_bReleased = false;
};
