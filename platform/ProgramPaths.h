#pragma once

#include <cstdio>
#include <string>

namespace platform {

// Directory of the running executable with a trailing '/', or "" when it cannot be read.
std::string ExecutableDirectory();
// Writes the stream's buffers and asks the kernel to put the file on disk; true on success.
bool FlushFileToDisk(std::FILE* file);

}  // namespace platform
