#include "catalogue/IndexWriterToRelease.h"

#include <utility>

IndexWriterToRelease::IndexWriterToRelease(std::string catalogue)
    : m_strCatalogue(std::move(catalogue)), m_Holder(m_strCatalogue) {}

IndexWriterToRelease::~IndexWriterToRelease() {
  LCatalogueError ignored;
  Release(ignored);
}

bool IndexWriterToRelease::OpenLocked(LCatalogueError& error) {
  if (m_pWriter == nullptr) m_pWriter = m_Indexer.GetWriter(m_strCatalogue);
  error = m_Indexer.LastError();
  return m_pWriter != nullptr;
}

bool IndexWriterToRelease::Open(LCatalogueError& error) {
  platform::CLockGuard guard(m_Mutex);
  return OpenLocked(error);
}

bool IndexWriterToRelease::Release(LCatalogueError& error) {
  platform::CLockGuard guard(m_Mutex);
  error = LCatalogueError();
  if (m_pWriter == nullptr) return true;
  const bool committed = m_Indexer.ReleaseWriter(m_pWriter);
  m_pWriter = nullptr;
  error = m_Indexer.LastError();
  return committed;
}

int IndexWriterToRelease::Store(const std::string& path, const std::string& text, const std::string& modified,
                                LCatalogueError& error, std::string& note, const LFileIdentity* identity) {
  platform::CLockGuard guard(m_Mutex);
  note.clear();
  if (!OpenLocked(error)) return 0;
  const int result = m_Indexer.IndexFromContent(m_pWriter, path, text, modified, identity);
  error = m_Indexer.LastError();
  note = m_Indexer.LastNote();
  return result;
}

std::int64_t IndexWriterToRelease::Remove(const std::string& path, bool below, LCatalogueError& error,
                                          bool keepText) {
  platform::CLockGuard guard(m_Mutex);
  if (!OpenLocked(error)) return -1;
  const std::int64_t removed = m_Indexer.Remove(m_pWriter, path, below, keepText);
  error = m_Indexer.LastError();
  return removed;
}

std::int64_t IndexWriterToRelease::Move(const std::string& from, const std::string& to, bool below,
                                        const LFileIdentity* identity, LCatalogueError& error) {
  platform::CLockGuard guard(m_Mutex);
  if (!OpenLocked(error)) return -1;
  const std::int64_t moved = m_Indexer.Move(m_pWriter, from, to, below, identity);
  error = m_Indexer.LastError();
  return moved;
}

bool IndexWriterToRelease::FindByIdentity(const LFileIdentity& identity, const std::string& modified,
                                          std::vector<std::pair<std::string, LFileIdentity>>& entries,
                                          LCatalogueError& error) {
  platform::CLockGuard guard(m_Mutex);
  if (!OpenLocked(error)) return false;
  const bool found = m_Indexer.FindByIdentity(m_pWriter, identity, modified, entries);
  error = m_Indexer.LastError();
  return found;
}

bool IndexWriterToRelease::RecordCompleteWalk(const std::string& directory, std::int64_t started,
                                              LCatalogueError& error) {
  platform::CLockGuard guard(m_Mutex);
  if (!OpenLocked(error)) return false;
  const bool recorded = m_Indexer.RecordCompleteWalk(m_pWriter, directory, started);
  error = m_Indexer.LastError();
  return recorded;
}
