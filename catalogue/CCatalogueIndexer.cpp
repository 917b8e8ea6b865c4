#include "catalogue/CCatalogueIndexer.h"

#include <atomic>

#include <boost/algorithm/string/predicate.hpp>

#include "catalogue/LSearcher.h"
#include "errors/CFKException.h"
#include "pdf/CTool_QuickPDFLib.h"

namespace {

using boost::algorithm::iequals;

std::atomic<bool> g_bLibraryMemoryCleared{false};

// The extension of the name part of a path, from its last dot ("" when none).
std::string ExtensionOf(const std::string& path) {
  const size_t nameStart = path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1;
  const size_t dot = path.rfind('.');
  return dot == std::string::npos || dot < nameStart ? "" : path.substr(dot);
}

}  // namespace

CCatalogueIndexer::CCatalogueIndexer() : m_pIndexer(std::make_unique<LIndexer>()) {}

CCatalogueIndexer::~CCatalogueIndexer() { Shutdown(); }

void CCatalogueIndexer::NoteLibraryState() {
  if (m_pIndexer) NoteCorruption(m_pIndexer->LastError().Corrupt, m_pIndexer->LastError());
}

void CCatalogueIndexer::NoteCorruption(bool corrupt, const LCatalogueError& error) {
  if (!corrupt || m_bCorruptionSeen) return;
  m_bCorruptionSeen = true;
  m_CorruptionError = error;
}

const LCatalogueError& CCatalogueIndexer::LastError() const {
  static const LCatalogueError kNone;
  if (m_bCorruptionSeen) return m_CorruptionError;
  return m_pIndexer ? m_pIndexer->LastError() : kNone;
}

LWriter* CCatalogueIndexer::GetWriter(const std::string& catalogue) {
  if (m_pWriter == nullptr && m_pIndexer) {
    m_pWriter = m_pIndexer->GetWriter(catalogue);
    NoteLibraryState();
  }
  return m_pWriter;
}

void CCatalogueIndexer::ReleaseWriter() {
  if (m_pWriter == nullptr) return;
  m_pIndexer->ReleaseWriter(m_pWriter);
  m_pWriter = nullptr;
  NoteLibraryState();
}

void CCatalogueIndexer::CloseWriter(const std::string& /*catalogue*/) {
  if (m_pWriter == nullptr) return;
  m_pIndexer->CloseWriter(m_pWriter);
  m_pWriter = nullptr;
  NoteLibraryState();
}

void CCatalogueIndexer::ReopenWriter(const std::string& catalogue) {
  if (m_pWriter == nullptr) return;
  ReleaseWriter();
  GetWriter(catalogue);
}

bool CCatalogueIndexer::IsIndexableDocument(const std::string& name) {
  const std::string extension = ExtensionOf(name);
  if (!iequals(extension, ".XML") && !iequals(extension, ".PDF")) return false;
  return !iequals(ExtensionOf(name.substr(0, name.size() - extension.size())), ".FK$");
}

bool CCatalogueIndexer::UseReadingMarker(const std::string& markerPath, std::string& errorText) {
  return m_ReadingMarker.Open(markerPath, m_strSkipOnce, errorText);
}

int CCatalogueIndexer::IndexDocument(const std::string& path, const std::string& catalogue,
                                     CTool_QuickPDFLib* pdfTool) {
  m_strDocumentNote.clear();
  LWriter* writer = GetWriter(catalogue);
  if (writer == nullptr) return 0;
  int result;
  if (!m_strSkipOnce.empty() && path == m_strSkipOnce) {
    // Reading it again would likely stall or end the service again; a later change of the
    // file has it read as usual.
    m_strSkipOnce.clear();
    result = m_pIndexer->IndexFromContent(writer, path, "");
    m_strDocumentNote = "the service's last run ended while reading it (hung or crashed): catalogued without its text";
  } else {
    m_ReadingMarker.Begin(path);
    result = ReadAndIndex(writer, path, pdfTool);
    m_ReadingMarker.End();
    m_strDocumentNote = m_pIndexer->LastNote();
  }
  if (!m_strDocumentNote.empty()) {
    FKEXCEPTION::CFKException(0, 0, __LINE__, "CCatalogueIndexer", "IndexDocument", m_strDocumentNote, path, true,
                              false);
  }
  NoteLibraryState();
  return result;
}

int CCatalogueIndexer::ReadAndIndex(LWriter* writer, const std::string& path, CTool_QuickPDFLib* pdfTool) {
  if (!iequals(ExtensionOf(path), ".PDF")) return m_pIndexer->Index(writer, path);
  std::string text;
  if (pdfTool != nullptr && pdfTool->DAOpenFile(path, "") != 0) {
    text += pdfTool->DAExtractText(-1, -1, 7);
    pdfTool->DACloseFile(-1);
  }
  return m_pIndexer->IndexFromContent(writer, path, text);
}

void CCatalogueIndexer::RemoveDocument(const std::string& path, const std::string& catalogue) {
  if (!IsIndexableDocument(path) || !m_pIndexer) return;
  LDeleter* deleter = m_pIndexer->GetDeleter(catalogue);
  NoteLibraryState();
  if (deleter == nullptr) return;
  m_pIndexer->Delete(deleter, path);
  m_pIndexer->ReleaseDeleter(deleter);
  NoteLibraryState();
}

LCleaner* CCatalogueIndexer::InitCleaner(const std::string& directory, const std::string& catalogue) {
  LCleaner* cleaner = m_pIndexer->InitCleaner(directory, catalogue);
  NoteLibraryState();
  return cleaner;
}

int CCatalogueIndexer::GetCleanCount() { return m_pIndexer->GetCleanCount(); }

std::optional<std::string> CCatalogueIndexer::GetCleanerFileName(int index) {
  return m_pIndexer->GetCleanerFileName(index);
}

void CCatalogueIndexer::Clean(int index, int duplicate) { m_pIndexer->Clean(index, duplicate); }

void CCatalogueIndexer::FlushDeleter(LCleaner* cleaner) {
  if (cleaner == nullptr) return;
  m_pIndexer->FlushDeleter(cleaner);
  NoteLibraryState();
}

void CCatalogueIndexer::ReleaseCleaner() {
  m_pIndexer->ReleaseCleaner();
  NoteLibraryState();
}

bool CCatalogueIndexer::CleanerSkippedPurge() const { return m_pIndexer->CleanerSkippedPurge(); }

int CCatalogueIndexer::CountDocuments(const std::string& catalogue) {
  return CountDocumentsUnder(std::string(), catalogue);
}

int CCatalogueIndexer::CountDocumentsUnder(const std::string& directory, const std::string& catalogue) {
  LSearcher searcher;
  const int count = searcher.Count(directory, catalogue);
  NoteCorruption(searcher.LastError().Corrupt, searcher.LastError());
  return count;
}

int CCatalogueIndexer::FileExists(const std::string& path, const std::string& catalogue, int& found) {
  LSearcher searcher;
  return searcher.FileExists(path, catalogue, found);
}

void CCatalogueIndexer::Shutdown() {
  if (!m_pIndexer) return;
  // The writer belongs to the indexer: it is released before the indexer goes.
  ReleaseWriter();
  m_pIndexer.reset();
  if (!g_bLibraryMemoryCleared.exchange(true)) LIndexer::ClearMemory();
}
