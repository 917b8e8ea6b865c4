#pragma once

#include <string>

namespace testsupport {

// Stands in for systemd's notification socket: a service started with NOTIFY_SOCKET set to
// Path() sends its "READY=1", "WATCHDOG=1"... datagrams here. Test thread only.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path);
  ~NotifySocket();
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  bool IsOpen() const { return m_nFd >= 0; }
  const std::string& Path() const { return m_strPath; }
  // Reads every datagram waiting now; the number of them holding "WATCHDOG=1".
  int TakeWatchdogPings();
  // The text of the last "STATUS=" datagram taken so far.
  const std::string& LastStatus() const { return m_strLastStatus; }

 private:
  std::string m_strPath;
  int m_nFd = -1;
  std::string m_strLastStatus;
};

}  // namespace testsupport
