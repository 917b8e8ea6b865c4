#include "platform/CStopSignalWatcher.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace platform {

namespace {

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

}  // namespace

CStopSignalWatcher::~CStopSignalWatcher() { Stop(); }

bool CStopSignalWatcher::BlockStopSignals() {
  const sigset_t set = StopSignals();
  return pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

bool CStopSignalWatcher::Start(std::function<void(int)> handler, std::function<void()> hangUp) {
  const sigset_t set = StopSignals();
  m_nSignalFd = signalfd(-1, &set, SFD_CLOEXEC);
  m_nWakeFd = eventfd(0, EFD_CLOEXEC);
  if (m_nSignalFd < 0 || m_nWakeFd < 0) {
    Stop();
    return false;
  }
  m_Handler = std::move(handler);
  m_HangUp = std::move(hangUp);
  m_Thread = std::thread([this] { Watch(); });
  return true;
}

void CStopSignalWatcher::Stop() {
  if (m_Thread.joinable()) {
    const std::uint64_t one = 1;
    if (write(m_nWakeFd, &one, sizeof(one)) < 0) {
      // An eventfd write only fails on counter overflow; the thread is awake anyway.
    }
    m_Thread.join();
  }
  if (m_nSignalFd >= 0) close(m_nSignalFd);
  if (m_nWakeFd >= 0) close(m_nWakeFd);
  m_nSignalFd = m_nWakeFd = -1;
}

void CStopSignalWatcher::Watch() {
  pollfd fds[2] = {{m_nSignalFd, POLLIN, 0}, {m_nWakeFd, POLLIN, 0}};
  for (;;) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    signalfd_siginfo info{};
    if (read(m_nSignalFd, &info, sizeof(info)) != sizeof(info)) continue;
    // A hang-up only asks to read the settings again: the process goes on.
    if (info.ssi_signo == SIGHUP) {
      if (m_HangUp) m_HangUp();
      continue;
    }
    m_Handler(static_cast<int>(info.ssi_signo));
    return;
  }
}

}  // namespace platform
