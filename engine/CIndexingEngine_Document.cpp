#include "engine/CIndexingEngine.h"

#include "catalogue/CCatalogueIndexer.h"
#include "errors/CErrorLog.h"
#include "errors/CFKException.h"
#include "flush/CChangeFlusher.h"
#include "folders/CFolder.h"
#include "status/MonitorListener.h"

bool CIndexingEngine::IndexCounted(const std::string& path, const std::string& catalogue,
                                   const FK::CFolder& folder) {
  if (IsDebug()) SendStatusMessage(kMessageIndexDocument, "index file " + path);
  // A retry of a document whose failure is already reported is not reported again.
  const bool retried = m_Retries.IsWaiting(path);
  if (retried) {
    m_bPdfQuiet = true;
    m_pIndexer->SetQuiet(true);
  }
  const int result = m_pIndexer->IndexDocument(path, catalogue, m_ReadPdf);
  if (retried) {
    m_bPdfQuiet = false;
    m_pIndexer->SetQuiet(false);
  } else {
    ReportDocumentNote(path);
  }
  m_Retries.Note(path, m_pIndexer->GetLastOutcome(), Now());
  // Not readable yet (no permission, an I/O error): a watched folder has no next pass, so the
  // live retries keep trying it as long as it takes.
  if (m_pFlusher && m_pIndexer->GetLastOutcome() == CCatalogueIndexer::Outcome::Retry) {
    FileChange change;
    change.strPath = path;
    change.nAction = kActionModified;
    change.strCatalogue = catalogue;
    change.strReference = folder.GetReference();
    m_pFlusher->EnqueueRetry(std::move(change));
  }
  if (m_pIndexer->GetLastOutcome() == CCatalogueIndexer::Outcome::NotADocument) {
    // A file swapped for a FIFO, a device or a link leaves the catalogue.
    m_pIndexer->ReleaseWriter();
    m_pIndexer->RemoveDocument(path, catalogue);
    return false;
  }
  if (!m_pIndexer->UnreadableReason().empty()) ReportUnreadable(path, m_pIndexer->UnreadableReason());
  if (result == 0) return false;
  ReportIndexingFolder(folder.GetReference());
  return true;
}

// Once per document and run: the document is taken again at every pass until it can be read.
void CIndexingEngine::ReportUnreadable(const std::string& path, const std::string& reason) {
  if (m_UnreadableReported.size() >= kMaxUnreadableReported) m_UnreadableReported.clear();
  if (!m_UnreadableReported.insert(path).second) return;
  SendStatusMessage(kMessageLine, ":sub: :error: Cannot read document " + path + ": " + reason);
  FKEXCEPTION::CErrorLog::WriteErrorLog(FKEXCEPTION::CFKException(FKEXCEPTION::kErrorLoadFile, 0, __LINE__,
                                                                  "CIndexingEngine", "IndexDocument",
                                                                  path + " (" + reason + ")", path, false));
}

void CIndexingEngine::ReportDocumentNote(const std::string& path) {
  const std::string& note = m_pIndexer->DocumentNote();
  if (!note.empty()) SendStatusMessage(kMessageLine, ":error: Document " + path + ": " + note);
}
