#pragma once

#include <string>

namespace platform {

// The text of an errno value ("No such file or directory"), thread-safe.
std::string ErrnoText(int err);

}  // namespace platform
