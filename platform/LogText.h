#pragma once

#include <string>

namespace platform {

// The text with its control characters (line feed, CR, TAB, the other C0 codes and DEL)
// written as \n, \r, \t or \xNN, so that a file name in a log line can neither break the
// line nor forge one of its own.
std::string EscapeControlCharacters(const std::string& text);

}  // namespace platform
