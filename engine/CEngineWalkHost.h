#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "catalogue/CMovesAcrossCatalogues.h"
#include "catalogue/PdfTextReader.h"
#include "engine/CEngineParameters.h"
#include "flush/CDocumentRetries.h"
#include "walk/CFolderPassHost.h"

class CCatalogueIndexer;
class CEnginePacing;
class CFolderSessions;
class CStatusBoard;
class CPdfReaderQueue;
class CStatusLines;

// What the engine gives the walks of a folder directory: its indexer, pacing and status lines,
// and the per-document bookkeeping of the worker (retries of documents that failed, the live
// retry of one that cannot be read yet). Worker thread only; owned by the engine, whose parts
// it points to outlive it.
class CEngineWalkHost : public CFolderPassHost {
 public:
  CEngineWalkHost(const CEngineParameters* parameters, CCatalogueIndexer& indexer, CEnginePacing& pacing,
                  CStatusLines& status, CPdfReaderQueue* pdfReaders);
  // The flush workers that retry a document a watched folder cannot read yet (null: none).
  void SetSessions(CFolderSessions* sessions) { m_pSessions = sessions; }
  // Where the documents of a pass are counted (null: nowhere).
  void SetStatusBoard(CStatusBoard* board) { m_pBoard = board; }
  // The next walks end no level early (the last walk was cut short).
  void SetFullReconcile(bool full) { m_bFullReconcile = full; }

  CCatalogueIndexer& Indexer() override { return m_Indexer; }
  std::int64_t Now() const override;
  int CanContinueWalk() override;
  void SendStatusMessage(int kind, const std::string& text) override;
  bool IsDebug() const override { return m_pParameters != nullptr && m_pParameters->IsDebugAction != 0; }
  bool IsSliceUsedUp(std::int64_t start) const override;
  void KeepAlive() override;
  void ReportWaiting() override;
  void PauseBetweenSlices(platform::CStopLatch* stop) override;
  void PauseWhenSliceUsedUp(std::int64_t& start, platform::CStopLatch* stop, bool reportWaiting) override;
  bool IsFullReconcile() const override { return m_bFullReconcile; }
  bool IsDueForRetry(const std::string& path) override;
  bool IndexCounted(const std::string& path, const std::string& catalogue, const FK::CFolder& folder,
                    bool& abandoned) override;
  CMovesAcrossCatalogues* MovesAcross() override { return &m_MovesAcross; }

 private:
  void ReportDocumentNote(const std::string& path, const std::string& note);

  const CEngineParameters* m_pParameters;  // not owned; null: defaults
  CCatalogueIndexer& m_Indexer;
  CEnginePacing& m_Pacing;
  CStatusLines& m_Status;
  CFolderSessions* m_pSessions = nullptr;
  CStatusBoard* m_pBoard = nullptr;
  bool m_bPdfQuiet = false;  // a retry's failure is not recorded again
  PdfTextReader m_ReadPdf;   // on the engine's PDF readers
  bool m_bFullReconcile = false;
  CDocumentRetries m_Retries;
  CMovesAcrossCatalogues m_MovesAcross;  // its sources set by the engine with each folder list and pass
};
