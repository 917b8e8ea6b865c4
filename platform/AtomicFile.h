#pragma once

#include <string>

namespace platform {

// Replaces the file at path with content so that a reader sees the old file or the new one,
// never a part: a temporary file in the same directory, written, flushed to disk, renamed over.
// False with why set (the path and the reason) on failure; the temporary file is then removed.
bool WriteFileAtomically(const std::string& path, const std::string& content, std::string& why);

}  // namespace platform
