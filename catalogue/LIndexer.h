#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "catalogue/LCatalogueError.h"
#include "catalogue/LFileIdentity.h"

// Opaque handles served by LIndexer; they stay owned by the library and die with the
// call that releases them (ReleaseWriter / CloseWriter / ReleaseDeleter / ReleaseCleaner).
struct LWriter;
struct LDeleter;
struct LCleaner;
namespace platform {
class CDirectoryNames;
}

// Writes a catalogue (one SQLite FTS5 database in the catalogue directory).
// One object is used by one thread at a time; several objects of the process may write
// the same catalogue: they share one write connection per catalogue, behind a lock.
// No call throws; failures give 0 / null and are kept in LastError().
class LIndexer {
 public:
  LIndexer();
  ~LIndexer();
  LIndexer(const LIndexer&) = delete;
  LIndexer& operator=(const LIndexer&) = delete;

  LWriter* GetWriter(const std::string& catalogue);
  // Commits; handle dead. False when the commit failed: then what the handle wrote since the
  // last commit is rolled back and LastError() says why.
  bool ReleaseWriter(LWriter* writer);
  bool CloseWriter(LWriter* writer);  // as ReleaseWriter
  // Nonzero when indexed; the library reads the XML file itself (see LCatalogueError::Unreadable).
  int Index(LWriter* writer, const std::string& path);
  // As Index, with the given text (PDF documents).
  int IndexFromContent(LWriter* writer, const std::string& path, const std::string& text);
  // As IndexFromContent, with the stored modification time given ("" takes it again at the next pass).
  // identity: the file's, taken with the time (null: the document is compared by its time only).
  int IndexFromContent(LWriter* writer, const std::string& path, const std::string& text,
                       const std::string& modified, const LFileIdentity* identity = nullptr);
  // Notes in the catalogue (table complete_walks) that a walk of the folder directory that
  // started at `started` (seconds since 1970) ended normally, and commits.
  bool RecordCompleteWalk(LWriter* writer, const std::string& directory, std::int64_t started);
  // Why the text of the document last indexed was kept incomplete (over the text cap, read
  // without the XML parser); "" when it was kept whole.
  const std::string& LastNote() const;

  // Removes the document's entry through the writer, uncommitted (below: every entry under the
  // directory path, whole components); how many went, -1 on failure. keepText: a PDF's text is
  // kept a while among the departed documents (its file was moved away).
  std::int64_t Remove(LWriter* writer, const std::string& path, bool below, bool keepText = false);

  // Gives the document's entry the path `to` through the writer, uncommitted, keeping its text
  // and stored time (below: every entry under the directory path `from`, whole components);
  // identity (a file only) replaces the file's identity kept with it. How many moved, -1 on failure.
  std::int64_t Move(LWriter* writer, const std::string& from, const std::string& to, bool below,
                    const LFileIdentity* identity = nullptr);
  // The documents whose file had the identity's device, inode and size, stored with the time
  // `modified` (their kept identity in entries); false on failure.
  bool FindByIdentity(LWriter* writer, const LFileIdentity& identity, const std::string& modified,
                      std::vector<std::pair<std::string, LFileIdentity>>& entries);

  LDeleter* GetDeleter(const std::string& catalogue);
  void Delete(LDeleter* deleter, const std::string& path);
  void ReleaseDeleter(LDeleter* deleter);  // commits

  // A pass over the catalogue's entries under a directory (path prefix). listed: the names a walk
  // of the same pass listed (null: none), which must outlive the pass. The entries' ids and paths
  // are read in one go, the paths up to readAheadBytes (the rest in batches as the pass goes on):
  // 12 bytes an entry and its path's length.
  static constexpr size_t kCleanerReadAheadBytes = size_t{32} << 20;
  LCleaner* InitCleaner(const std::string& directory, const std::string& catalogue,
                        const platform::CDirectoryNames* listed = nullptr,
                        size_t readAheadBytes = kCleanerReadAheadBytes);
  int GetCleanCount();
  // The entry's path; nullopt past the end or when the pass has none.
  std::optional<std::string> GetCleanerFileName(int index);
  // Drops the entry when duplicate is 1 or its file no longer exists, unless the pass's
  // directory is missing or empty (then nothing is purged and the pass reports it). The text
  // of a PDF whose file is gone is kept a while among the departed documents.
  void Clean(int index, int duplicate);
  void FlushDeleter(LCleaner* cleaner);  // commits pending removals
  void ReleaseCleaner();
  // True when the current or last cleaner pass kept entries because its directory was missing or empty.
  bool CleanerSkippedPurge() const;

  const LCatalogueError& LastError() const;

  // True for the names of the files the database keeps in a catalogue directory.
  static bool IsDatabaseFile(const std::string& name);
  // Copies the catalogue's write-ahead log into its database now (the process's connection,
  // outside a transaction): after a large write, so that a later small one does not pay for it.
  static bool CheckpointLog(const std::string& catalogue);
  // True once after the catalogue's database was found removed or replaced at its path while the
  // process had it open (see LConnectionRegistry::TakeReplaced): it is to be built again.
  static bool TakeReplaced(const std::string& catalogue);
  // Closes every connection of the process to the catalogue (before its files are deleted or moved).
  static void CloseCatalogue(const std::string& catalogue);
  // Once per process, at the end: closes every connection.
  static void ClearMemory();
  // True when the catalogue lies on a network file system, where it is written with a
  // rollback journal instead of the write-ahead log (for a line in the activity log).
  static bool UsesRollbackJournal(const std::string& catalogue);

 private:
  struct Impl;
  Impl* m_pImpl;  // owned
};
