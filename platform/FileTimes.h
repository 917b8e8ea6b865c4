#pragma once

#include <cstdint>
#include <string>

namespace platform {

// The time a file last arrived or changed, in whole seconds since 1970: the later of its
// modification time and its status-change time (set by creation, copy-in, rename and
// metadata changes). False when the file cannot be read (errorText says why).
bool GetArrivalTime(const std::string& path, std::int64_t& seconds, std::string& errorText);
// The same for name relative to an open directory (a descriptor from this folder's helpers).
bool GetArrivalTimeAt(int directoryFd, const std::string& name, std::int64_t& seconds, std::string& errorText);

}  // namespace platform
