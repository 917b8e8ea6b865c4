#include "platform/ChildProcess.h"

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace platform {
namespace {

using Clock = FrameChannel::Clock;

Clock::time_point In(int milliseconds) { return Clock::now() + std::chrono::milliseconds(milliseconds); }

// Waits (with a deadline) until the child has closed its end, i.e. has ended by itself.
void AwaitEnd(ChildProcess& child) {
  std::string ignored;
  ASSERT_EQ(FrameChannel::Result::Closed, child.Channel().Receive(ignored, 1024, In(10000)));
}

TEST(ChildProcessTest, ChildGetsItsChannelAsDescriptor3AndNoOtherDescriptorOfOurs) {
  int low = open("/dev/null", O_RDONLY);
  int leaked = fcntl(low, F_DUPFD, 10);  // deliberately without close-on-exec
  close(low);
  ASSERT_GE(leaked, 10);
  std::string script = "[ -e /proc/self/fd/" + std::to_string(leaked) +
                       " ] && exit 7; [ -S /proc/self/fd/3 ] || exit 8; exit 0";
  ChildProcess child;
  std::string error;
  ASSERT_TRUE(child.Start("/bin/sh", {"-c", script}, error)) << error;
  AwaitEnd(child);
  int status = -1;
  EXPECT_EQ("exited with status 0", child.Stop(&status));
  EXPECT_EQ(0, status);
  close(leaked);
}

TEST(ChildProcessTest, FramesTravelBothWaysAndOversizedOrLateOnesFail) {
  ChildProcess echo;
  std::string error;
  ASSERT_TRUE(echo.Start("/bin/sh", {"-c", "exec cat <&3 >&3"}, error)) << error;
  std::string reply;
  EXPECT_EQ(FrameChannel::Result::TimedOut, echo.Channel().Receive(reply, 1024, In(20)));
  std::string payload("binary\0payload", 14);
  ASSERT_EQ(FrameChannel::Result::Ok, echo.Channel().Send(payload, In(5000)));
  ASSERT_EQ(FrameChannel::Result::Ok, echo.Channel().Receive(reply, 1024, In(5000)));
  EXPECT_EQ(payload, reply);
  ASSERT_EQ(FrameChannel::Result::Ok, echo.Channel().Send(std::string(2000, 'x'), In(5000)));
  EXPECT_EQ(FrameChannel::Result::Failed, echo.Channel().Receive(reply, 1024, In(5000)));
  EXPECT_EQ("killed by signal 9", echo.Stop());
}

TEST(ChildProcessTest, WritingToADeadChildIsAResultNotASignal) {
  ChildProcess child;
  std::string error;
  ASSERT_TRUE(child.Start("/bin/sh", {"-c", "kill -SEGV $$"}, error)) << error;
  AwaitEnd(child);
  // Without MSG_NOSIGNAL this would end the test program with SIGPIPE.
  FrameChannel::Result sent = FrameChannel::Result::Ok;
  for (int i = 0; i < 100 && sent == FrameChannel::Result::Ok; ++i) {
    sent = child.Channel().Send(std::string(65536, 'x'), In(5000));
  }
  EXPECT_EQ(FrameChannel::Result::Closed, sent);
  int signalNumber = 0;
  EXPECT_EQ("killed by signal 11", child.Stop(nullptr, &signalNumber));
  EXPECT_EQ(SIGSEGV, signalNumber);
  EXPECT_FALSE(child.IsRunning());
}

TEST(ChildProcessTest, MissingProgramIsReportedNotStarted) {
  ChildProcess child;
  std::string error;
  EXPECT_FALSE(child.Start("/nonexistent/fkpdftext-helper", {}, error));
  EXPECT_NE(std::string::npos, error.find("No such file or directory")) << error;
  EXPECT_FALSE(child.IsRunning());
}

}  // namespace
}  // namespace platform
