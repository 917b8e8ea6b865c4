#include "flush/CChangeApplier.h"

#include <utility>

#include "catalogue/CMovedDocuments.h"
#include "catalogue/IndexWriterToRelease.h"
#include "flush/PdfTextOfQueue.h"
#include "pdf/CPdfReaderQueue.h"
#include "platform/FileOps.h"
#include "status/MonitorListener.h"

CChangeApplier::CChangeApplier(std::string catalogue, bool debug, SendStatus sendStatus, CPdfReaderQueue* pdfReaders)
    : m_strCatalogue(std::move(catalogue)),
      m_bDebug(debug),
      m_SendStatus(std::move(sendStatus)),
      m_pPdfReaders(pdfReaders) {
  // The engine's holder clears the library at the end of the run; this one is not the last.
  m_Indexer.KeepLibraryAtShutdown();
}

CChangeApplier::~CChangeApplier() = default;

bool CChangeApplier::ApplyWithoutRead(const FileChange& change, EResult& result, bool& altered) {
  altered = false;
  result = EResult::Done;
  const std::string& path = change.strPath;
  switch (change.nAction) {
    case kActionAdded:
      // A document that arrived with its directory (renamed whole) is catalogued there already.
      if (!change.bDirectory && CDocumentReader::IsIndexableDocument(path) &&
          CMovedDocuments(m_Indexer).IsUnchanged(path, m_strCatalogue)) {
        return true;
      }
      if (TakeFromOtherCatalogue(change)) {
        altered = true;
        return true;
      }
      [[fallthrough]];
    case kActionModified:
      if (m_bDebug) m_SendStatus(kMessageIndexDocument, "index file " + path);
      return StartIndex(change, result, altered);
    case kActionRenamedNew:
      if (IsMoveWithin(change)) return StartMove(change, result, altered);
      if (TakeFromOtherCatalogue(change)) {
        altered = true;
        return true;
      }
      if (m_bDebug) m_SendStatus(kMessageIndexDocument, "index file (rename new) " + path);
      return StartIndex(change, result, altered);
    case kActionRemoved:
      if (m_bDebug) m_SendStatus(kMessageRemoveDocument, "remove file " + path);
      result = Remove(path, change.bDirectory, altered);
      return true;
    case kActionRenamedOld:
      if (m_bDebug) m_SendStatus(kMessageRemoveDocument, "remove file (rename old) " + path);
      // Moved away, perhaps into another folder, whose catalogue takes the text from here.
      result = Remove(path, change.bDirectory, altered, true);
      return true;
    default:
      return true;
  }
}

// A document arriving under a new name is read as a new one: a PDF keeps its text.
bool CChangeApplier::StartIndex(const FileChange& change, EResult& result, bool& altered) {
  const std::string& path = change.strPath;
  if (change.bDirectory || !CDocumentReader::IsIndexableDocument(path)) {
    // The new half of a rename to a name that is no document: only the old entry goes.
    if (IsMoveWithin(change)) result = Remove(change.strFromPath, false, altered);
    return true;
  }
  // A catalogue that cannot be opened is found out before the document is read.
  if (m_Indexer.GetWriter(m_strCatalogue) == nullptr) {
    m_SendStatus(kMessageIdle, "Impossible to index file " + path);
    result = Failed();
    return true;
  }
  return false;
}

CChangeApplier::SDocument CChangeApplier::ReadDocument(const FileChange& change, bool retry,
                                                       CPdfReaderQueue* pdfReaders) {
  SDocument document;
  // Another program still writing the file (or holding it locked) would leave a partial read.
  if (platform::IsFileHeldByOther(change.strPath)) {
    document.bLocked = true;
    return document;
  }
  const bool quiet = retry;
  document.Read = CDocumentReader::Read(change.strPath, PdfTextOfQueue(pdfReaders, &quiet), quiet);
  return document;
}

CChangeApplier::EResult CChangeApplier::WriteRead(const FileChange& change, bool retry, SDocument& document,
                                                  bool& altered) {
  const std::string& path = change.strPath;
  bool removed = false;
  if (IsMoveWithin(change)) {
    const EResult result = Remove(change.strFromPath, false, removed);
    if (result != EResult::Done) return result;
  }
  altered = removed;
  if (document.bLocked) {
    if (!retry) m_SendStatus(kMessageIdle, "Impossible file " + path + " is locked");
    return EResult::Locked;
  }
  CDocumentReader::SRead& read = document.Read;
  const int stored = m_Indexer.StoreDocument(read, m_strCatalogue);
  if (!retry) ReportDocument(read);
  switch (read.eOutcome) {
    case CDocumentReader::Outcome::Vanished:
    case CDocumentReader::Outcome::NotADocument: {
      // Gone before its turn, or swapped for a link or a FIFO: only its old entry goes.
      const EResult result = Remove(path, false, altered);
      altered = altered || removed;
      return result;
    }
    case CDocumentReader::Outcome::WriteFailed:
      m_SendStatus(kMessageIdle, "Impossible to index file " + path);
      return Failed();
    case CDocumentReader::Outcome::Retry:
    case CDocumentReader::Outcome::RetryLater:
    case CDocumentReader::Outcome::Abandoned:
      altered = removed || stored != 0;
      return EResult::ReadLater;
    default:
      altered = removed || stored != 0;
      return EResult::Done;
  }
}

// Both halves of a rename in one catalogue: the entries follow the documents unread, unless
// the file is no longer the one catalogued (then as the two halves: removed, then read).
bool CChangeApplier::StartMove(const FileChange& change, EResult& result, bool& altered) {
  const std::string& from = change.strFromPath;
  if (m_bDebug) m_SendStatus(kMessageIndexDocument, "move file " + from + " to " + change.strPath);
  if (change.bDirectory) {
    const std::int64_t moved = CMovedDocuments(m_Indexer).MoveUnder(from, change.strPath, m_strCatalogue);
    result = moved < 0 ? Failed() : EResult::Done;
    altered = moved > 0;
    return true;
  }
  if (CDocumentReader::IsIndexableDocument(from) &&
      CMovedDocuments(m_Indexer).MoveIfSame(from, change.strPath, m_strCatalogue)) {
    altered = true;
    return true;
  }
  if (m_Indexer.WriteFailureSeen()) {
    result = Failed();
    return true;
  }
  return StartIndex(change, result, altered);
}

CChangeApplier::EResult CChangeApplier::Remove(const std::string& path, bool below, bool& altered, bool keepText) {
  if (!below && !CDocumentReader::IsIndexableDocument(path)) return EResult::Done;
  std::int64_t removed = -1;
  if (keepText) {
    m_Indexer.WriteWith(m_strCatalogue, [&](IndexWriterToRelease& writer, LCatalogueError& error) {
      removed = writer.Remove(path, below, error, true);
      return removed >= 0;
    });
  } else {
    removed = m_Indexer.RemoveEntries(path, m_strCatalogue, below);
  }
  if (removed < 0) return Failed();
  altered = removed > 0;
  return EResult::Done;
}

bool CChangeApplier::TakeFromOtherCatalogue(const FileChange& change) {
  const std::string& path = change.strPath;
  if (change.strFromCatalogue.empty() || change.bDirectory || !CDocumentReader::IsIndexableDocument(path)) {
    return false;
  }
  // A file still being written is left to the read, which waits for it.
  if (platform::IsFileHeldByOther(path)) return false;
  if (!m_MovesAcross.Take(path, m_strCatalogue, m_Indexer, change.strFromCatalogue)) return false;
  if (m_bDebug) m_SendStatus(kMessageIndexDocument, "move file " + m_MovesAcross.MovedFrom() + " to " + path);
  return true;
}

CChangeApplier::EResult CChangeApplier::Failed() {
  NoteFailure();
  return EResult::WriteFailed;
}

bool CChangeApplier::Commit() {
  if (m_Indexer.Commit()) return true;
  NoteFailure();
  return false;
}

void CChangeApplier::NoteFailure() {
  const LCatalogueError& error = m_Indexer.LastError();
  m_strWriteFailure = error.Message.empty() ? "unknown failure" : error.Message;
  m_bCatalogueReplaced = error.Replaced;
  // Each failure is told by its own error, not by a damage seen before.
  m_Indexer.ClearWriteFailure();
  m_Indexer.ClearCorruption();
}

void CChangeApplier::ReportDocument(const CDocumentReader::SRead& read) {
  if (!read.UnreadableReason.empty()) {
    m_SendStatus(kMessageLine, ":sub: :error: Cannot read document " + read.Path + ": " + read.UnreadableReason);
  }
  if (!read.Note.empty()) m_SendStatus(kMessageLine, ":error: Document " + read.Path + ": " + read.Note);
}

void CChangeApplier::ReleasePdfTool() {
  // An idle catalogue holds no other catalogue's files open (they may be rebuilt or deleted meanwhile).
  m_MovesAcross.Close();
  if (m_pPdfReaders != nullptr) m_pPdfReaders->ReleaseIdle();
}
