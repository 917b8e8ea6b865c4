#pragma once

#include <string>

namespace platform {

// Whether some process holds a lock (flock) on the existing file at path, as CNamedFileLock
// takes it. Never creates the file: a missing file is not held. The probe takes a shared lock
// for an instant, so a process that tries to lock at that very instant is refused once.
enum class LockState { Free, Held, Missing, Unknown };
LockState ProbeFileLock(const std::string& path, std::string& why);

}  // namespace platform
