#include "catalogue/CMovedDocuments.h"

#include <cstdint>

#include "catalogue/CCatalogueIndexer.h"
#include "catalogue/IndexWriterToRelease.h"
#include "catalogue/LSearcher.h"
#include "platform/FileBirth.h"

namespace {

// The old path still holds the same file: a hard link, not a move.
bool StillAt(const std::string& path, const platform::FileStamp& now) {
  const platform::FileStamp old = platform::StampOf(path);
  return old.Ok && old.Inode == now.Inode && old.Device == now.Device;
}

}  // namespace

bool CMovedDocuments::IsSameFile(const std::string& path, const platform::FileStamp& now, const LFileIdentity& kept) {
  if (!now.Ok || !now.Regular || now.Inode != kept.Inode || now.Device != kept.Device || now.Size != kept.Size) {
    return false;
  }
  // The kept status-change time was taken when the content was read: a later write leaves a
  // later modification time, and a file born later took the inode over from a deleted one.
  const std::int64_t modifiedNs = now.ModifiedSeconds * 1000000000 + now.ModifiedNanoseconds;
  if (modifiedNs > kept.ChangedNs) return false;
  std::int64_t bornNs = 0;
  return !platform::BirthTimeNs(path, bornNs) || bornNs <= kept.ChangedNs;
}

bool CMovedDocuments::TakeMoved(const std::string& path, const std::string& catalogue) {
  return Take(std::string(), path, catalogue, true);
}

bool CMovedDocuments::MoveIfSame(const std::string& from, const std::string& to, const std::string& catalogue) {
  return Take(from, to, catalogue, false);
}

bool CMovedDocuments::Find(const platform::FileStamp& now, const std::string& catalogue, Entries& entries) {
  if (!now.Ok || !now.Regular) return false;
  const std::string modified = LSearcher::FormatModificationTime(now.ModifiedSeconds);
  return m_Indexer.WriteWith(catalogue, [&](IndexWriterToRelease& writer, LCatalogueError& error) {
    return writer.FindByIdentity(LFileIdentity::Of(now), modified, entries, error);
  });
}

std::int64_t CMovedDocuments::MoveUnder(const std::string& from, const std::string& to, const std::string& catalogue) {
  return Move(from, to, catalogue, true, nullptr);
}

std::int64_t CMovedDocuments::Move(const std::string& from, const std::string& to, const std::string& catalogue,
                                   bool below, const LFileIdentity* identity) {
  std::int64_t moved = -1;
  m_Indexer.WriteWith(catalogue, [&](IndexWriterToRelease& writer, LCatalogueError& error) {
    moved = writer.Move(from, to, below, identity, error);
    return moved >= 0;
  });
  return moved;
}

bool CMovedDocuments::IsMovedHere(const std::string& oldPath, const std::string& path, const platform::FileStamp& now,
                                  const LFileIdentity& kept) {
  return IsSameFile(path, now, kept) && !StillAt(oldPath, now);
}

bool CMovedDocuments::IsUnchanged(const std::string& path, const std::string& catalogue) {
  const platform::FileStamp now = platform::StampOf(path);
  Entries entries;
  if (!Find(now, catalogue, entries)) return false;
  const LFileIdentity identity = LFileIdentity::Of(now);
  for (const auto& [entryPath, kept] : entries) {
    if (entryPath == path && kept.SameFileAs(identity)) return true;
  }
  return false;
}

bool CMovedDocuments::Take(const std::string& from, const std::string& to, const std::string& catalogue,
                           bool requireGone) {
  m_strMovedFrom.clear();
  const platform::FileStamp now = platform::StampOf(to);
  Entries entries;
  if (!Find(now, catalogue, entries)) return false;
  const LFileIdentity identity = LFileIdentity::Of(now);
  for (const auto& [oldPath, kept] : entries) {
    if (oldPath == to || (!from.empty() && oldPath != from)) continue;
    if (!IsSameFile(to, now, kept) || (requireGone && StillAt(oldPath, now))) continue;
    // The rename changed the file's status-change time: the entry keeps the identity it has now.
    if (Move(oldPath, to, catalogue, false, &identity) != 1) return false;
    m_strMovedFrom = oldPath;
    return true;
  }
  return false;
}
