#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "catalogue/LCatalogueError.h"
#include "catalogue/LIndexer.h"
#include "catalogue/PdfTextReader.h"

class IndexWriterToRelease;

// The indexing engine's writer holder, used by one thread at a time (the worker's walks): it reads each document, then stores it through the writer of its
// catalogue (the writer registry's record, which any thread may share for the write itself).
// Remembers when a library call reported a damaged catalogue (CorruptionSeen).
class CCatalogueIndexer {
 public:
  CCatalogueIndexer();
  ~CCatalogueIndexer();
  CCatalogueIndexer(const CCatalogueIndexer&) = delete;
  CCatalogueIndexer& operator=(const CCatalogueIndexer&) = delete;

  // The catalogue's writer, opened when this holder has none open; null when it cannot be opened.
  IndexWriterToRelease* GetWriter(const std::string& catalogue);
  void ReleaseWriter();
  // As ReleaseWriter; false when the commit failed (LastError says why; a damaged catalogue too).
  bool Commit();
  void ReopenWriter(const std::string& catalogue);

  // A ".xml" or ".pdf" file (any case) that is no ".FK$" companion (FK::CFolderLayout's rule).
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
    NotADocument,   // no regular file any more (a FIFO, a link...): nothing stored
    Abandoned,      // the PDF read was cut short by a stop: nothing stored, the entry stays
                    // as it was for the next start
    WriteFailed     // the catalogue could not be written (see GetWriteFailure)
  };
  // Nonzero when the document was stored (Outcome says how). A PDF's text comes from readPdf
  // (empty: no PDF plug-in), read before the writer is taken; one that cannot be read gets
  // empty text.
  int IndexDocument(const std::string& path, const std::string& catalogue, const PdfTextReader& readPdf);
  Outcome GetLastOutcome() const { return m_LastOutcome; }
  // Why the last IndexDocument could not read its XML document ("" when it could).
  const std::string& UnreadableReason() const { return m_strUnreadableReason; }
  // Notes the walk that started at `started` as complete; false (a write failure) when it could not.
  bool RecordCompleteWalk(const std::string& directory, const std::string& catalogue, std::int64_t started);

  // After a large write (a fresh walk): commits, then copies the catalogue's write-ahead log into
  // its database, which SQLite would otherwise leave to whichever later commit first finds the
  // log past its automatic checkpoint size. A failure loses nothing (the log keeps the pages).
  void CheckpointLog(const std::string& catalogue);
  // A write to the catalogue (open, store, commit) failed since ClearWriteFailure: what was
  // written since the last commit is rolled back.
  bool WriteFailureSeen() const { return m_bWriteFailureSeen; }
  const LCatalogueError& GetWriteFailure() const { return m_WriteFailure; }
  void ClearWriteFailure() { m_bWriteFailureSeen = false; m_WriteFailure = LCatalogueError(); }
  // Why the last IndexDocument kept no or only part of the document's text, for the activity
  // log; "" when it went normally.
  const std::string& DocumentNote() const { return m_strDocumentNote; }
  // Opens the process's reading marker, which names each document while any holder reads it.
  // A document a former run was reading when it hung or crashed is read once more; one that
  // two runs in a row ended in is catalogued without its text. False (and why) when the
  // marker file cannot be used; documents are read all the same.
  static bool UseReadingMarker(const std::string& markerPath, std::string& errorText);
  // While quiet, a document's note goes to no error record (a retry of a document already reported).
  void SetQuiet(bool quiet) { m_bQuiet = quiet; }
  void RemoveDocument(const std::string& path, const std::string& catalogue);
  // Removes the document's entry (below: every entry under the directory path) through the
  // catalogue's writer, uncommitted; how many went, -1 when the catalogue cannot be written.
  std::int64_t RemoveEntries(const std::string& path, const std::string& catalogue, bool below);

  // One step on the catalogue's writer (opened when needed), uncommitted and checked at Commit
  // like every write of this holder; a failure is noted as a write failure. False when the
  // writer cannot be opened or the step failed (moves, look-ups by file identity...).
  using WriteStep = std::function<bool(IndexWriterToRelease& writer, LCatalogueError& error)>;
  bool WriteWith(const std::string& catalogue, const WriteStep& step);

  // The cleaner pass, one to one onto LIndexer.
  LCleaner* InitCleaner(const std::string& directory, const std::string& catalogue);
  int GetCleanCount();
  std::optional<std::string> GetCleanerFileName(int index);
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

  // Releases the writer and the indexer; the first Shutdown of the process clears the library,
  // unless this holder is one of several (a flush worker's) that must leave it to the engine's.
  void Shutdown();
  void KeepLibraryAtShutdown() { m_bKeepLibrary = true; }

 private:
  void NoteLibraryState();
  // Before each write through the writer: the first since the last commit notes the count.
  void NoteWrite(const std::string& catalogue);
  void NoteLibraryState(const LCatalogueError& error);
  void NoteWriteFailure();
  // Reads the document (readNote: why its text is incomplete), then stores it; sets m_LastOutcome.
  int ReadAndIndex(const std::string& path, const std::string& catalogue, const PdfTextReader& readPdf,
                   std::string& readNote);
  int Store(const std::string& path, const std::string& catalogue, const std::string& text,
            const std::string& modified, const LFileIdentity* identity = nullptr);

  std::unique_ptr<LIndexer> m_pIndexer;  // the cleaner passes and removals
  // The writer registry's record (it outlives the holder) whose writer this holder opened;
  // null when none is open.
  IndexWriterToRelease* m_pWriter = nullptr;
  // Since the writer's last commit: something was written, and the catalogue's count of lost
  // transactions before the first write (LConnectionRegistry::RolledBack).
  bool m_bWritten = false;
  std::uint64_t m_nRollbacksBefore = 0;
  LCatalogueError m_LastError;  // the library's last failure
  std::string m_strLibraryNote;  // why the last stored document's text was kept incomplete
  bool m_bCorruptionSeen = false;
  LCatalogueError m_CorruptionError;
  bool m_bWriteFailureSeen = false;
  LCatalogueError m_WriteFailure;
  Outcome m_LastOutcome = Outcome::Complete;
  std::string m_strDocumentNote;
  bool m_bQuiet = false;
  std::string m_strUnreadableReason;
  bool m_bKeepLibrary = false;
};
