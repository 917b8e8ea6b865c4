#include "engine/CEngineWalkHost.h"

#include "status/CStatusBoard.h"

#include <utility>

#include "catalogue/CCatalogueIndexer.h"
#include "engine/CEnginePacing.h"
#include "engine/CFolderSessions.h"
#include "engine/CStatusLines.h"
#include "errors/CFKException.h"
#include "flush/CChangeFlusher.h"
#include "flush/PdfTextOfQueue.h"
#include "folders/CFolder.h"
#include "status/MonitorListener.h"

CEngineWalkHost::CEngineWalkHost(const CEngineParameters* parameters, CCatalogueIndexer& indexer,
                                 CEnginePacing& pacing, CStatusLines& status, CPdfReaderQueue* pdfReaders)
    : m_pParameters(parameters),
      m_Indexer(indexer),
      m_Pacing(pacing),
      m_Status(status),
      m_ReadPdf(PdfTextOfQueue(pdfReaders, &m_bPdfQuiet)) {}

std::int64_t CEngineWalkHost::Now() const { return m_Pacing.Now(); }

int CEngineWalkHost::CanContinueWalk() { return m_Pacing.CanContinueWalk(); }

void CEngineWalkHost::SendStatusMessage(int kind, const std::string& text) { m_Status.Send(kind, text); }

bool CEngineWalkHost::IsSliceUsedUp(std::int64_t start) const { return m_Pacing.IsSliceUsedUp(start); }

void CEngineWalkHost::KeepAlive() { m_Status.KeepAlive(); }

void CEngineWalkHost::ReportWaiting() { m_Status.Waiting(); }

void CEngineWalkHost::PauseBetweenSlices(platform::CStopLatch* stop) {
  m_Pacing.WaitUnlessStopped(stop, m_Pacing.PauseMilliseconds());
}

void CEngineWalkHost::PauseWhenSliceUsedUp(std::int64_t& start, platform::CStopLatch* stop, bool reportWaiting) {
  if (!IsSliceUsedUp(start)) return;
  KeepAlive();
  if (reportWaiting) ReportWaiting();
  PauseBetweenSlices(stop);
  start = Now();
}

bool CEngineWalkHost::IsDueForRetry(const std::string& path) { return m_Retries.IsDue(path, Now()); }

bool CEngineWalkHost::IndexCounted(const std::string& path, const std::string& catalogue,
                                   const FK::CFolder& folder, bool& abandoned) {
  if (IsDebug()) SendStatusMessage(kMessageIndexDocument, "index file " + path);
  // A retry of a document whose failure is already reported is not reported again.
  const bool retried = m_Retries.IsWaiting(path);
  m_bPdfQuiet = retried;
  CDocumentReader::SRead read;
  const int result = m_Indexer.IndexDocument(path, catalogue, m_ReadPdf, retried, &read);
  m_bPdfQuiet = false;
  if (!retried) ReportDocumentNote(path, read.Note);
  abandoned = read.eOutcome == CDocumentReader::Outcome::Abandoned;
  m_Retries.Note(path, read.eOutcome, Now());
  // Not readable yet (no permission, an I/O error): a watched folder has no next pass, so the
  // live retries keep trying it as long as it takes.
  if (m_pSessions && read.eOutcome == CDocumentReader::Outcome::Retry) {
    FileChange change;
    change.strPath = path;
    change.nAction = kActionModified;
    change.strCatalogue = catalogue;
    change.strReference = folder.GetReference();
    m_pSessions->Flusher().EnqueueRetry(std::move(change));
  }
  if (read.eOutcome == CDocumentReader::Outcome::NotADocument) {
    // A file swapped for a FIFO, a device or a link leaves the catalogue.
    m_Indexer.ReleaseWriter();
    m_Indexer.RemoveDocument(path, catalogue);
    return false;
  }
  if (!read.UnreadableReason.empty()) {
    m_Status.Unreadable(path, read.UnreadableReason);
    if (m_pBoard != nullptr) m_pBoard->NoteWithoutText(path);
  }
  if (m_pBoard != nullptr) m_pBoard->DocumentDone();
  if (result == 0) return false;
  m_Status.IndexingFolder(folder.GetReference());
  return true;
}

void CEngineWalkHost::ReportDocumentNote(const std::string& path, const std::string& note) {
  if (!note.empty()) SendStatusMessage(kMessageLine, ":error: Document " + path + ": " + note);
}
