#include "engine/CIndexingEngine.h"

#include "catalogue/CCatalogueIndexer.h"
#include "engine/CFolderSessions.h"
#include "errors/CFKException.h"
#include "flush/CChangeFlusher.h"
#include "folders/CFolder.h"
#include "status/MonitorListener.h"

bool CIndexingEngine::IsExcludedDirectory(const FK::CFolder& folder, const std::string& directory,
                                          const std::string& catalogue) const {
  const std::string unc = CCatalogueLayout::GetUncPath(directory);
  return unc == CCatalogueLayout::GetUncPath(folder.GetScanningPath()) || unc == CCatalogueLayout::GetUncPath(folder.GetEInvoicesPath()) ||
         unc == CCatalogueLayout::GetUncPath(folder.GetOriginalPath()) || unc == CCatalogueLayout::GetUncPath(catalogue);
}

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
  if (m_pSessions && m_pIndexer->GetLastOutcome() == CCatalogueIndexer::Outcome::Retry) {
    FileChange change;
    change.strPath = path;
    change.nAction = kActionModified;
    change.strCatalogue = catalogue;
    change.strReference = folder.GetReference();
    m_pSessions->Flusher().EnqueueRetry(std::move(change));
  }
  if (m_pIndexer->GetLastOutcome() == CCatalogueIndexer::Outcome::NotADocument) {
    // A file swapped for a FIFO, a device or a link leaves the catalogue.
    m_pIndexer->ReleaseWriter();
    m_pIndexer->RemoveDocument(path, catalogue);
    return false;
  }
  if (!m_pIndexer->UnreadableReason().empty()) m_Status.Unreadable(path, m_pIndexer->UnreadableReason());
  if (result == 0) return false;
  m_Status.IndexingFolder(folder.GetReference());
  return true;
}

void CIndexingEngine::ReportDocumentNote(const std::string& path) {
  const std::string& note = m_pIndexer->DocumentNote();
  if (!note.empty()) SendStatusMessage(kMessageLine, ":error: Document " + path + ": " + note);
}
