#pragma once

#include <functional>
#include <memory>
#include <string>

#include "catalogue/CCatalogueIndexer.h"
#include "catalogue/CMovesAcrossCatalogues.h"
#include "catalogue/PdfTextReader.h"
#include "flush/FileChange.h"

class CPdfReaderQueue;

// Applies queued changes to one catalogue: reads a new or changed document (a PDF through the
// process's PDF reader queue) and writes through the catalogue's writer record, uncommitted
// until Commit. Used by one thread at a time (a flush worker, or a drain on the
// worker); sendStatus and pdfReaders (may be null: no PDF plug-in) must outlive it.
class CChangeApplier {
 public:
  using SendStatus = std::function<void(int kind, const std::string& text)>;
  enum class EResult {
    Done,         // applied, or nothing to do
    Locked,       // another program holds the file: nothing written, try again later
    ReadLater,    // stored, but not read in full (time ""): try again later
    WriteFailed   // the catalogue could not be written (WriteFailure says why): try again later
  };

  CChangeApplier(std::string catalogue, bool debug, SendStatus sendStatus, CPdfReaderQueue* pdfReaders);
  ~CChangeApplier();
  CChangeApplier(const CChangeApplier&) = delete;
  CChangeApplier& operator=(const CChangeApplier&) = delete;

  // retry: a later attempt of a change whose trouble was reported already (kept quiet).
  // altered: the catalogue was written (uncommitted).
  EResult Apply(const FileChange& change, bool retry, bool& altered);
  // Commits what was applied; false when the commit failed (then it was rolled back).
  bool Commit();
  const std::string& WriteFailure() const { return m_strWriteFailure; }
  // The last write failure found the catalogue's file removed or replaced: its folder is to be
  // reconciled, which builds the catalogue again.
  bool CatalogueReplaced() const { return m_bCatalogueReplaced; }
  // Ends the PDF readers' helper processes, and closes the look-ups of other catalogues,
  // while nobody needs them.
  void ReleasePdfTool();

 private:
  EResult Index(const FileChange& change, bool retry, bool& altered);
  EResult Remove(const std::string& path, bool below, bool& altered, bool keepText = false);
  // A document moved in from another folder's catalogue takes its text from there when it can.
  bool TakeFromOtherCatalogue(const FileChange& change);
  EResult Move(const FileChange& change, bool retry, bool& altered);
  EResult Failed();
  void NoteFailure();
  void ReportDocument(const std::string& path);

  const std::string m_strCatalogue;
  const bool m_bDebug;
  SendStatus m_SendStatus;
  CCatalogueIndexer m_Indexer;
  CMovesAcrossCatalogues m_MovesAcross;
  CPdfReaderQueue* const m_pPdfReaders;
  bool m_bQuiet = false;
  PdfTextReader m_ReadPdf;  // on m_pPdfReaders
  std::string m_strWriteFailure;
  bool m_bCatalogueReplaced = false;
};
