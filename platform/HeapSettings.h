#pragma once

namespace platform {

// Makes the C library keep freed memory for the next allocations instead of handing it back
// to the system after every document (a madvise or trim per file in a long walk), up to a
// bounded amount. Call once at the start of a program, before its threads start.
void KeepFreedMemoryForReuse();

}  // namespace platform
