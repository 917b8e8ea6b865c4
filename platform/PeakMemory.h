#pragma once

namespace platform {

// The largest resident set this process has had so far, in KiB (getrusage ru_maxrss).
long PeakResidentKiB();

}  // namespace platform
