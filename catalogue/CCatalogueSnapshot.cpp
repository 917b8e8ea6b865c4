#include "catalogue/CCatalogueSnapshot.h"

#include <algorithm>
#include <string_view>

#include "catalogue/LDatabase.h"
#include "catalogue/LDocuments.h"
#include "catalogue/LFileIdentities.h"
#include "catalogue/LSearcher.h"
#include "catalogue/LWalks.h"
#include "folders/CFolderLayout.h"
#include "platform/FileTimes.h"

namespace {

// The change test: the file's time differs from the stored one, or it is another file than the
// one read (a copy that kept the old time). A document with no identity kept is compared by time.
int Differs(const std::string& path, std::string_view storedTime, const LFileIdentity* stored) {
  const platform::FileStamp stamp = platform::StampOf(path);
  const std::string time = stamp.Ok ? LSearcher::FormatModificationTime(stamp.ModifiedSeconds) : std::string();
  if (time != storedTime) return 1;
  return stored != nullptr && stamp.Ok && !stored->SameFileAs(LFileIdentity::Of(stamp)) ? 1 : 0;
}

}  // namespace

CCatalogueSnapshot::CCatalogueSnapshot() = default;

CCatalogueSnapshot::~CCatalogueSnapshot() = default;

void CCatalogueSnapshot::Forget(const LCatalogueError& error) {
  m_Error = error;
  m_bCorrupt = error.Corrupt;
  m_Text.clear();
  m_Entries.clear();
  m_Unread.clear();
  m_LastCompleteWalk.reset();
  m_pDb.reset();
}

bool CCatalogueSnapshot::ReadIdentitiesKept(LDatabase& db) {
  bool failed = false;
  m_bIdentitiesKept = LFileIdentities::TableExists(db, failed);
  return !failed || !db.Error().Corrupt;
}

bool CCatalogueSnapshot::ReadLastCompleteWalk(LDatabase& db, const std::string& directory) {
  bool failed = false;
  m_LastCompleteWalk = LWalks(db).LastStarted(directory, failed);
  // Without the record the walk checks every file: only a damaged catalogue is worse.
  if (failed) m_LastCompleteWalk.reset();
  return !failed || !db.Error().Corrupt;
}

void CCatalogueSnapshot::Open(const std::string& directory, const std::string& catalogue) {
  try {
    auto db = std::make_unique<LDatabase>();
    if (!db->OpenForReading(catalogue)) {
      m_Error = db->Error();
      m_bCorrupt = m_Error.Corrupt;
      return;
    }
    const bool listed = LDocuments(*db).UnreadUnder(directory, [&](std::string_view path, std::string_view) {
      if (!FK::CFolderLayout::HasLeftOutNameBelow(directory, path)) m_Unread.emplace_back(path);
    });
    if (!listed || !ReadLastCompleteWalk(*db, directory) || !ReadIdentitiesKept(*db)) return Forget(db->Error());
    std::sort(m_Unread.begin(), m_Unread.end());
    m_strDirectory = directory;
    m_pDb = std::move(db);
  } catch (...) {
    Forget(LCatalogueError{0, false, "unexpected failure searching " + catalogue});
  }
}

void CCatalogueSnapshot::Load(const std::string& directory, const std::string& catalogue) {
  try {
    LDatabase db;
    // A missing catalogue holds nothing; one that cannot be opened is reported.
    if (!db.OpenForReading(catalogue)) {
      m_Error = db.Error();
      m_bCorrupt = m_Error.Corrupt;
      return;
    }
    int count = 0;
    if (!ReadIdentitiesKept(db)) return Forget(db.Error());
    const bool listed = LDocuments(db).ScanWithIdentitiesUnder(
        directory, m_bIdentitiesKept, [&](std::string_view path, std::string_view time, const LFileIdentity* identity) {
          ++count;
          if (!FK::CFolderLayout::HasLeftOutNameBelow(directory, path)) Keep(path, time, identity);
        });
    if (!listed) {
      // Nothing of a list cut short is kept; only a damaged catalogue is more than "nothing found".
      m_Error = db.Error();
      m_bCorrupt = m_Error.Corrupt;
      m_Text.clear();
      m_Entries.clear();
      m_Unread.clear();
      return;
    }
    if (!ReadLastCompleteWalk(db, directory)) return Forget(db.Error());
    m_nDocumentCount = count;
    SortIfNeeded();
    std::sort(m_Unread.begin(), m_Unread.end());
  } catch (...) {
    m_Error = LCatalogueError{0, false, "unexpected failure searching " + catalogue};
    m_Text.clear();
    m_Entries.clear();
    m_Unread.clear();
    m_LastCompleteWalk.reset();
  }
}

void CCatalogueSnapshot::Keep(std::string_view path, std::string_view time, const LFileIdentity* identity) {
  m_Entries.push_back(Entry{m_Text.size(), static_cast<std::uint32_t>(path.size()),
                            static_cast<std::uint32_t>(time.size()), identity != nullptr,
                            identity ? *identity : LFileIdentity()});
  m_Text += path;
  m_Text += time;
  if (time.empty()) m_Unread.emplace_back(path);
}

bool CCatalogueSnapshot::HasUnreadIn(const std::string& directory) const {
  for (auto it = std::lower_bound(m_Unread.begin(), m_Unread.end(), directory);
       it != m_Unread.end() && it->compare(0, directory.size(), directory) == 0; ++it) {
    if (it->find('/', directory.size()) == std::string::npos) return true;
  }
  return false;
}

std::vector<std::string> CCatalogueSnapshot::GetRetriesIn(const std::string& level) const {
  std::vector<std::string> found;
  for (auto it = std::lower_bound(m_Unread.begin(), m_Unread.end(), level);
       it != m_Unread.end() && it->compare(0, level.size(), level) == 0; ++it) {
    if (it->find('/', level.size()) == std::string::npos) found.push_back(*it);
  }
  return found;
}

std::string_view CCatalogueSnapshot::PathOf(const Entry& entry) const {
  return std::string_view(m_Text).substr(entry.Offset, entry.PathLength);
}

void CCatalogueSnapshot::SortIfNeeded() {
  // The catalogue lists paths in byte order, which is string_view's order too: this only
  // guards the binary search against a library that would list them otherwise.
  const auto byPath = [this](const Entry& a, const Entry& b) { return PathOf(a) < PathOf(b); };
  if (!std::is_sorted(m_Entries.begin(), m_Entries.end(), byPath)) {
    std::sort(m_Entries.begin(), m_Entries.end(), byPath);
  }
  std::sort(m_Unread.begin(), m_Unread.end());
}

const CCatalogueSnapshot::Entry* CCatalogueSnapshot::Find(const std::string& path) const {
  const auto found =
      std::lower_bound(m_Entries.begin(), m_Entries.end(), std::string_view(path),
                       [this](const Entry& entry, std::string_view wanted) { return PathOf(entry) < wanted; });
  return found != m_Entries.end() && PathOf(*found) == path ? &*found : nullptr;
}

int CCatalogueSnapshot::LookUp(const std::string& path, int& modified) const {
  // The same answers as a loaded snapshot: only documents under the directory, none the walks leave out.
  if (path.compare(0, m_strDirectory.size(), m_strDirectory) != 0 ||
      FK::CFolderLayout::HasLeftOutNameBelow(m_strDirectory, path)) {
    return 0;
  }
  std::string stored;
  std::optional<LFileIdentity> identity;
  const int found = LDocuments(*m_pDb).ChangeTestOf(path, m_bIdentitiesKept, stored, identity);
  if (found < 0) {
    // Taken as not catalogued: the document is stored again, which loses nothing; a damaged
    // catalogue is told as after a load.
    m_Error = m_pDb->Error();
    m_bCorrupt = m_bCorrupt || m_Error.Corrupt;
    return 0;
  }
  if (found == 0) return 0;
  modified = Differs(path, stored, identity ? &*identity : nullptr);
  return 1;
}

int CCatalogueSnapshot::IsModified(const std::string& path, int& modified) const {
  ++m_nLookUps;
  modified = 0;
  if (m_pDb) return LookUp(path, modified);
  if (m_nDocumentCount <= 0) return 0;
  const Entry* stored = Find(path);
  if (stored == nullptr) return 0;
  const std::string_view time = std::string_view(m_Text).substr(stored->Offset + stored->PathLength, stored->TimeLength);
  modified = Differs(path, time, stored->HasIdentity ? &stored->Identity : nullptr);
  return 1;
}
