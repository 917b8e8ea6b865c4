#include "catalogue/CCatalogueCleaner.h"

#include "catalogue/CCatalogueIndexer.h"
#include "catalogue/LIndexer.h"

CCatalogueCleaner::CCatalogueCleaner(CCatalogueIndexer& indexer, const std::string& directory,
                                     const std::string& catalogue, const platform::CDirectoryNames* listed)
    : m_Indexer(indexer), m_pIndexer(std::make_unique<LIndexer>()) {
  m_pCleaner = m_pIndexer->InitCleaner(directory, catalogue, listed);
  NoteLibraryState();
  m_nCount = m_pIndexer->GetCleanCount();
}

CCatalogueCleaner::~CCatalogueCleaner() { Release(); }

std::optional<std::string> CCatalogueCleaner::GetFileName(int index) {
  std::optional<std::string> name = m_pIndexer->GetCleanerFileName(index);
  NoteLibraryState();
  return name;
}

void CCatalogueCleaner::Clean(int index, int duplicate) {
  m_pIndexer->Clean(index, duplicate);
  NoteLibraryState();
}

void CCatalogueCleaner::Flush() {
  if (m_pCleaner == nullptr || m_bReleased) return;
  m_pIndexer->FlushDeleter(m_pCleaner);
  NoteLibraryState();
}

bool CCatalogueCleaner::Release() {
  if (!m_bReleased) {
    m_bReleased = true;
    m_pIndexer->ReleaseCleaner();
    NoteLibraryState();
  }
  return m_pIndexer->CleanerSkippedPurge();
}

void CCatalogueCleaner::NoteLibraryState() {
  const LCatalogueError& error = m_pIndexer->LastError();
  m_Indexer.NoteCorruption(error.Corrupt, error);
}
