#pragma once

#include <functional>
#include <memory>
#include <string>

#include "catalogue/CCatalogueIndexer.h"
#include "catalogue/PdfTextReader.h"
#include "monitoring/FileChange.h"

class CTool_QuickPDFLib;

// Applies queued changes to one catalogue: reads a new or changed document (a PDF through a
// PDF tool of its own, made at the first PDF) and writes through the catalogue's writer record,
// uncommitted until Commit. Used by one thread at a time (a flush worker, or a
// drain on the worker); sendStatus must outlive it.
class CChangeApplier {
 public:
  using SendStatus = std::function<void(int kind, const std::string& text)>;
  enum class EResult {
    Done,         // applied, or nothing to do
    Locked,       // another program holds the file: nothing written, try again later
    ReadLater,    // stored, but not read in full (time ""): try again later
    WriteFailed   // the catalogue could not be written (WriteFailure says why): try again later
  };

  CChangeApplier(std::string catalogue, bool debug, SendStatus sendStatus);
  ~CChangeApplier();
  CChangeApplier(const CChangeApplier&) = delete;
  CChangeApplier& operator=(const CChangeApplier&) = delete;

  // retry: a later attempt of a change whose trouble was reported already (kept quiet).
  // altered: the catalogue was written (uncommitted).
  EResult Apply(const FileChange& change, bool retry, bool& altered);
  // Commits what was applied; false when the commit failed (then it was rolled back).
  bool Commit();
  const std::string& WriteFailure() const { return m_strWriteFailure; }
  // Ends the PDF tool's helper process while the queue is idle (an unusable tool is kept, so
  // that a missing plug-in is reported once).
  void ReleasePdfTool();

 private:
  EResult Index(const FileChange& change, bool retry, bool& altered);
  EResult Remove(const std::string& path, bool below, bool& altered);
  EResult Failed();
  void ReportDocument(const std::string& path);

  const std::string m_strCatalogue;
  const bool m_bDebug;
  SendStatus m_SendStatus;
  CCatalogueIndexer m_Indexer;
  std::unique_ptr<CTool_QuickPDFLib> m_pPdfTool;  // null until the first PDF
  bool m_bQuiet = false;
  PdfTextReader m_ReadPdf;  // makes m_pPdfTool when needed
  std::string m_strWriteFailure;
};
