#include "platform/CChildProcess.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>

#include <gtest/gtest.h>

namespace platform {
namespace {

FrameChannel::Clock::time_point In(int milliseconds) {
  return FrameChannel::Clock::now() + std::chrono::milliseconds(milliseconds);
}

// Waits (with a deadline) until the child has closed its end, i.e. has ended by itself.
void AwaitEnd(FrameChannel& channel) {
  std::string ignored;
  ASSERT_EQ(FrameChannel::Result::Closed, channel.Receive(ignored, 1024, In(10000)));
}

TEST(CChildProcessTest, ConnectedChildGetsItsChannelAsDescriptor3AndNoOtherDescriptorOfOurs) {
  const int low = open("/dev/null", O_RDONLY);
  const int leaked = fcntl(low, F_DUPFD, 10);  // deliberately without close-on-exec
  close(low);
  ASSERT_GE(leaked, 10);
  const std::string script = "[ -e /proc/self/fd/" + std::to_string(leaked) +
                             " ] && exit 7; [ -S /proc/self/fd/3 ] || exit 8; exit 0";
  CChildProcess child;
  FrameChannel channel;
  std::string error;
  ASSERT_TRUE(child.StartConnected({"/bin/sh", "-c", script}, channel, error)) << error;
  AwaitEnd(channel);
  int status = -1;
  EXPECT_EQ("exited with status 0", child.Kill(&status));
  EXPECT_EQ(0, status);
  close(leaked);

  EXPECT_FALSE(child.StartConnected({"/nonexistent/fkpdftext-helper"}, channel, error));
  EXPECT_NE(std::string::npos, error.find("No such file or directory")) << error;
  EXPECT_FALSE(child.IsRunning());
}

TEST(CChildProcessTest, FramesTravelBothWaysOversizedOrLateOnesFailAndADeadPeerIsAResultNotASignal) {
  CChildProcess echo;
  FrameChannel channel;
  std::string error;
  ASSERT_TRUE(echo.StartConnected({"/bin/sh", "-c", "exec cat <&3 >&3"}, channel, error)) << error;
  std::string reply;
  EXPECT_EQ(FrameChannel::Result::TimedOut, channel.Receive(reply, 1024, In(20)));
  const std::string payload("binary\0payload", 14);
  ASSERT_EQ(FrameChannel::Result::Ok, channel.Send(payload, In(5000)));
  ASSERT_EQ(FrameChannel::Result::Ok, channel.Receive(reply, 1024, In(5000)));
  EXPECT_EQ(payload, reply);
  ASSERT_EQ(FrameChannel::Result::Ok, channel.Send(std::string(2000, 'x'), In(5000)));
  EXPECT_EQ(FrameChannel::Result::Failed, channel.Receive(reply, 1024, In(5000)));
  EXPECT_EQ("killed by signal 9", echo.Kill());

  CChildProcess child;
  ASSERT_TRUE(child.StartConnected({"/bin/sh", "-c", "kill -SEGV $$"}, channel, error)) << error;
  AwaitEnd(channel);
  // Without MSG_NOSIGNAL this would end the test program with SIGPIPE.
  FrameChannel::Result sent = FrameChannel::Result::Ok;
  for (int i = 0; i < 100 && sent == FrameChannel::Result::Ok; ++i) {
    sent = channel.Send(std::string(65536, 'x'), In(5000));
  }
  EXPECT_EQ(FrameChannel::Result::Closed, sent);
  int signalNumber = 0;
  EXPECT_EQ("killed by signal 11", child.Kill(nullptr, &signalNumber));
  EXPECT_EQ(SIGSEGV, signalNumber);
  EXPECT_FALSE(child.IsRunning());
}

}  // namespace
}  // namespace platform
