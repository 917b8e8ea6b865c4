#include "platform/CPresenceCheck.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>

#include "platform/CDirectoryNames.h"

namespace platform {

namespace {

bool StatusSaysGone(const std::string& path) {
  struct stat status {};
  if (lstat(path.c_str(), &status) == 0) return false;
  return errno == ENOENT || errno == ENOTDIR;
}

// The directory's names but "." and ".." into the listing; false when it cannot be read to its end.
bool ReadNames(const std::string& directory, std::string& text, std::unordered_set<std::string_view>& names) {
  DIR* stream = opendir(directory.c_str());
  if (stream == nullptr) return false;
  errno = 0;
  while (const dirent* entry = readdir(stream)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      text.append(entry->d_name).push_back('\0');
    }
    errno = 0;
  }
  const bool complete = errno == 0;
  closedir(stream);
  if (!complete) return false;
  // The views are taken once the text no longer grows.
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\0', at);
    names.emplace(text.data() + at, end - at);
    at = end + 1;
  }
  return true;
}

}  // namespace

bool CPresenceCheck::IsGone(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return StatusSaysGone(path);
  const std::string_view name = std::string_view(path).substr(slash + 1);
  // "." and ".." are not kept in a listing; an empty name is the directory itself.
  if (name.empty() || name == "." || name == "..") return StatusSaysGone(path);
  const std::string_view parent = std::string_view(path).substr(0, slash + 1);
  const int listed = m_pListed != nullptr ? m_pListed->Holds(parent, name) : -1;
  if (listed == 1) return false;
  if (listed == 0) return StatusSaysGone(path);
  const Listing& listing = ListingOf(parent);
  if (listing.Complete && listing.Names.count(name) != 0) return false;
  return StatusSaysGone(path);
}

const CPresenceCheck::Listing& CPresenceCheck::ListingOf(std::string_view parent) {
  while (!m_Listings.empty() && parent.substr(0, m_Listings.back()->Directory.size()) != m_Listings.back()->Directory) {
    m_Listings.pop_back();
  }
  if (!m_Listings.empty() && m_Listings.back()->Directory == parent) return *m_Listings.back();
  auto listing = std::make_unique<Listing>();
  listing->Directory = std::string(parent);
  listing->Complete = ReadNames(listing->Directory, listing->Text, listing->Names);
  if (!listing->Complete) listing->Names.clear();
  ++m_nListings;
  m_Listings.push_back(std::move(listing));
  return *m_Listings.back();
}

}  // namespace platform
