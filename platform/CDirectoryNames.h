#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <map>
#include <vector>

#include "platform/CDirectoryListing.h"

namespace platform {

// The names that directories held when a walk listed them, kept for the cleaner of the same
// pass so that it does not list them again. A name kept here was there when it was listed; a
// name missing may have come since, so an absence alone never says a file is gone (see
// CPresenceCheck). Only directories listed to their end are kept. One thread.
class CDirectoryNames {
 public:
  // Keeps those entries of the directory (ending with '/') whose names `keep` accepts.
  void Add(const std::string& directory, const std::vector<CDirectoryListing::Entry>& entries,
           bool (*keep)(std::string_view name));
  // 1: the directory was listed with the name; 0: listed without it; -1: not listed.
  int Holds(std::string_view directory, std::string_view name) const;
  size_t GetDirectoryCount() const { return m_Directories.size(); }

 private:
  struct Key {
    std::size_t Hash;
    std::uint32_t Offset;  // where the name begins in Text
  };
  struct Names {
    std::string Text;       // the names, each ended by a zero byte
    std::vector<Key> Keys;  // by hash
  };
  std::map<std::string, Names, std::less<>> m_Directories;
  // The directory asked about last (null: none), with its names.
  mutable const Names* m_pLast = nullptr;
  mutable std::string m_LastDirectory;
};

}  // namespace platform
