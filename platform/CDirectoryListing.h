#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// One directory held open for a walk: its entries with their kinds, mostly as the listing
// itself tells them, and the times of its files read relative to the open directory, so no
// full path is resolved again. One thread; the object closes the directory.
class CDirectoryListing {
 public:
  // A symbolic link is Other whatever it points to, as are FIFOs, devices and sockets.
  enum class Kind { Directory, File, Other };
  struct Entry {
    std::string Name;
    Kind Type;
  };

  explicit CDirectoryListing(const std::string& directory);
  ~CDirectoryListing();
  CDirectoryListing(const CDirectoryListing&) = delete;
  CDirectoryListing& operator=(const CDirectoryListing&) = delete;

  // Every entry but "." and "..", in the order the system gives them; false (errorText set)
  // when the directory cannot be opened or read to its end.
  bool Read(std::vector<Entry>& entries, std::string& errorText);
  // GetArrivalTime (platform/FileTimes.h) of an entry of this directory.
  bool GetArrivalTime(const std::string& name, std::int64_t& seconds, std::string& errorText) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_pImpl;
};

}  // namespace platform
