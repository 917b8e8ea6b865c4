#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "catalogue/CCatalogueHolder.h"
#include "catalogue/LCatalogueError.h"
#include "catalogue/LIndexer.h"
#include "platform/CMutex.h"

// The writer of one catalogue, kept by the writer registry (CWriterRegistry), which owns it.
// Any thread: every call takes the record's lock for the write itself only, so a document's
// content is read before the writer is taken and no write waits on another document's read.
class IndexWriterToRelease {
 public:
  explicit IndexWriterToRelease(std::string catalogue);
  ~IndexWriterToRelease();  // commits what is pending
  IndexWriterToRelease(const IndexWriterToRelease&) = delete;
  IndexWriterToRelease& operator=(const IndexWriterToRelease&) = delete;

  const std::string& GetCatalogue() const { return m_strCatalogue; }
  // Who holds the catalogue for a reconciling pass (see CCatalogueLock).
  CCatalogueHolder& Holder() { return m_Holder; }
  // Opens the writer when none is open; false (and why in error) when it cannot be opened.
  bool Open(LCatalogueError& error) EXCLUDES(m_Mutex);
  // Commits and closes the writer; false (and why) when the commit failed. True when none is open.
  bool Release(LCatalogueError& error) EXCLUDES(m_Mutex);
  // Stores a document with the content read beforehand and its modification time ("": taken
  // again at the next pass) and the identity of the file read (null: none), opening the writer
  // when needed. Nonzero when stored; note: why the text was kept incomplete ("" when whole).
  int Store(const std::string& path, const std::string& text, const std::string& modified,
            LCatalogueError& error, std::string& note, const LFileIdentity* identity = nullptr) EXCLUDES(m_Mutex);
  // Removes the document's entry (below: every entry under the directory), opening the writer
  // when needed, uncommitted; how many went, -1 (and why) when the catalogue cannot be written.
  // keepText: a PDF's text is kept a while for a move into another folder (LIndexer::Remove).
  std::int64_t Remove(const std::string& path, bool below, LCatalogueError& error, bool keepText = false)
      EXCLUDES(m_Mutex);
  // LIndexer::Move and FindByIdentity on this catalogue, opening the writer when needed.
  std::int64_t Move(const std::string& from, const std::string& to, bool below, const LFileIdentity* identity,
                    LCatalogueError& error) EXCLUDES(m_Mutex);
  bool FindByIdentity(const LFileIdentity& identity, const std::string& modified,
                      std::vector<std::pair<std::string, LFileIdentity>>& entries, LCatalogueError& error)
      EXCLUDES(m_Mutex);
  // Notes a complete walk of the directory begun at `started` and commits.
  bool RecordCompleteWalk(const std::string& directory, std::int64_t started, LCatalogueError& error)
      EXCLUDES(m_Mutex);

 private:
  bool OpenLocked(LCatalogueError& error) REQUIRES(m_Mutex);

  const std::string m_strCatalogue;
  CCatalogueHolder m_Holder;
  platform::CMutex m_Mutex;
  LIndexer m_Indexer GUARDED_BY(m_Mutex);
  LWriter* m_pWriter GUARDED_BY(m_Mutex) = nullptr;  // owned by m_Indexer; null when none is open
};
