#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

namespace platform {

// Length-prefixed messages over one stream socket, owned by the channel.
// Sending never raises SIGPIPE: a vanished peer is reported as Closed.
// One thread at a time per channel.
class FrameChannel {
 public:
  enum class Result { Ok, Closed, TimedOut, Failed, Aborted };
  using Clock = std::chrono::steady_clock;

  explicit FrameChannel(int fd = -1) : m_nFd(fd) {}
  ~FrameChannel();
  FrameChannel(const FrameChannel&) = delete;
  FrameChannel& operator=(const FrameChannel&) = delete;

  void Reset(int fd);  // closes the present socket, takes fd
  bool IsOpen() const { return m_nFd >= 0; }
  // Every wait ends with Aborted once abortFd (not owned; -1: none) polls readable.
  void SetAbortFd(int abortFd) { m_nAbortFd = abortFd; }
  // While a wait lasts, keepWaiting is asked at least every intervalMs; false ends the wait
  // with TimedOut. An empty function asks nothing.
  void SetWatch(std::function<bool()> keepWaiting, int intervalMs);

  Result Send(const std::string& payload, Clock::time_point deadline = Clock::time_point::max());
  // A frame longer than maxSize fails the channel (its peer is not to be trusted).
  Result Receive(std::string& payload, std::size_t maxSize,
                 Clock::time_point deadline = Clock::time_point::max());
  // Hands an open descriptor to the peer (a copy: the caller still closes its own), sent after
  // the frame it belongs to; the peer takes it with ReceiveDescriptor after that frame.
  Result SendDescriptor(int fd, Clock::time_point deadline = Clock::time_point::max());
  Result ReceiveDescriptor(int& fd, Clock::time_point deadline = Clock::time_point::max());

 private:
  Result WaitFor(short events, Clock::time_point deadline);
  Result ReadExactly(char* buffer, std::size_t size, Clock::time_point deadline);
  Result WriteAll(const char* buffer, std::size_t size, Clock::time_point deadline);

  int m_nFd = -1;
  int m_nAbortFd = -1;
  std::function<bool()> m_KeepWaiting;
  std::chrono::milliseconds m_WatchInterval{0};
  Clock::time_point m_NextWatch;
};

}  // namespace platform
