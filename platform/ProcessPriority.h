#pragma once

namespace platform {

// Scheduling priority of the whole process: 0 (LOW) lowers it, 2 (HIGH) raises it where the
// process is permitted to (a refusal is ignored), any other value leaves it. Applied to every
// current thread; threads started later inherit it from their creator. True when applied.
bool SetProcessPriority(int priority);
// Binds every thread of the process to the first processor of its allowed set.
bool BindProcessToFirstProcessor();
// How many processors the calling thread may run on (1 when it cannot be told).
int UsableProcessorCount();

}  // namespace platform
