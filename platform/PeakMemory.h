#pragma once

namespace platform {

// The largest resident set this process has had so far, in KiB (getrusage ru_maxrss).
long PeakResidentKiB();
// The processor time (user and system) this process has used so far, in seconds.
double ProcessCpuSeconds();

}  // namespace platform
