#include "monitoring/CIndexingEngine.h"

#include <algorithm>
#include <limits>

#include "catalogue/CCatalogueIndexer.h"
#include "errors/CFKException.h"
#include "folders/CFolder.h"
#include "monitoring/MonitorListener.h"
#include "pdf/CTool_QuickPDFLib.h"
#include "platform/FileTimes.h"

bool CIndexingEngine::IsExcludedDirectory(const FK::CFolder& folder, const std::string& directory,
                                          const std::string& catalogue) const {
  const std::string unc = GetUncPath(directory);
  return unc == GetUncPath(folder.GetScanningPath()) || unc == GetUncPath(folder.GetEInvoicesPath()) ||
         unc == GetUncPath(folder.GetOriginalPath()) || unc == GetUncPath(catalogue);
}

bool CIndexingEngine::IndexCounted(const std::string& path, const std::string& catalogue,
                                   const FK::CFolder& folder) {
  if (IsDebug()) SendStatusMessage(kMessageIndexDocument, "index file " + path);
  // A retry of a document whose failure is already reported is not reported again.
  const bool retried = m_Retries.count(path) != 0;
  if (retried) {
    m_pPdfTool->SetQuiet(true);
    m_pIndexer->SetQuiet(true);
  }
  const int result = m_pIndexer->IndexDocument(path, catalogue, m_ReadPdf);
  if (retried) {
    m_pPdfTool->SetQuiet(false);
    m_pIndexer->SetQuiet(false);
  } else {
    ReportDocumentNote(path);
  }
  NoteOutcome(path);
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

bool CIndexingEngine::IsRetryDue(const std::string& path) {
  if (m_Retries.empty()) return true;
  const auto found = m_Retries.find(path);
  if (found == m_Retries.end()) return true;
  const platform::FileStamp stamp = platform::StampOf(path);
  // A document that changed since it failed is taken again at once.
  if (!stamp.Ok || stamp.ModifiedSeconds != found->second.ModifiedSeconds ||
      stamp.ModifiedNanoseconds != found->second.ModifiedNanoseconds) {
    m_Retries.erase(found);
    return true;
  }
  return Now() >= found->second.Due;
}

void CIndexingEngine::NoteOutcome(const std::string& path) {
  using Outcome = CCatalogueIndexer::Outcome;
  const Outcome outcome = m_pIndexer->GetLastOutcome();
  if (outcome == Outcome::WriteFailed) return;
  if (outcome != Outcome::Retry && outcome != Outcome::RetryLater && outcome != Outcome::RetryAtRestart) {
    if (!m_Retries.empty()) m_Retries.erase(path);
    return;
  }
  RetryState& state = m_Retries[path];
  const platform::FileStamp stamp = platform::StampOf(path);
  state.ModifiedSeconds = stamp.ModifiedSeconds;
  state.ModifiedNanoseconds = stamp.ModifiedNanoseconds;
  if (outcome == Outcome::Retry) {
    // Read again at the next pass; its failure is not reported again while it lasts.
    state.Due = Now();
    return;
  }
  if (outcome == Outcome::RetryAtRestart) {
    // The plug-in is loaded once per run: only the next start can read the document.
    state.Due = std::numeric_limits<std::int64_t>::max();
    return;
  }
  ++state.Failures;
  const int doublings = std::min(state.Failures - 1, 20);
  state.Due = Now() + std::min(kFirstRetrySeconds << doublings, kLongestRetrySeconds);
}

// Once per document and run: the document is taken again at every pass until it can be read.
void CIndexingEngine::ReportUnreadable(const std::string& path, const std::string& reason) {
  if (m_UnreadableReported.size() >= kMaxUnreadableReported) m_UnreadableReported.clear();
  if (!m_UnreadableReported.insert(path).second) return;
  SendStatusMessage(kMessageLine, ":sub: :error: Cannot read document " + path + ": " + reason);
  FKEXCEPTION::CFKException(FKEXCEPTION::kErrorLoadFile, 0, __LINE__, "CIndexingEngine", "IndexDocument",
                            path + " (" + reason + ")", path, true, false);
}

void CIndexingEngine::ReportDocumentNote(const std::string& path) {
  const std::string& note = m_pIndexer->DocumentNote();
  if (!note.empty()) SendStatusMessage(kMessageLine, ":error: Document " + path + ": " + note);
}
