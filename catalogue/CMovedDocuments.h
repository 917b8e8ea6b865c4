#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "catalogue/LFileIdentity.h"
#include "platform/FileTimes.h"

class CCatalogueIndexer;

// Tells a document file that was moved or renamed from one that is new, so that a moved
// document keeps its catalogued text instead of being read again. When in doubt the answer
// is no and the file is read: a hard link (the old path still holds the file), a copy (another
// inode), a file that took over a freed inode, or one written since it was catalogued.
// Used by the thread that uses the indexer; the indexer must outlive it.
class CMovedDocuments {
 public:
  using Entries = std::vector<std::pair<std::string, LFileIdentity>>;

  explicit CMovedDocuments(CCatalogueIndexer& indexer) : m_Indexer(indexer) {}

  // The file at path is a catalogued document whose old path no longer holds it: its entry
  // takes path (uncommitted). True when so; MovedFrom then names the old path.
  bool TakeMoved(const std::string& path, const std::string& catalogue);
  // The file now at `to` is the one catalogued at `from`, unchanged: the entry of `from` takes
  // `to` (uncommitted). False leaves the catalogue as it was.
  bool MoveIfSame(const std::string& from, const std::string& to, const std::string& catalogue);
  // Every entry under the directory `from` takes the directory `to` instead (uncommitted),
  // text and time kept; how many moved, -1 when the catalogue cannot be written.
  std::int64_t MoveUnder(const std::string& from, const std::string& to, const std::string& catalogue);
  // The file at path is catalogued there and has not changed since (the walks' change test).
  bool IsUnchanged(const std::string& path, const std::string& catalogue);
  const std::string& MovedFrom() const { return m_strMovedFrom; }

  // The file as stamped now holds the content catalogued with the kept identity.
  static bool IsSameFile(const std::string& path, const platform::FileStamp& now, const LFileIdentity& kept);
  // As IsSameFile, and oldPath no longer holds the file (no hard link): it was moved to path.
  static bool IsMovedHere(const std::string& oldPath, const std::string& path, const platform::FileStamp& now,
                          const LFileIdentity& kept);

 private:
  // Moves the entry of `from` to `to` when the file at `to` is the one catalogued there;
  // requireGone: only when `from` no longer holds that file.
  bool Take(const std::string& from, const std::string& to, const std::string& catalogue, bool requireGone);
  std::int64_t Move(const std::string& from, const std::string& to, const std::string& catalogue, bool below,
                    const LFileIdentity* identity);
  // The entries catalogued with the identity and time of the file stamped now at path.
  bool Find(const platform::FileStamp& now, const std::string& catalogue, Entries& entries);

  CCatalogueIndexer& m_Indexer;
  std::string m_strMovedFrom;
};
