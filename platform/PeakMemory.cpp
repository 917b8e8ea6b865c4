#include "platform/PeakMemory.h"

#include <sys/resource.h>

namespace platform {

long PeakResidentKiB() {
  struct rusage usage {};
  if (getrusage(RUSAGE_SELF, &usage) != 0) return 0;
  return usage.ru_maxrss;
}

}  // namespace platform
