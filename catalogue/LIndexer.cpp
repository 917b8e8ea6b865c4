#include "catalogue/LIndexer.h"

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <exception>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/filesystem.hpp>

#include "catalogue/LConnectionRegistry.h"
#include "catalogue/LDatabase.h"
#include "catalogue/LDepartedDocuments.h"
#include "catalogue/LDocumentMoves.h"
#include "catalogue/LDocuments.h"
#include "catalogue/LSearcher.h"
#include "catalogue/LWalks.h"
#include "catalogue/LXmlText.h"
#include "errors/CErrorLog.h"
#include "errors/CFKException.h"
#include "errors/ErrorCodes.h"
#include "platform/CFileSystemType.h"
#include "platform/CPresenceCheck.h"
#include "platform/DocumentFile.h"
#include "platform/FileOps.h"

struct LWriter {
  std::string Catalogue;
};

struct LDeleter {
  std::string Catalogue;
};

struct LCleaner {
  std::string Catalogue;
  std::string Directory;
  std::vector<std::int64_t> Ids;  // the pass's entries, in path order
  // The paths read with the first entries, packed end to end (entry i's ends at PathEnds[i]);
  // the later entries' paths are read in batches as the pass comes to them.
  std::string Paths;
  std::vector<std::uint32_t> PathEnds;
  struct Removal {
    std::int64_t Id;
    std::string Path;  // the path it was judged by
    bool Gone;         // its file is gone (not a duplicate)
  };
  std::vector<Removal> Pending;  // entries to drop at the next flush
  bool SkipPurge = false;        // the directory was missing or empty
  int LastIndex = -1;                 // the entry GetCleanerFileName read last
  std::string LastPath;
  // The entries read ahead, in path order, and the next one to look at.
  std::vector<std::pair<std::int64_t, std::string>> Batch;
  size_t BatchNext = 0;
  platform::CPresenceCheck Presence;                     // asked in path order
};

struct LIndexer::Impl {
  LCatalogueError Error;
  std::string Note;  // why the last document's text was kept incomplete
  std::unique_ptr<LCleaner> Cleaner;
  bool SkippedPurge = false;
};

namespace {

// An unmounted share leaves its mount point empty or missing: then nothing is purged.
bool DirectoryMissingOrEmpty(const std::string& directory) {
  boost::system::error_code ec;
  boost::filesystem::directory_iterator it(directory, ec);
  return ec || it == boost::filesystem::directory_iterator();
}

// "/a/b" must not take "/a/bc/x.xml" with it.
std::string DirectoryPrefix(const std::string& directory) {
  return platform::WithTrailingSlash(directory.empty() ? "/" : directory);
}

LCatalogueError Failure(const std::string& message) { return LCatalogueError{0, false, message}; }

// The library's boundary: an exception from below (out of memory, Boost.Filesystem) becomes
// the failure kept in error (message: what, then subject) and the call's failure result;
// none reaches the caller.
template <typename Result, typename Body>
Result Guarded(LCatalogueError& error, const char* what, const std::string& subject, Result failed, Body&& body) {
  try {
    return body();
  } catch (...) {
    error = Failure(what + subject);
    return failed;
  }
}

// A static call that has no error record to fill: an exception becomes an error log line.
template <typename Body>
void GuardedLogged(const char* function, const std::string& catalogue, Body&& body) {
  try {
    body();
  } catch (const std::exception& error) {
    FKEXCEPTION::CErrorLog::WriteErrorLog(
        FKEXCEPTION::CFKException(FKEXCEPTION::kErrorUnknown, 0, __LINE__, "LIndexer", function,
                                  std::string("unexpected failure: ") + error.what(), catalogue, false));
  } catch (...) {
    FKEXCEPTION::CErrorLog::WriteErrorLog(FKEXCEPTION::CFKException(FKEXCEPTION::kErrorUnknown, 0, __LINE__, "LIndexer",
                                                                    function, "unexpected failure", catalogue, false));
  }
}

// The place to cut text at most cap bytes long without splitting a UTF-8 sequence.
size_t CutPosition(const std::string& text, size_t cap) {
  size_t end = std::min(cap, text.size());
  while (end > 0 && end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return end;
}

// The document's text as kept: valid UTF-8 of at most cap bytes (a text bomb would
// otherwise fill the service's memory and the catalogue).
std::string KeptText(const std::string& text, size_t cap, bool& cut) {
  cut = text.size() > cap;
  std::string content = LXmlText::ToValidUtf8(cut ? text.substr(0, CutPosition(text, cap)) : text);
  if (content.size() > cap) {
    content.resize(CutPosition(content, cap));
    cut = true;
  }
  return content;
}

// The cleaner reads its paths this many at a time: one query per entry held the catalogue's
// lock a thousand times as often, and the whole list would not fit a large catalogue.
constexpr int kCleanerBatch = 1000;

// Every entry's id, and the paths of the first ones while they fit in bytes, in one pass over
// the path index (the statement ends before any removal of the pass).
bool ReadCleanerEntries(LDatabase& db, LCleaner& cleaner, size_t bytes) {
  bytes = std::min<size_t>(bytes, UINT32_MAX);
  return LDocuments(db).EntriesUnder(cleaner.Directory, [&](std::int64_t id, std::string_view path) {
    cleaner.Ids.push_back(id);
    if (cleaner.PathEnds.size() + 1 == cleaner.Ids.size() && cleaner.Paths.size() + path.size() <= bytes) {
      cleaner.Paths.append(path);
      cleaner.PathEnds.push_back(static_cast<std::uint32_t>(cleaner.Paths.size()));
    }
  });
}

// The entry's path and those of the next entries in path order, in one read transaction.
// Nullopt when the entry is gone (or on failure: the database's error tells).
std::optional<std::string> ReadCleanerBatch(LDatabase& db, LCleaner& cleaner, std::int64_t id) {
  const bool began = !db.InTransaction();
  if (began && !db.Exec("BEGIN")) return std::nullopt;
  std::optional<std::string> path = LDocuments(db).PathById(id);
  if (path) {
    cleaner.Batch.clear();
    cleaner.BatchNext = 0;
    LDocuments(db).PathsFrom(cleaner.Directory, *path, kCleanerBatch, [&](std::int64_t rowId, std::string_view rowPath) {
      cleaner.Batch.emplace_back(rowId, rowPath);
    });
  }
  const LCatalogueError error = db.Error();
  if (began) db.Exec("COMMIT");
  if (!error.Message.empty()) db.SetError(error.SqliteCode, error.Message);
  return path;
}

// The removals whose entry still has the path it was judged by. Since its path was read, an
// entry may have been moved (same id, new path) or removed and its id given to a new document:
// dropping it then would lose a present file's entry. It is judged again at the next pass.
void StillAsJudged(LDatabase& db, const std::vector<LCleaner::Removal>& pending, std::vector<std::int64_t>& drop,
                   std::vector<std::int64_t>& gone) {
  for (const LCleaner::Removal& removal : pending) {
    const std::optional<std::string> path = LDocuments(db).PathById(removal.Id);
    if (!path || *path != removal.Path) continue;
    drop.push_back(removal.Id);
    if (removal.Gone) gone.push_back(removal.Id);
  }
}

// The entry's path when it was read ahead. Asked in path order, it is the next one read, or
// a little further when entries came since the pass began.
const std::string* FindReadAhead(LCleaner& cleaner, std::int64_t id) {
  for (size_t at = cleaner.BatchNext; at < cleaner.Batch.size(); ++at) {
    if (cleaner.Batch[at].first == id) {
      cleaner.BatchNext = at + 1;
      return &cleaner.Batch[at].second;
    }
  }
  return nullptr;
}

// A writer or deleter handle on the catalogue's shared connection.
template <typename Handle>
Handle* OpenHandle(const std::string& catalogue, LCatalogueError& error) {
  error = LCatalogueError();
  return Guarded(error, "out of memory opening ", catalogue, static_cast<Handle*>(nullptr), [&]() -> Handle* {
    if (!LConnectionRegistry::Open(catalogue, error)) return nullptr;
    return new Handle{catalogue};
  });
}

// A document whose file is there but cannot be read is stored without text or time: left out,
// the reconciling walk's early stop could skip it for good. A file that is gone, or is no
// regular file (a link, a FIFO: never documents), is left out.
void StoreUnreadable(const std::string& catalogue, const std::string& path, LCatalogueError& error) {
  boost::system::error_code ec;
  if (!boost::filesystem::is_regular_file(boost::filesystem::symlink_status(path, ec))) return;
  if (LConnectionRegistry::With(
          catalogue, [&](LDatabase& db) { return LConnectionRegistry::Begin(db) && LDocuments(db).Upsert(path, "", ""); },
          error)) {
    error.Unreadable = true;
  }
}

template <typename Handle>
bool CommitAndDelete(Handle* handle, LCatalogueError& error) {
  if (!handle) return true;
  const bool committed =
      Guarded(error, "unexpected failure committing", std::string(), false, [&] { return LConnectionRegistry::CommitIfOpen(handle->Catalogue, error); });
  delete handle;
  return committed;
}

}  // namespace

LIndexer::LIndexer() : m_pImpl(new Impl()) {}

LIndexer::~LIndexer() {
  ReleaseCleaner();
  delete m_pImpl;
}

LWriter* LIndexer::GetWriter(const std::string& catalogue) {
  return OpenHandle<LWriter>(catalogue, m_pImpl->Error);
}

bool LIndexer::ReleaseWriter(LWriter* writer) { return CommitAndDelete(writer, m_pImpl->Error); }

bool LIndexer::CloseWriter(LWriter* writer) { return ReleaseWriter(writer); }

int LIndexer::Index(LWriter* writer, const std::string& path) {
  return Guarded(m_pImpl->Error, "unexpected failure indexing ", path, 0, [&] {
    if (!writer) {
      m_pImpl->Error = Failure("no writer");
      return 0;
    }
    // The time read before the content: a write during the read leaves a later one behind.
    const std::string modified = LSearcher::GetModificationTime(path);
    std::string text;
    std::string error;
    std::string readNote;
    if (!LXmlText::ReadFile(path, text, error, readNote)) {
      m_pImpl->Note.clear();
      LCatalogueError stored;
      StoreUnreadable(writer->Catalogue, path, stored);
      m_pImpl->Error = stored.Message.empty() ? Failure(error) : stored;
      m_pImpl->Error.Unreadable = stored.Unreadable;
      return 0;
    }
    const int result = IndexFromContent(writer, path, text, modified);
    if (!readNote.empty()) m_pImpl->Note = m_pImpl->Note.empty() ? readNote : readNote + "; " + m_pImpl->Note;
    return result;
  });
}

int LIndexer::IndexFromContent(LWriter* writer, const std::string& path, const std::string& text) {
  return Guarded(m_pImpl->Error, "unexpected failure indexing ", path, 0, [&] {
    return IndexFromContent(writer, path, text, LSearcher::GetModificationTime(path));
  });
}

bool LIndexer::RecordCompleteWalk(LWriter* writer, const std::string& directory, std::int64_t started) {
  return Guarded(m_pImpl->Error, "unexpected failure recording a walk of ", directory, false, [&] {
    if (!writer) {
      m_pImpl->Error = Failure("no writer");
      return false;
    }
    return LConnectionRegistry::With(
        writer->Catalogue,
        [&](LDatabase& db) {
          return LConnectionRegistry::Begin(db) && LWalks(db).Record(directory, started) &&
                 LConnectionRegistry::Commit(db);
        },
        m_pImpl->Error);
  });
}

int LIndexer::IndexFromContent(LWriter* writer, const std::string& path, const std::string& text,
                               const std::string& modified, const LFileIdentity* identity) {
  return Guarded(m_pImpl->Error, "unexpected failure indexing ", path, 0, [&] {
    if (!writer) {
      m_pImpl->Error = Failure("no writer");
      return 0;
    }
    m_pImpl->Note.clear();
    const size_t cap = platform::DocumentTextCap();
    bool cut = false;
    const std::string content = KeptText(text, cap, cut);
    if (cut) m_pImpl->Note = "text longer than " + std::to_string(cap >> 20) + " MiB: only the first part is kept";
    const bool ok = LConnectionRegistry::With(
        writer->Catalogue,
        [&](LDatabase& db) { return LConnectionRegistry::Begin(db) && LDocuments(db).Upsert(path, modified, content, identity); },
        m_pImpl->Error);
    return ok ? 1 : 0;
  });
}

std::int64_t LIndexer::Remove(LWriter* writer, const std::string& path, bool below, bool keepText) {
  return Guarded(m_pImpl->Error, "unexpected failure removing ", path, std::int64_t{-1}, [&]() -> std::int64_t {
    if (!writer) {
      m_pImpl->Error = Failure("no writer");
      return -1;
    }
    const std::string prefix = below ? DirectoryPrefix(path) : path;
    std::int64_t removed = 0;
    const bool ok = LConnectionRegistry::With(
        writer->Catalogue,
        [&](LDatabase& db) {
          if (!LConnectionRegistry::Begin(db)) return false;
          if (keepText && !LDepartedDocuments(db).KeepPath(prefix, below, std::time(nullptr))) return false;
          if (below) return LDocuments(db).DeleteUnder(prefix, removed);
          bool one = false;
          const bool done = LDocuments(db).Delete(path, one);
          removed = one ? 1 : 0;
          return done;
        },
        m_pImpl->Error);
    return ok ? removed : -1;
  });
}

std::int64_t LIndexer::Move(LWriter* writer, const std::string& from, const std::string& to, bool below,
                           const LFileIdentity* identity) {
  return Guarded(m_pImpl->Error, "unexpected failure moving ", from, std::int64_t{-1}, [&]() -> std::int64_t {
    if (!writer) {
      m_pImpl->Error = Failure("no writer");
      return -1;
    }
    std::int64_t moved = 0;
    const bool ok = LConnectionRegistry::With(
        writer->Catalogue,
        [&](LDatabase& db) {
          if (!LConnectionRegistry::Begin(db)) return false;
          LDocumentMoves moves(db);
          if (below) return moves.MoveUnder(DirectoryPrefix(from), DirectoryPrefix(to), moved);
          bool one = false;
          const bool done = moves.Move(from, to, identity, one);
          moved = one ? 1 : 0;
          return done;
        },
        m_pImpl->Error);
    return ok ? moved : -1;
  });
}

bool LIndexer::FindByIdentity(LWriter* writer, const LFileIdentity& identity, const std::string& modified,
                              std::vector<std::pair<std::string, LFileIdentity>>& entries) {
  return Guarded(m_pImpl->Error, "unexpected failure looking up a moved file", std::string(), false, [&] {
    if (!writer) {
      m_pImpl->Error = Failure("no writer");
      return false;
    }
    std::vector<LDocumentMoves::Entry> found;
    const bool ok = LConnectionRegistry::With(
        writer->Catalogue, [&](LDatabase& db) { return LDocumentMoves(db).FindByIdentity(identity, modified, found); },
        m_pImpl->Error);
    for (LDocumentMoves::Entry& entry : found) entries.emplace_back(std::move(entry.Path), entry.Identity);
    return ok;
  });
}

LDeleter* LIndexer::GetDeleter(const std::string& catalogue) {
  return OpenHandle<LDeleter>(catalogue, m_pImpl->Error);
}

void LIndexer::Delete(LDeleter* deleter, const std::string& path) {
  if (!deleter) return;
  Guarded(m_pImpl->Error, "unexpected failure removing ", path, false, [&] {
    return LConnectionRegistry::With(
        deleter->Catalogue,
        [&](LDatabase& db) { return LConnectionRegistry::Begin(db) && LDocuments(db).Delete(path); },
        m_pImpl->Error);
  });
}

void LIndexer::ReleaseDeleter(LDeleter* deleter) { CommitAndDelete(deleter, m_pImpl->Error); }

LCleaner* LIndexer::InitCleaner(const std::string& directory, const std::string& catalogue,
                                const platform::CDirectoryNames* listed, size_t readAheadBytes) {
  return Guarded(m_pImpl->Error, "unexpected failure starting a cleaner pass", std::string(),
                 static_cast<LCleaner*>(nullptr), [&] {
                   ReleaseCleaner();
                   m_pImpl->Error = LCatalogueError();
                   auto cleaner = std::make_unique<LCleaner>();
                   cleaner->Catalogue = catalogue;
                   cleaner->Directory = directory;
                   cleaner->Presence.UseListed(listed);
                   cleaner->SkipPurge = DirectoryMissingOrEmpty(directory);
                   m_pImpl->SkippedPurge = cleaner->SkipPurge;
                   LConnectionRegistry::With(
                       catalogue, [&](LDatabase& db) { return ReadCleanerEntries(db, *cleaner, readAheadBytes); },
                       m_pImpl->Error);
                   m_pImpl->Cleaner = std::move(cleaner);
                   return m_pImpl->Cleaner.get();
                 });
}

int LIndexer::GetCleanCount() {
  const LCleaner* cleaner = m_pImpl->Cleaner.get();
  return cleaner ? static_cast<int>(cleaner->Ids.size()) : 0;
}

std::optional<std::string> LIndexer::GetCleanerFileName(int index) {
  return Guarded(m_pImpl->Error, "unexpected failure reading a cleaner entry", std::string(),
                 std::optional<std::string>(), [&] {
                   LCleaner* cleaner = m_pImpl->Cleaner.get();
                   std::optional<std::string> path;
                   if (!cleaner || index < 0 || index >= static_cast<int>(cleaner->Ids.size())) return path;
                   const size_t at = static_cast<size_t>(index);
                   const std::int64_t id = cleaner->Ids[at];
                   if (at < cleaner->PathEnds.size()) {
                     const size_t begin = at == 0 ? 0 : cleaner->PathEnds[at - 1];
                     path.emplace(cleaner->Paths, begin, cleaner->PathEnds[at] - begin);
                   } else if (const std::string* ahead = FindReadAhead(*cleaner, id)) {
                     path = *ahead;
                   } else {
                     LConnectionRegistry::With(
                         cleaner->Catalogue,
                         [&](LDatabase& db) {
                           path = ReadCleanerBatch(db, *cleaner, id);
                           return path.has_value() || db.Error().Message.empty();
                         },
                         m_pImpl->Error);
                   }
                   cleaner->LastIndex = path ? index : -1;
                   cleaner->LastPath = path ? *path : std::string();
                   return path;
                 });
}

void LIndexer::Clean(int index, int duplicate) {
  LCleaner* cleaner = m_pImpl->Cleaner.get();
  if (!cleaner || cleaner->SkipPurge || index < 0 || index >= static_cast<int>(cleaner->Ids.size())) return;
  Guarded(m_pImpl->Error, "unexpected failure cleaning an entry", std::string(), false, [&] {
    // An entry that vanished since the pass began has nothing left to drop.
    if (cleaner->LastIndex != index && !GetCleanerFileName(index)) return false;
    // Only a file known not to exist counts as gone; an unreadable one is kept.
    const std::int64_t id = cleaner->Ids[static_cast<size_t>(index)];
    if (duplicate == 1) {
      cleaner->Pending.push_back({id, cleaner->LastPath, false});
    } else if (cleaner->Presence.IsGone(cleaner->LastPath)) {
      cleaner->Pending.push_back({id, cleaner->LastPath, true});
    }
    return true;
  });
}

void LIndexer::FlushDeleter(LCleaner* cleaner) {
  if (!cleaner || cleaner->Pending.empty()) return;
  Guarded(m_pImpl->Error, "unexpected failure flushing the cleaner", std::string(), false, [&] {
    // The share may have gone away during the pass: look again before anything is dropped.
    if (DirectoryMissingOrEmpty(cleaner->Directory)) {
      cleaner->SkipPurge = true;
      m_pImpl->SkippedPurge = true;
      cleaner->Pending.clear();
      return false;
    }
    LConnectionRegistry::With(
        cleaner->Catalogue,
        [&](LDatabase& db) {
          if (!LConnectionRegistry::Begin(db)) return false;
          std::vector<std::int64_t> drop;
          std::vector<std::int64_t> gone;
          StillAsJudged(db, cleaner->Pending, drop, gone);
          // A file gone from here may have been moved into another folder, whose pass takes its text.
          if (!LDepartedDocuments(db).KeepIds(gone, std::time(nullptr))) return false;
          for (std::int64_t id : drop) {
            if (!LDocuments(db).DeleteById(id)) return false;
          }
          return LConnectionRegistry::Commit(db);
        },
        m_pImpl->Error);
    cleaner->Pending.clear();
    return true;
  });
}

void LIndexer::ReleaseCleaner() {
  // Removals noted after the last flush are not lost.
  FlushDeleter(m_pImpl->Cleaner.get());
  m_pImpl->Cleaner.reset();
}

bool LIndexer::CleanerSkippedPurge() const { return m_pImpl->SkippedPurge; }

const LCatalogueError& LIndexer::LastError() const { return m_pImpl->Error; }

const std::string& LIndexer::LastNote() const { return m_pImpl->Note; }

bool LIndexer::UsesRollbackJournal(const std::string& catalogue) {
  return platform::CFileSystemType::IsNetwork(catalogue);
}

bool LIndexer::IsDatabaseFile(const std::string& name) {
  const std::string base = LDatabase::kFileName;
  if (name.compare(0, base.size(), base) != 0) return false;
  const std::string suffix = name.substr(base.size());
  return suffix.empty() || suffix == "-wal" || suffix == "-shm" || suffix == "-journal";
}

bool LIndexer::CheckpointLog(const std::string& catalogue) {
  bool done = false;
  GuardedLogged("CheckpointLog", catalogue, [&] {
    LCatalogueError ignored;
    done = LConnectionRegistry::With(catalogue, [](LDatabase& db) { return db.CheckpointLog(); }, ignored);
  });
  return done;
}

bool LIndexer::TakeReplaced(const std::string& catalogue) {
  bool replaced = false;
  GuardedLogged("TakeReplaced", catalogue, [&] { replaced = LConnectionRegistry::TakeReplaced(catalogue); });
  return replaced;
}

void LIndexer::CloseCatalogue(const std::string& catalogue) {
  GuardedLogged("CloseCatalogue", catalogue, [&] { LConnectionRegistry::Close(catalogue); });
}

void LIndexer::ClearMemory() {
  GuardedLogged("ClearMemory", std::string(), [] { LConnectionRegistry::CloseAll(); });
}
