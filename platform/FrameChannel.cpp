#include "platform/FrameChannel.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

FrameChannel::~FrameChannel() { Reset(-1); }

void FrameChannel::Reset(int fd) {
  if (m_nFd >= 0) close(m_nFd);
  m_nFd = fd;
}

FrameChannel::Result FrameChannel::Send(const std::string& payload, Clock::time_point deadline) {
  if (payload.size() > UINT32_MAX) return Result::Failed;
  std::uint32_t length = static_cast<std::uint32_t>(payload.size());
  std::string frame(reinterpret_cast<const char*>(&length), sizeof length);
  frame += payload;
  return WriteAll(frame.data(), frame.size(), deadline);
}

FrameChannel::Result FrameChannel::Receive(std::string& payload, std::size_t maxSize,
                                           Clock::time_point deadline) {
  std::uint32_t length = 0;
  Result result = ReadExactly(reinterpret_cast<char*>(&length), sizeof length, deadline);
  if (result != Result::Ok) return result;
  if (length > maxSize) return Result::Failed;
  payload.assign(length, '\0');
  return length == 0 ? Result::Ok : ReadExactly(&payload[0], length, deadline);
}

FrameChannel::Result FrameChannel::WaitFor(short events, Clock::time_point deadline) {
  for (;;) {
    int timeoutMs = -1;
    if (deadline != Clock::time_point::max()) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return Result::TimedOut;
      timeoutMs = left.count() > INT32_MAX ? INT32_MAX : static_cast<int>(left.count());
    }
    pollfd entry = {m_nFd, events, 0};
    int ready = poll(&entry, 1, timeoutMs);
    if (ready > 0) return Result::Ok;  // errors and hang-ups show in the read or write that follows
    if (ready == 0) return Result::TimedOut;
    if (errno != EINTR) return Result::Failed;
  }
}

FrameChannel::Result FrameChannel::ReadExactly(char* buffer, std::size_t size,
                                               Clock::time_point deadline) {
  if (m_nFd < 0) return Result::Closed;
  std::size_t done = 0;
  while (done < size) {
    Result ready = WaitFor(POLLIN, deadline);
    if (ready != Result::Ok) return ready;
    ssize_t got = recv(m_nFd, buffer + done, size - done, 0);
    if (got == 0) return Result::Closed;
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return errno == ECONNRESET ? Result::Closed : Result::Failed;
    }
    done += static_cast<std::size_t>(got);
  }
  return Result::Ok;
}

FrameChannel::Result FrameChannel::WriteAll(const char* buffer, std::size_t size,
                                            Clock::time_point deadline) {
  if (m_nFd < 0) return Result::Closed;
  std::size_t done = 0;
  while (done < size) {
    Result ready = WaitFor(POLLOUT, deadline);
    if (ready != Result::Ok) return ready;
    // MSG_NOSIGNAL: a peer that died must not kill this process with SIGPIPE.
    ssize_t sent = send(m_nFd, buffer + done, size - done, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return errno == EPIPE || errno == ECONNRESET ? Result::Closed : Result::Failed;
    }
    done += static_cast<std::size_t>(sent);
  }
  return Result::Ok;
}

}  // namespace platform
