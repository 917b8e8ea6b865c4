#include "catalogue/CCatalogueIndexer.h"

#include <atomic>
#include <cerrno>
#include <utility>

#include <boost/algorithm/string/predicate.hpp>

#include "catalogue/CWriterRegistry.h"
#include "catalogue/IndexWriterToRelease.h"
#include "catalogue/LConnectionRegistry.h"
#include "catalogue/LSearcher.h"
#include "catalogue/LXmlText.h"
#include "errors/CErrorLog.h"
#include "errors/CFKException.h"
#include "folders/CFolderLayout.h"
#include "platform/CReadingMarker.h"
#include "platform/FileTimes.h"

namespace {

using boost::algorithm::iequals;

std::atomic<bool> g_bLibraryMemoryCleared{false};

// The time to store for content read between two stamps, the read having run from readStart
// (the coarse file clock) to readEnd (the precise clock; whole seconds): the modification time
// read before the content,
// or "" when the file changed or was replaced while it was read, or was last written in a
// second of the read, when a write just after the read could leave the same time behind.
std::string StoredTime(const platform::FileStamp& before, const platform::FileStamp& after, std::int64_t readStart,
                       std::int64_t readEnd) {
  if (!before.Ok || !after.Ok || before != after) return std::string();
  if (before.ModifiedSeconds >= readStart && before.ModifiedSeconds <= readEnd) return std::string();
  return LSearcher::FormatModificationTime(before.ModifiedSeconds);
}

// The extension of the name part of a path, from its last dot ("" when none).
std::string ExtensionOf(const std::string& path) {
  const size_t nameStart = path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1;
  const size_t dot = path.rfind('.');
  return dot == std::string::npos || dot < nameStart ? "" : path.substr(dot);
}

CCatalogueIndexer::Outcome OutcomeOf(PdfText::Result result) {
  switch (result) {
    case PdfText::Result::Read:
      return CCatalogueIndexer::Outcome::Complete;
    case PdfText::Result::Refused:
      return CCatalogueIndexer::Outcome::Retry;
    case PdfText::Result::Passing:
      return CCatalogueIndexer::Outcome::RetryLater;
    case PdfText::Result::NoTool:
      return CCatalogueIndexer::Outcome::RetryAtRestart;
    case PdfText::Result::Abandoned:
      return CCatalogueIndexer::Outcome::Abandoned;
    case PdfText::Result::Damaged:
      break;
  }
  return CCatalogueIndexer::Outcome::Damaged;
}

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

bool CCatalogueIndexer::IsIndexableDocument(const std::string& name) { return FK::CFolderLayout::IsDocumentName(name); }

bool CCatalogueIndexer::UseReadingMarker(const std::string& markerPath, std::string& errorText) {
  return platform::CReadingMarker::Process().Open(markerPath, errorText);
}

int CCatalogueIndexer::IndexDocument(const std::string& path, const std::string& catalogue,
                                     const PdfTextReader& readPdf) {
  m_strDocumentNote.clear();
  m_strUnreadableReason.clear();
  m_strLibraryNote.clear();
  m_LastOutcome = Outcome::WriteFailed;
  // A catalogue that cannot be opened is found out before the document is read.
  if (GetWriter(catalogue) == nullptr) return 0;
  platform::CReadingMarker& marker = platform::CReadingMarker::Process();
  const int cutReads = marker.TakeUnfinished(path);
  int result;
  if (cutReads >= 2) {
    // Reading it a third time would likely stall or end the service again; a later change of
    // the file has it read as usual.
    result = Store(path, catalogue, "", LSearcher::GetModificationTime(path));
    m_strDocumentNote = "the service's last two runs ended while reading it (hung or crashed): catalogued "
                        "without its text";
    if (result != 0) m_LastOutcome = Outcome::Damaged;
  } else {
    marker.Begin(path, cutReads + 1);
    std::string readNote;
    result = ReadAndIndex(path, catalogue, readPdf, readNote);
    marker.End();
    // A read cut short by a stop says nothing of the document: it is read at the next start.
    if (cutReads == 1 && m_LastOutcome != Outcome::Abandoned) {
      const char* again = "read once more: the service's last run ended while reading it (hung or crashed)";
      readNote = readNote.empty() ? again : std::string(again) + "; " + readNote;
    }
    const std::string& libraryNote = m_strLibraryNote;
    m_strDocumentNote = readNote.empty() ? libraryNote : libraryNote.empty() ? readNote : readNote + "; " + libraryNote;
  }
  if (!m_strDocumentNote.empty() && !m_bQuiet) {
    FKEXCEPTION::CErrorLog::WriteErrorLog(FKEXCEPTION::CFKException(
        FKEXCEPTION::kErrorUnknown, 0, __LINE__, "CCatalogueIndexer", "IndexDocument", m_strDocumentNote, path, false));
  }
  if (result == 0 && m_LastOutcome == Outcome::WriteFailed) NoteWriteFailure();
  return result;
}

int CCatalogueIndexer::ReadAndIndex(const std::string& path, const std::string& catalogue,
                                    const PdfTextReader& readPdf, std::string& readNote) {
  // The time stored is the one read before the content: a write during the read leaves a
  // later time behind, which the next pass sees.
  const platform::FileStamp before = platform::StampOf(path);
  if (!before.Ok && before.Error == ENOENT) {
    m_LastOutcome = Outcome::Vanished;
    return 0;
  }
  if (before.Ok && !before.Regular) {
    m_LastOutcome = Outcome::NotADocument;
    return 0;
  }
  const std::int64_t readStart = platform::FileClockSeconds();
  std::string text;
  Outcome outcome = Outcome::Complete;
  if (!iequals(ExtensionOf(path), ".PDF")) {
    std::string error;
    if (!LXmlText::ReadFile(path, text, error, readNote)) {
      // Catalogued without text or time: the next pass reads it again.
      text.clear();
      readNote.clear();
      m_strUnreadableReason = error;
      outcome = Outcome::Retry;
    }
  } else {
    PdfText pdf = readPdf ? readPdf(path) : PdfText();
    text = std::move(pdf.Text);
    outcome = OutcomeOf(pdf.Outcome);
    if (outcome == Outcome::Abandoned) {
      m_LastOutcome = outcome;
      return 0;
    }
  }
  const platform::FileStamp after = platform::StampOf(path);
  // A stamp taken during the read may run ahead of the coarse clock (a precise stamp).
  const std::int64_t readEnd = platform::FileClockLatestSeconds();
  if (!after.Ok && after.Error == ENOENT) {
    m_LastOutcome = Outcome::Vanished;
    return 0;
  }
  std::string modified;
  if (outcome == Outcome::Complete || outcome == Outcome::Damaged) {
    modified = StoredTime(before, after, readStart, readEnd);
    if (modified.empty()) outcome = Outcome::Retry;
  }
  // The document is read: only now is the catalogue's writer taken, for the write itself. The
  // file's identity goes with a time only: content that may not be the file's is read again anyway.
  const LFileIdentity identity = LFileIdentity::Of(before);
  const int result = Store(path, catalogue, text, modified, modified.empty() ? nullptr : &identity);
  if (result != 0) m_LastOutcome = outcome;
  return result;
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

LCleaner* CCatalogueIndexer::InitCleaner(const std::string& directory, const std::string& catalogue) {
  LCleaner* cleaner = m_pIndexer->InitCleaner(directory, catalogue);
  NoteLibraryState();
  return cleaner;
}

int CCatalogueIndexer::GetCleanCount() { return m_pIndexer->GetCleanCount(); }

std::optional<std::string> CCatalogueIndexer::GetCleanerFileName(int index) {
  std::optional<std::string> name = m_pIndexer->GetCleanerFileName(index);
  m_LastError = m_pIndexer->LastError();
  return name;
}

void CCatalogueIndexer::Clean(int index, int duplicate) {
  m_pIndexer->Clean(index, duplicate);
  m_LastError = m_pIndexer->LastError();
}

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
  if (!m_bKeepLibrary && !g_bLibraryMemoryCleared.exchange(true)) LIndexer::ClearMemory();
}
