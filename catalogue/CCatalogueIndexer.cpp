#include "catalogue/CCatalogueIndexer.h"

#include <atomic>
#include <utility>

#include "catalogue/CWriterRegistry.h"
#include "catalogue/IndexWriterToRelease.h"
#include "catalogue/LConnectionRegistry.h"
#include "catalogue/LSearcher.h"
#include "errors/CErrorLog.h"
#include "errors/CFKException.h"

namespace {

std::atomic<bool> g_bLibraryMemoryCleared{false};

}  // namespace

CCatalogueIndexer::CCatalogueIndexer() : m_pIndexer(std::make_unique<LIndexer>()) {}

CCatalogueIndexer::~CCatalogueIndexer() { Shutdown(); }

void CCatalogueIndexer::NoteLibraryState() {
  if (m_pIndexer) NoteLibraryState(m_pIndexer->LastError());
}

void CCatalogueIndexer::NoteLibraryState(const LCatalogueError& error) {
  m_LastError = error;
  NoteCorruption(error.Corrupt, error);
}

void CCatalogueIndexer::NoteCorruption(bool corrupt, const LCatalogueError& error) {
  if (!corrupt || m_bCorruptionSeen) return;
  m_bCorruptionSeen = true;
  m_CorruptionError = error;
}

const LCatalogueError& CCatalogueIndexer::LastError() const {
  return m_bCorruptionSeen ? m_CorruptionError : m_LastError;
}

IndexWriterToRelease* CCatalogueIndexer::GetWriter(const std::string& catalogue) {
  if (m_pWriter == nullptr && m_pIndexer) {
    IndexWriterToRelease& record = CWriterRegistry::Process().FindOrCreate(catalogue);
    LCatalogueError error;
    const bool opened = record.Open(error);
    NoteLibraryState(error);
    if (!opened) {
      NoteWriteFailure();
      return nullptr;
    }
    m_pWriter = &record;
  }
  return m_pWriter;
}

void CCatalogueIndexer::ReleaseWriter() { Commit(); }

void CCatalogueIndexer::NoteWrite(const std::string& catalogue) {
  if (m_bWritten) return;
  m_bWritten = true;
  m_nRollbacksBefore = LConnectionRegistry::RolledBack(catalogue);
}

bool CCatalogueIndexer::Commit() {
  if (m_pWriter == nullptr) return true;
  LCatalogueError error;
  bool committed = m_pWriter->Release(error);
  std::string why;
  // The catalogue's one transaction is shared by its writers: another's failed commit may have
  // rolled this writer's changes back, and only this writer can write them again.
  if (committed && m_bWritten &&
      LConnectionRegistry::RolledBack(m_pWriter->GetCatalogue(), &why) != m_nRollbacksBefore) {
    committed = false;
    error.Message = "its changes went with a failed commit (" + why + ")";
  }
  m_bWritten = false;
  m_pWriter = nullptr;
  NoteLibraryState(error);
  if (!committed) NoteWriteFailure();
  return committed;
}


void CCatalogueIndexer::ReopenWriter(const std::string& catalogue) {
  if (m_pWriter == nullptr) return;
  ReleaseWriter();
  GetWriter(catalogue);
}

void CCatalogueIndexer::CheckpointLog(const std::string& catalogue) {
  if (!Commit()) return;
  LIndexer::CheckpointLog(catalogue);
}

void CCatalogueIndexer::NoteWriteFailure() {
  const LCatalogueError& error = m_LastError;
  // A damaged catalogue is rebuilt, which is its own report.
  if (error.Corrupt || m_bWriteFailureSeen) return;
  m_bWriteFailureSeen = true;
  m_WriteFailure = error;
  if (m_WriteFailure.Message.empty()) m_WriteFailure.Message = "unknown failure";
}

bool CCatalogueIndexer::RecordCompleteWalk(const std::string& directory, const std::string& catalogue,
                                           std::int64_t started) {
  IndexWriterToRelease* writer = GetWriter(catalogue);
  if (writer == nullptr) return false;
  LCatalogueError error;
  NoteWrite(catalogue);
  const bool recorded = writer->RecordCompleteWalk(directory, started, error);
  NoteLibraryState(error);
  if (!recorded) NoteWriteFailure();
  return recorded;
}

int CCatalogueIndexer::Store(const std::string& path, const std::string& catalogue, const std::string& text,
                             const std::string& modified, const LFileIdentity* identity) {
  m_strLibraryNote.clear();
  IndexWriterToRelease* writer = GetWriter(catalogue);
  if (writer == nullptr) return 0;
  LCatalogueError error;
  NoteWrite(catalogue);
  const int result = writer->Store(path, text, modified, error, m_strLibraryNote, identity);
  NoteLibraryState(error);
  return result;
}

int CCatalogueIndexer::StoreDocument(CDocumentReader::SRead& read, const std::string& catalogue) {
  int result = 0;
  if (read.bStore) {
    result = Store(read.Path, catalogue, read.Text, read.Modified, read.bIdentity ? &read.Identity : nullptr);
    if (result == 0) read.eOutcome = Outcome::WriteFailed;
    const std::string& cut = m_strLibraryNote;
    if (!cut.empty()) read.Note = read.Note.empty() ? cut : read.Note + "; " + cut;
  }
  if (!read.Note.empty() && !read.bQuiet) {
    FKEXCEPTION::CErrorLog::WriteErrorLog(FKEXCEPTION::CFKException(
        FKEXCEPTION::kErrorUnknown, 0, __LINE__, "CCatalogueIndexer", "IndexDocument", read.Note, read.Path, false));
  }
  if (read.eOutcome == Outcome::WriteFailed) NoteWriteFailure();
  return result;
}

int CCatalogueIndexer::IndexDocument(const std::string& path, const std::string& catalogue,
                                     const PdfTextReader& readPdf, bool quiet, CDocumentReader::SRead* read) {
  CDocumentReader::SRead unread;
  CDocumentReader::SRead& done = read != nullptr ? *read : unread;
  done = CDocumentReader::SRead();
  done.Path = path;
  if (GetWriter(catalogue) == nullptr) {
    NoteWriteFailure();
    return 0;
  }
  done = CDocumentReader::Read(path, readPdf, quiet);
  return StoreDocument(done, catalogue);
}

void CCatalogueIndexer::RemoveDocument(const std::string& path, const std::string& catalogue) {
  if (!CDocumentReader::IsIndexableDocument(path) || !m_pIndexer) return;
  LDeleter* deleter = m_pIndexer->GetDeleter(catalogue);
  NoteLibraryState();
  if (deleter == nullptr) return;
  m_pIndexer->Delete(deleter, path);
  m_pIndexer->ReleaseDeleter(deleter);
  NoteLibraryState();
}

std::int64_t CCatalogueIndexer::RemoveEntries(const std::string& path, const std::string& catalogue, bool below) {
  IndexWriterToRelease* writer = GetWriter(catalogue);
  if (writer == nullptr) return -1;
  LCatalogueError error;
  NoteWrite(catalogue);
  const std::int64_t removed = writer->Remove(path, below, error);
  NoteLibraryState(error);
  if (removed < 0) NoteWriteFailure();
  return removed;
}

bool CCatalogueIndexer::WriteWith(const std::string& catalogue, const WriteStep& step) {
  IndexWriterToRelease* writer = GetWriter(catalogue);
  if (writer == nullptr) return false;
  LCatalogueError error;
  // Noted before the step: a failed commit of another writer that takes it along is seen at Commit.
  NoteWrite(catalogue);
  const bool done = step(*writer, error);
  NoteLibraryState(error);
  if (!done) NoteWriteFailure();
  return done;
}

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
  if (!m_bKeepLibrary && !g_bLibraryMemoryCleared.exchange(true)) LIndexer::ClearMemory();
}
