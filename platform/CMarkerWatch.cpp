#include "platform/CMarkerWatch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace platform {

CMarkerWatch::CMarkerWatch(const std::string& directory, std::string name, bool changes)
    : m_strName(std::move(name)) {
  m_nWakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  m_nInotifyFd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (m_nInotifyFd >= 0) {
    const std::uint32_t mask = IN_CREATE | IN_MOVED_TO | (changes ? IN_CLOSE_WRITE | IN_DELETE | IN_MOVED_FROM : 0);
    m_nWatch = inotify_add_watch(m_nInotifyFd, directory.c_str(), mask | IN_ONLYDIR);
  }
  if (m_nWakeFd < 0 && m_nInotifyFd >= 0) {
    close(m_nInotifyFd);
    m_nInotifyFd = -1;
  }
}

CMarkerWatch::~CMarkerWatch() {
  if (m_nInotifyFd >= 0) close(m_nInotifyFd);
  if (m_nWakeFd >= 0) close(m_nWakeFd);
}

void CMarkerWatch::Interrupt() {
  if (m_nWakeFd < 0) return;
  const std::uint64_t one = 1;
  // A full counter already wakes the waiter: nothing is lost when the write fails.
  ssize_t written = write(m_nWakeFd, &one, sizeof one);
  (void)written;
}

bool CMarkerWatch::Wait(int milliseconds) {
  if (!IsWatching()) return false;
  pollfd fds[2] = {{m_nInotifyFd, POLLIN, 0}, {m_nWakeFd, POLLIN, 0}};
  const int ready = poll(fds, 2, milliseconds < 0 ? 0 : milliseconds);
  if (ready < 0) return errno == EINTR;
  if (ready == 0) return false;
  bool result = false;
  if (fds[1].revents != 0) {
    std::uint64_t count = 0;
    ssize_t read_ = read(m_nWakeFd, &count, sizeof count);
    (void)read_;
    result = true;
  }
  if (fds[0].revents != 0 && Drain()) result = true;
  return result;
}

bool CMarkerWatch::Drain() {
  alignas(inotify_event) char buffer[4096];
  bool concerned = false;
  for (;;) {
    const ssize_t length = read(m_nInotifyFd, buffer, sizeof buffer);
    if (length <= 0) break;
    for (ssize_t offset = 0; offset < length;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
      if (event->mask & (IN_IGNORED | IN_Q_OVERFLOW)) {
        // The directory went away (the caller looks for itself from now on), or events were lost.
        if (event->mask & IN_IGNORED) m_nWatch = -1;
        concerned = true;
      } else if (event->len > 0 && m_strName == event->name) {
        concerned = true;
      }
      offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  return concerned;
}

}  // namespace platform
