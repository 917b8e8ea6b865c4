#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "catalogue/LIndexer.h"

class CTool_QuickPDFLib;

// The indexing engine's writer holder: one LIndexer and the writer it has open, used by the
// worker's walks and by AddFile/RemoveFile. It has no lock: callers keep its uses apart.
// Remembers when a library call reported a damaged catalogue (CorruptionSeen).
class CCatalogueIndexer {
 public:
  CCatalogueIndexer();
  ~CCatalogueIndexer();
  CCatalogueIndexer(const CCatalogueIndexer&) = delete;
  CCatalogueIndexer& operator=(const CCatalogueIndexer&) = delete;

  LWriter* GetWriter(const std::string& catalogue);
  void ReleaseWriter();
  void CloseWriter(const std::string& catalogue);
  void ReopenWriter(const std::string& catalogue);

  // A ".xml" or ".pdf" file (any case) that is no ".FK$" companion.
  static bool IsIndexableDocument(const std::string& name);
  // What the last IndexDocument did with its document.
  enum class Outcome {
    Complete,       // stored with its text and the modification time read before it
    Damaged,        // a PDF that cannot be read as it is: stored with empty text and its time
    Retry,          // content not read in full (refused, changed while read, written in the
                    // very second of the read): stored with time "", taken again next pass
    RetryLater,     // the PDF helper's deadline, crash or memory cap: stored with time "",
                    // to be taken again after a growing interval
    RetryAtRestart, // no PDF plug-in: stored with time "" and empty text
    Vanished,       // the file is gone: nothing stored
    WriteFailed     // the catalogue could not be written (see GetWriteFailure)
  };
  // Nonzero when the document was stored (Outcome says how). A PDF the tool cannot open gets
  // empty text.
  int IndexDocument(const std::string& path, const std::string& catalogue, CTool_QuickPDFLib* pdfTool);
  Outcome GetLastOutcome() const { return m_LastOutcome; }
  // Notes the walk that started at `started` as complete; false (a write failure) when it could not.
  bool RecordCompleteWalk(const std::string& directory, const std::string& catalogue, std::int64_t started);

  // A write to the catalogue (open, store, commit) failed since ClearWriteFailure: what was
  // written since the last commit is rolled back.
  bool WriteFailureSeen() const { return m_bWriteFailureSeen; }
  const LCatalogueError& GetWriteFailure() const { return m_WriteFailure; }
  void ClearWriteFailure() { m_bWriteFailureSeen = false; m_WriteFailure = LCatalogueError(); }
  void RemoveDocument(const std::string& path, const std::string& catalogue);

  // The cleaner pass, one to one onto LIndexer.
  LCleaner* InitCleaner(const std::string& directory, const std::string& catalogue);
  int GetCleanCount();
  std::optional<std::string> GetCleanerFileName(int index);
  void DeleteFileName(std::optional<std::string>& name) { name.reset(); }
  void Clean(int index, int duplicate);
  void FlushDeleter(LCleaner* cleaner);
  void ReleaseCleaner();
  bool CleanerSkippedPurge() const;

  int CountDocuments(const std::string& catalogue);
  int CountDocumentsUnder(const std::string& directory, const std::string& catalogue);
  int FileExists(const std::string& path, const std::string& catalogue, int& found);

  // The first failure that showed the catalogue damaged since ClearCorruption (else the
  // library's last failure). CorruptionSeen stays set until cleared.
  const LCatalogueError& LastError() const;
  bool CorruptionSeen() const { return m_bCorruptionSeen; }
  void NoteCorruption(bool corrupt, const LCatalogueError& error);
  void ClearCorruption() { m_bCorruptionSeen = false; }

  // Releases the writer and the indexer; the first Shutdown of the process clears the library.
  void Shutdown();

 private:
  void NoteLibraryState();
  void NoteWriteFailure();

  std::unique_ptr<LIndexer> m_pIndexer;
  LWriter* m_pWriter = nullptr;  // owned by the library; null when none is open
  bool m_bCorruptionSeen = false;
  LCatalogueError m_CorruptionError;
  bool m_bWriteFailureSeen = false;
  LCatalogueError m_WriteFailure;
  Outcome m_LastOutcome = Outcome::Complete;
};
