#include "platform/FrameChannel.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
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

void FrameChannel::SetWatch(std::function<bool()> keepWaiting, int intervalMs) {
  m_KeepWaiting = std::move(keepWaiting);
  m_WatchInterval = std::chrono::milliseconds(intervalMs > 0 ? intervalMs : 1);
  m_NextWatch = Clock::now() + m_WatchInterval;
}

namespace {

// A message of one data byte with room for one descriptor beside it.
msghdr DescriptorMessage(iovec& data, char* control, std::size_t controlSize) {
  msghdr message{};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = controlSize;
  return message;
}

}  // namespace

// The descriptor rides on one byte of its own, so that no plain read of a frame can take it.
FrameChannel::Result FrameChannel::SendDescriptor(int fd, Clock::time_point deadline) {
  if (m_nFd < 0) return Result::Closed;
  char byte = 'F';
  iovec data = {&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message = DescriptorMessage(data, control, sizeof control);
  cmsghdr* header = CMSG_FIRSTHDR(&message);
  header->cmsg_level = SOL_SOCKET;
  header->cmsg_type = SCM_RIGHTS;
  header->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(header), &fd, sizeof(int));
  for (;;) {
    Result ready = WaitFor(POLLOUT, deadline);
    if (ready != Result::Ok) return ready;
    if (sendmsg(m_nFd, &message, MSG_NOSIGNAL) == 1) return Result::Ok;
    if (errno == EINTR || errno == EAGAIN) continue;
    return errno == EPIPE || errno == ECONNRESET ? Result::Closed : Result::Failed;
  }
}

FrameChannel::Result FrameChannel::ReceiveDescriptor(int& fd, Clock::time_point deadline) {
  fd = -1;
  if (m_nFd < 0) return Result::Closed;
  char byte = 0;
  iovec data = {&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message = DescriptorMessage(data, control, sizeof control);
  for (;;) {
    Result ready = WaitFor(POLLIN, deadline);
    if (ready != Result::Ok) return ready;
    ssize_t got = recvmsg(m_nFd, &message, MSG_CMSG_CLOEXEC);
    if (got == 0) return Result::Closed;
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got < 0) return errno == ECONNRESET ? Result::Closed : Result::Failed;
    break;
  }
  cmsghdr* header = CMSG_FIRSTHDR(&message);
  if (header == nullptr || header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS ||
      header->cmsg_len != CMSG_LEN(sizeof(int)) || (message.msg_flags & MSG_CTRUNC) != 0) {
    return Result::Failed;
  }
  std::memcpy(&fd, CMSG_DATA(header), sizeof(int));
  if (byte == 'F') return Result::Ok;
  close(fd);
  fd = -1;
  return Result::Failed;
}

FrameChannel::Result FrameChannel::WaitFor(short events, Clock::time_point deadline) {
  for (;;) {
    // The watch is asked by the clock, not only when the peer is silent: a peer that trickles
    // bytes for ever must not escape it.
    if (m_KeepWaiting && Clock::now() >= m_NextWatch) {
      m_NextWatch = Clock::now() + m_WatchInterval;
      if (!m_KeepWaiting()) return Result::TimedOut;
    }
    Clock::time_point until = deadline;
    if (m_KeepWaiting && m_NextWatch < until) until = m_NextWatch;
    int timeoutMs = -1;
    if (until != Clock::time_point::max()) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
      if (left.count() < 0) left = std::chrono::milliseconds(0);
      timeoutMs = left.count() > INT32_MAX ? INT32_MAX : static_cast<int>(left.count());
    }
    pollfd entries[2] = {{m_nFd, events, 0}, {m_nAbortFd, POLLIN, 0}};
    const int ready = poll(entries, m_nAbortFd >= 0 ? 2 : 1, timeoutMs);
    if (ready < 0 && errno != EINTR) return Result::Failed;
    if (m_nAbortFd >= 0 && ready > 0 && (entries[1].revents & POLLIN) != 0) return Result::Aborted;
    if (ready > 0) return Result::Ok;  // errors and hang-ups show in the read or write that follows
    if (ready == 0 && Clock::now() >= deadline) return Result::TimedOut;
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
