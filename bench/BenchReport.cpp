#include "bench/BenchReport.h"

#include <cstdio>

namespace bench {

void Report(const char* figure, const std::string& value, const char* target, bool met) {
  std::printf("  %-46s %-26s %-16s %s\n", figure, value.c_str(), target, met ? "PASS" : "MISS");
}

void Info(const char* figure, const std::string& value) { std::printf("  %-46s %s\n", figure, value.c_str()); }

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace bench
