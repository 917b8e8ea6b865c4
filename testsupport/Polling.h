#pragma once

#include <functional>

namespace testsupport {

// Checks condition every few milliseconds until it holds or timeoutMs have passed; true when it held.
bool PollUntil(const std::function<bool()>& condition, int timeoutMs);

}  // namespace testsupport
