#include "platform/HeapSettings.h"

#include <malloc.h>

namespace platform {

namespace {

constexpr int kTrimThresholdBytes = 16 << 20;
// Fixed, so that glibc does not raise it after large texts; still large enough that a
// document's buffers come from the heap, not from a mapping of their own.
constexpr int kMmapThresholdBytes = 4 << 20;

}  // namespace

void KeepFreedMemoryForReuse() {
  mallopt(M_TRIM_THRESHOLD, kTrimThresholdBytes);
  mallopt(M_MMAP_THRESHOLD, kMmapThresholdBytes);
}

}  // namespace platform
