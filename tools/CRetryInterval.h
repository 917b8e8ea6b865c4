#pragma once

#include <algorithm>
#include <cstdint>

// The wait before a try of something that must wait (a locked document, one the PDF helper
// could not read yet): the first interval, twice as long at each later try, never longer than
// the longest. There is no last try. Plain value, any unit; any thread.
struct CRetryInterval {
  std::int64_t nFirst = 1;
  std::int64_t nLongest = 1;

  // attempts: the tries that failed so far (1 for the wait after the first failure).
  std::int64_t After(int attempts) const {
    const std::int64_t longest = std::max<std::int64_t>(1, nLongest);
    std::int64_t interval = std::max<std::int64_t>(1, nFirst);
    for (int i = 1; i < attempts && interval < longest; ++i) interval *= 2;
    return std::min(interval, longest);
  }
};
