#include "testsupport/NotifySocket.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace testsupport {

NotifySocket::NotifySocket(const std::string& path) : m_strPath(path) {
  sockaddr_un address{};
  if (path.size() >= sizeof(address.sun_path)) return;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  unlink(path.c_str());
  m_nFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (m_nFd >= 0 && bind(m_nFd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    close(m_nFd);
    m_nFd = -1;
  }
}

NotifySocket::~NotifySocket() {
  if (m_nFd < 0) return;
  close(m_nFd);
  unlink(m_strPath.c_str());
}

int NotifySocket::TakeWatchdogPings() {
  int pings = 0;
  char buffer[4096];
  ssize_t got = 0;
  while (m_nFd >= 0 && (got = recv(m_nFd, buffer, sizeof buffer, 0)) >= 0) {
    const std::string datagram(buffer, static_cast<size_t>(got));
    pings += datagram.find("WATCHDOG=1") != std::string::npos ? 1 : 0;
    if (datagram.rfind("STATUS=", 0) == 0) m_strLastStatus = datagram.substr(7);
  }
  return pings;
}

}  // namespace testsupport
