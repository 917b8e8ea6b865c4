#pragma once

#include <atomic>
#include <string>

#include "platform/CInotifyTree.h"

namespace testsupport {

// An add-watch that fails with ENOSPC once `allowed` watches are spent, like a kernel at its limit.
platform::CInotifyTree::AddWatchFunction LimitedAddWatch(std::atomic<int>& allowed);

// The kernel's queue length of change events when small enough to overflow in a test, else 0.
long OverflowableQueueLimit();

// Creates `count` empty files named prefix<i>suffix; each queues a creation and a close after writing.
bool TouchFiles(const std::string& prefix, const std::string& suffix, long count);

}  // namespace testsupport
