#pragma once

#include <functional>
#include <memory>
#include <string>

#include "catalogue/CCatalogueIndexer.h"
#include "catalogue/CDocumentReader.h"
#include "catalogue/CMovesAcrossCatalogues.h"
#include "flush/FileChange.h"

class CPdfReaderQueue;

// Applies queued changes to one catalogue in up to three steps: what needs no document read
// (removals, moves of entries, a document catalogued already) at once; else the document is
// read (ReadDocument, with no lock held: a PDF through the process's PDF reader queue) and then
// written (WriteRead) through the catalogue's writer record, uncommitted until Commit. The
// first and last steps are used by one thread at a time (a flush worker, or a drain on the
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
  // What the read step found of a change's document.
  struct SDocument {
    bool bLocked = false;  // another program holds the file: not read
    CDocumentReader::SRead Read;
    std::string strFailure;  // an unexpected failure of the read ("": none)
  };

  CChangeApplier(std::string catalogue, bool debug, SendStatus sendStatus, CPdfReaderQueue* pdfReaders);
  ~CChangeApplier();
  CChangeApplier(const CChangeApplier&) = delete;
  CChangeApplier& operator=(const CChangeApplier&) = delete;

  // altered: the catalogue was written (uncommitted). False when the change's document is to
  // be read first (ReadDocument, then WriteRead); true when the change is applied (result).
  bool ApplyWithoutRead(const FileChange& change, EResult& result, bool& altered);
  // Any thread, no lock of the catalogue held: reads the document of a change that
  // ApplyWithoutRead left to be read.
  static SDocument ReadDocument(const FileChange& change, bool retry, CPdfReaderQueue* pdfReaders);
  // Both halves of a rename within this catalogue: its old path leaves the catalogue as the new one is written.
  static bool IsMoveWithin(const FileChange& change) {
    return change.nAction == kActionRenamedNew && !change.strFromPath.empty() && change.strFromCatalogue.empty();
  }
  // Writes what ReadDocument found (a rename's old path first leaves the catalogue). retry: a
  // later attempt of a change whose trouble was reported already (kept quiet).
  EResult WriteRead(const FileChange& change, bool retry, SDocument& document, bool& altered);
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
  // The index step of a change (or of the new half of a rename): false when it needs a read.
  bool StartIndex(const FileChange& change, EResult& result, bool& altered);
  EResult Remove(const std::string& path, bool below, bool& altered, bool keepText = false);
  // A document moved in from another folder's catalogue takes its text from there when it can.
  bool TakeFromOtherCatalogue(const FileChange& change);
  bool StartMove(const FileChange& change, EResult& result, bool& altered);
  EResult Failed();
  void NoteFailure();
  void ReportDocument(const CDocumentReader::SRead& read);

  const std::string m_strCatalogue;
  const bool m_bDebug;
  SendStatus m_SendStatus;
  CCatalogueIndexer m_Indexer;
  CMovesAcrossCatalogues m_MovesAcross;
  CPdfReaderQueue* const m_pPdfReaders;
  std::string m_strWriteFailure;
  bool m_bCatalogueReplaced = false;
};
