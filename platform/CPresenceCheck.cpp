#include "platform/CPresenceCheck.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>

namespace platform {

namespace {

bool StatusSaysGone(const std::string& path) {
  struct stat status {};
  if (lstat(path.c_str(), &status) == 0) return false;
  return errno == ENOENT || errno == ENOTDIR;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// The directory's names but "." and ".."; false when it cannot be read to its end.
bool ReadNames(const std::string& directory, std::unordered_set<std::string>& names) {
  DIR* stream = opendir(directory.c_str());
  if (stream == nullptr) return false;
  errno = 0;
  while (const dirent* entry = readdir(stream)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) names.insert(entry->d_name);
    errno = 0;
  }
  const bool complete = errno == 0;
  closedir(stream);
  return complete;
}

}  // namespace

bool CPresenceCheck::IsGone(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return StatusSaysGone(path);
  const std::string name = path.substr(slash + 1);
  // "." and ".." are not kept in a listing; an empty name is the directory itself.
  if (name.empty() || name == "." || name == "..") return StatusSaysGone(path);
  const Listing& listing = ListingOf(path.substr(0, slash + 1));
  if (listing.Complete && listing.Names.count(name) != 0) return false;
  return StatusSaysGone(path);
}

const CPresenceCheck::Listing& CPresenceCheck::ListingOf(const std::string& parent) {
  while (!m_Listings.empty() && !StartsWith(parent, m_Listings.back().Directory)) m_Listings.pop_back();
  if (!m_Listings.empty() && m_Listings.back().Directory == parent) return m_Listings.back();
  m_Listings.emplace_back();
  Listing& listing = m_Listings.back();
  listing.Directory = parent;
  listing.Complete = ReadNames(parent, listing.Names);
  if (!listing.Complete) listing.Names.clear();
  ++m_nListings;
  return listing;
}

}  // namespace platform
