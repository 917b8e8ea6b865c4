#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace platform {

class CDirectoryNames;

// Tells whether paths are known not to exist, as a status call that does not follow the final
// link would (no such entry, or a parent that is not a directory). Asked in path order, it lists
// each parent directory once: an entry listed there needs no call of its own, and one not listed
// is looked up at once, so a path is never called gone on the strength of a listing alone.
// One thread.
class CPresenceCheck {
 public:
  // The names a walk listed just before (null: none): a directory kept there is not listed again.
  // They must outlive the check.
  void UseListed(const CDirectoryNames* listed) { m_pListed = listed; }
  bool IsGone(const std::string& path);
  // Listings read so far (for tests).
  int GetListingCount() const { return m_nListings; }

 private:
  struct Listing {
    std::string Directory;  // ends with '/'
    bool Complete = false;  // read to its end (else every path in it is looked up)
    std::string Text;       // the names, each ended by a zero byte
    std::unordered_set<std::string_view> Names;  // views into Text
  };
  const Listing& ListingOf(std::string_view parent);

  // The listings of the last parent asked about and of those of its ancestors that were asked
  // about: in path order a directory's entries and its sub-trees form one run, so a parent left
  // for good is dropped and one returned to after a sub-tree is still here.
  std::vector<std::unique_ptr<Listing>> m_Listings;
  int m_nListings = 0;
  const CDirectoryNames* m_pListed = nullptr;
};

}  // namespace platform
