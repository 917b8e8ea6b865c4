#include "catalogue/CCatalogueIndexer.h"

#include <atomic>
#include <cerrno>

#include <boost/algorithm/string/predicate.hpp>

#include "catalogue/LSearcher.h"
#include "catalogue/LXmlText.h"
#include "errors/CFKException.h"
#include "pdf/CTool_QuickPDFLib.h"
#include "platform/FileTimes.h"

namespace {

using boost::algorithm::iequals;

std::atomic<bool> g_bLibraryMemoryCleared{false};

// The time to store for content read between two stamps, the read having run from readStart
// to readEnd (the file clock, whole seconds): the modification time read before the content,
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
    if (m_pWriter == nullptr) NoteWriteFailure();
  }
  return m_pWriter;
}

void CCatalogueIndexer::ReleaseWriter() {
  if (m_pWriter == nullptr) return;
  const bool committed = m_pIndexer->ReleaseWriter(m_pWriter);
  m_pWriter = nullptr;
  NoteLibraryState();
  if (!committed) NoteWriteFailure();
}

void CCatalogueIndexer::CloseWriter(const std::string& /*catalogue*/) { ReleaseWriter(); }

void CCatalogueIndexer::ReopenWriter(const std::string& catalogue) {
  if (m_pWriter == nullptr) return;
  ReleaseWriter();
  GetWriter(catalogue);
}

void CCatalogueIndexer::NoteWriteFailure() {
  if (!m_pIndexer) return;
  const LCatalogueError& error = m_pIndexer->LastError();
  // A damaged catalogue is rebuilt, which is its own report.
  if (error.Corrupt || m_bWriteFailureSeen) return;
  m_bWriteFailureSeen = true;
  m_WriteFailure = error;
  if (m_WriteFailure.Message.empty()) m_WriteFailure.Message = "unknown failure";
}

bool CCatalogueIndexer::RecordCompleteWalk(const std::string& directory, const std::string& catalogue,
                                           std::int64_t started) {
  LWriter* writer = GetWriter(catalogue);
  if (writer == nullptr) return false;
  const bool recorded = m_pIndexer->RecordCompleteWalk(writer, directory, started);
  NoteLibraryState();
  if (!recorded) NoteWriteFailure();
  return recorded;
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
  m_strUnreadableReason.clear();
  m_LastOutcome = Outcome::WriteFailed;
  LWriter* writer = GetWriter(catalogue);
  if (writer == nullptr) return 0;
  int result;
  if (!m_strSkipOnce.empty() && path == m_strSkipOnce) {
    // Reading it again would likely stall or end the service again; a later change of the
    // file has it read as usual.
    m_strSkipOnce.clear();
    result = m_pIndexer->IndexFromContent(writer, path, "");
    m_strDocumentNote = "the service's last run ended while reading it (hung or crashed): catalogued without its text";
    if (result != 0) m_LastOutcome = Outcome::Damaged;
  } else {
    m_ReadingMarker.Begin(path);
    std::string readNote;
    result = ReadAndIndex(writer, path, pdfTool, readNote);
    m_ReadingMarker.End();
    const std::string& libraryNote = m_pIndexer->LastNote();
    m_strDocumentNote = readNote.empty() ? libraryNote : libraryNote.empty() ? readNote : readNote + "; " + libraryNote;
  }
  if (!m_strDocumentNote.empty() && !m_bQuiet) {
    FKEXCEPTION::CFKException(0, 0, __LINE__, "CCatalogueIndexer", "IndexDocument", m_strDocumentNote, path, true,
                              false);
  }
  NoteLibraryState();
  if (result == 0 && m_LastOutcome == Outcome::WriteFailed) NoteWriteFailure();
  return result;
}

int CCatalogueIndexer::ReadAndIndex(LWriter* writer, const std::string& path, CTool_QuickPDFLib* pdfTool,
                                    std::string& readNote) {
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
  } else if (pdfTool == nullptr || !pdfTool->IsUsable()) {
    outcome = Outcome::RetryAtRestart;
  } else if (pdfTool->DAOpenFile(path, "") != 0) {
    text += pdfTool->DAExtractText(-1, -1, 7);
    pdfTool->DACloseFile(-1);
  } else {
    switch (pdfTool->LastFailure()) {
      case CTool_QuickPDFLib::Failure::Refused:
        outcome = Outcome::Retry;
        break;
      case CTool_QuickPDFLib::Failure::Passing:
        outcome = Outcome::RetryLater;
        break;
      default:
        outcome = Outcome::Damaged;
        break;
    }
  }
  const platform::FileStamp after = platform::StampOf(path);
  const std::int64_t readEnd = platform::FileClockSeconds();
  if (!after.Ok && after.Error == ENOENT) {
    m_LastOutcome = Outcome::Vanished;
    return 0;
  }
  std::string modified;
  if (outcome == Outcome::Complete || outcome == Outcome::Damaged) {
    modified = StoredTime(before, after, readStart, readEnd);
    if (modified.empty()) outcome = Outcome::Retry;
  }
  const int result = m_pIndexer->IndexFromContent(writer, path, text, modified);
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
