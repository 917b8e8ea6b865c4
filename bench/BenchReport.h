#pragma once

#include <string>

namespace bench {

// One figure beside its target, PASS or MISS.
void Report(const char* figure, const std::string& value, const char* target, bool met);
// One figure with no target.
void Info(const char* figure, const std::string& value);
// A number in printf's format.
std::string Format(const char* format, double value);

}  // namespace bench
