#include "platform/CAbortSignal.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace platform {

CAbortSignal::CAbortSignal() : m_nFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CAbortSignal::~CAbortSignal() {
  if (m_nFd >= 0) close(m_nFd);
}

// The counter is never read back, so the descriptor stays readable for every later poll.
void CAbortSignal::Raise() {
  if (m_nFd < 0) return;
  const std::uint64_t one = 1;
  (void)!write(m_nFd, &one, sizeof one);
}

bool CAbortSignal::IsRaised() const {
  if (m_nFd < 0) return false;
  pollfd entry = {m_nFd, POLLIN, 0};
  return poll(&entry, 1, 0) > 0;
}

}  // namespace platform
