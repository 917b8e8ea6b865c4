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
      m_pPdfReaders(pdfReaders),
      m_ReadPdf(PdfTextOfQueue(pdfReaders, &m_bQuiet)) {
  // The engine's holder clears the library at the end of the run; this one is not the last.
  m_Indexer.KeepLibraryAtShutdown();
}

CChangeApplier::~CChangeApplier() = default;

CChangeApplier::EResult CChangeApplier::Apply(const FileChange& change, bool retry, bool& altered) {
  altered = false;
  const std::string& path = change.strPath;
  switch (change.nAction) {
    case kActionAdded:
      // A document that arrived with its directory (renamed whole) is catalogued there already.
      if (!change.bDirectory && CCatalogueIndexer::IsIndexableDocument(path) &&
          CMovedDocuments(m_Indexer).IsUnchanged(path, m_strCatalogue)) {
        return EResult::Done;
      }
      if (TakeFromOtherCatalogue(change)) {
        altered = true;
        return EResult::Done;
      }
      [[fallthrough]];
    case kActionModified:
      if (m_bDebug) m_SendStatus(kMessageIndexDocument, "index file " + path);
      return Index(change, retry, altered);
    case kActionRenamedNew:
      if (!change.strFromPath.empty() && change.strFromCatalogue.empty()) return Move(change, retry, altered);
      if (TakeFromOtherCatalogue(change)) {
        altered = true;
        return EResult::Done;
      }
      if (m_bDebug) m_SendStatus(kMessageIndexDocument, "index file (rename new) " + path);
      return Index(change, retry, altered);
    case kActionRemoved:
      if (m_bDebug) m_SendStatus(kMessageRemoveDocument, "remove file " + path);
      return Remove(path, change.bDirectory, altered);
    case kActionRenamedOld:
      if (m_bDebug) m_SendStatus(kMessageRemoveDocument, "remove file (rename old) " + path);
      // Moved away, perhaps into another folder, whose catalogue takes the text from here.
      return Remove(path, change.bDirectory, altered, true);
    default:
      return EResult::Done;
  }
}

// A document arriving under a new name is read as a new one: a PDF keeps its text.
CChangeApplier::EResult CChangeApplier::Index(const FileChange& change, bool retry, bool& altered) {
  const std::string& path = change.strPath;
  if (change.bDirectory || !CCatalogueIndexer::IsIndexableDocument(path)) return EResult::Done;
  // Another program still writing the file (or holding it locked) would leave a partial read.
  if (platform::IsFileHeldByOther(path)) {
    if (!retry) m_SendStatus(kMessageIdle, "Impossible file " + path + " is locked");
    return EResult::Locked;
  }
  m_bQuiet = retry;
  m_Indexer.SetQuiet(retry);
  const int stored = m_Indexer.IndexDocument(path, m_strCatalogue, m_ReadPdf);
  m_Indexer.SetQuiet(false);
  m_bQuiet = false;
  const CCatalogueIndexer::Outcome outcome = m_Indexer.GetLastOutcome();
  if (!retry) ReportDocument(path);
  switch (outcome) {
    case CCatalogueIndexer::Outcome::Vanished:
    case CCatalogueIndexer::Outcome::NotADocument:
      // Gone before its turn, or swapped for a link or a FIFO: only its old entry goes.
      return Remove(path, false, altered);
    case CCatalogueIndexer::Outcome::WriteFailed:
      m_SendStatus(kMessageIdle, "Impossible to index file " + path);
      return Failed();
    case CCatalogueIndexer::Outcome::Retry:
    case CCatalogueIndexer::Outcome::RetryLater:
    case CCatalogueIndexer::Outcome::Abandoned:
      altered = stored != 0;
      return EResult::ReadLater;
    default:
      altered = stored != 0;
      return EResult::Done;
  }
}

// Both halves of a rename in one catalogue: the entries follow the documents unread, unless
// the file is no longer the one catalogued (then as the two halves: removed, then read).
CChangeApplier::EResult CChangeApplier::Move(const FileChange& change, bool retry, bool& altered) {
  const std::string& from = change.strFromPath;
  if (m_bDebug) m_SendStatus(kMessageIndexDocument, "move file " + from + " to " + change.strPath);
  if (change.bDirectory) {
    const std::int64_t moved = CMovedDocuments(m_Indexer).MoveUnder(from, change.strPath, m_strCatalogue);
    if (moved < 0) return Failed();
    altered = moved > 0;
    return EResult::Done;
  }
  if (CCatalogueIndexer::IsIndexableDocument(from) &&
      CMovedDocuments(m_Indexer).MoveIfSame(from, change.strPath, m_strCatalogue)) {
    altered = true;
    return EResult::Done;
  }
  if (m_Indexer.WriteFailureSeen()) return Failed();
  bool removed = false;
  const EResult result = Remove(from, false, removed);
  if (result != EResult::Done) return result;
  const EResult indexed = Index(change, retry, altered);
  altered = altered || removed;
  return indexed;
}

CChangeApplier::EResult CChangeApplier::Remove(const std::string& path, bool below, bool& altered, bool keepText) {
  if (!below && !CCatalogueIndexer::IsIndexableDocument(path)) return EResult::Done;
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
  if (change.strFromCatalogue.empty() || change.bDirectory || !CCatalogueIndexer::IsIndexableDocument(path)) {
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

void CChangeApplier::ReportDocument(const std::string& path) {
  if (!m_Indexer.UnreadableReason().empty()) {
    m_SendStatus(kMessageLine, ":sub: :error: Cannot read document " + path + ": " + m_Indexer.UnreadableReason());
  }
  if (!m_Indexer.DocumentNote().empty()) {
    m_SendStatus(kMessageLine, ":error: Document " + path + ": " + m_Indexer.DocumentNote());
  }
}

void CChangeApplier::ReleasePdfTool() {
  // An idle catalogue holds no other catalogue's files open (they may be rebuilt or deleted meanwhile).
  m_MovesAcross.Close();
  if (m_pPdfReaders != nullptr) m_pPdfReaders->ReleaseIdle();
}
