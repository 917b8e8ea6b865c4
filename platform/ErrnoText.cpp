#include "platform/ErrnoText.h"

#include <cstring>

namespace platform {

std::string ErrnoText(int err) {
  char buffer[256];
  // The GNU strerror_r may return a static string instead of filling the buffer.
  const char* text = strerror_r(err, buffer, sizeof buffer);
  return text ? std::string(text) : std::string();
}

}  // namespace platform
