#pragma once

#include <cstdint>
#include <string>

namespace platform {

// The file's birth time in nanoseconds since 1970 (not followed when a link); false when the
// file system does not keep one or the file cannot be looked at. A rename keeps it, so it
// tells a moved file from a new one that took over a freed inode.
bool BirthTimeNs(const std::string& path, std::int64_t& nanoseconds);

}  // namespace platform
