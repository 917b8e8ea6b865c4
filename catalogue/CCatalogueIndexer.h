#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "catalogue/CDocumentReader.h"
#include "catalogue/LCatalogueError.h"
#include "catalogue/LIndexer.h"
#include "catalogue/PdfTextReader.h"

class IndexWriterToRelease;

// A writer holder, used by one thread at a time (the worker's walks, a flush applier): it stores
// what CDocumentReader read of each document through the writer of its catalogue (the writer
// registry's record, which any thread may share for the write itself).
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

  using Outcome = CDocumentReader::Outcome;
  // The store step of a document read by CDocumentReader (any thread may have read it): writes
  // its entry when the read asks for one, adds what the catalogue cut to its note and records
  // the note unless quiet. Nonzero when stored; a failed write sets WriteFailed.
  int StoreDocument(CDocumentReader::SRead& read, const std::string& catalogue);
  // Both steps on the calling thread; a catalogue that cannot be opened is found out before
  // the document is read. Nonzero when stored; `read` (may be null) receives how it went.
  int IndexDocument(const std::string& path, const std::string& catalogue, const PdfTextReader& readPdf,
                    bool quiet = false, CDocumentReader::SRead* read = nullptr);
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
  void RemoveDocument(const std::string& path, const std::string& catalogue);
  // Removes the document's entry (below: every entry under the directory path) through the
  // catalogue's writer, uncommitted; how many went, -1 when the catalogue cannot be written.
  std::int64_t RemoveEntries(const std::string& path, const std::string& catalogue, bool below);

  // One step on the catalogue's writer (opened when needed), uncommitted and checked at Commit
  // like every write of this holder; a failure is noted as a write failure. False when the
  // writer cannot be opened or the step failed (moves, look-ups by file identity...).
  using WriteStep = std::function<bool(IndexWriterToRelease& writer, LCatalogueError& error)>;
  bool WriteWith(const std::string& catalogue, const WriteStep& step);

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
  int Store(const std::string& path, const std::string& catalogue, const std::string& text,
            const std::string& modified, const LFileIdentity* identity = nullptr);

  std::unique_ptr<LIndexer> m_pIndexer;  // the removals
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
  bool m_bKeepLibrary = false;
};
