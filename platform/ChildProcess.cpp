#include "platform/ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/ErrnoText.h"

extern char** environ;

namespace platform {
namespace {

// Actions that give the child /dev/null in and out, our stderr, its end of the socket as
// descriptor 3 and nothing else; whatever other code of the service opened stays here.
void PrepareDescriptors(posix_spawn_file_actions_t& actions, int childEnd) {
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, childEnd, ChildProcess::kChildChannelFd);
  posix_spawn_file_actions_addclosefrom_np(&actions, ChildProcess::kChildChannelFd + 1);
}

// Threads of the service may block or ignore signals; the child must start clean so that its
// own alarm and crashes act as usual.
void PrepareSignals(posix_spawnattr_t& attributes) {
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int signalNumber : {SIGPIPE, SIGALRM, SIGSEGV, SIGBUS, SIGABRT, SIGTERM, SIGINT, SIGHUP,
                           SIGCHLD, SIGUSR1, SIGUSR2}) {
    sigaddset(&defaults, signalNumber);
  }
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
}

// dup2 onto the same number would keep close-on-exec set, so the child's end never sits on 3.
int ChildEndAboveChannelFd(int fd) {
  if (fd > ChildProcess::kChildChannelFd) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, ChildProcess::kChildChannelFd + 1);
  close(fd);
  return moved;
}

}  // namespace

ChildProcess::~ChildProcess() {
  if (IsRunning()) Stop();
}

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& args,
                         std::string& error) {
  if (IsRunning()) Stop();
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    error = "cannot create a socket pair: " + ErrnoText(errno);
    return false;
  }
  int childEnd = ChildEndAboveChannelFd(ends[1]);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  PrepareDescriptors(actions, childEnd);
  PrepareSignals(attributes);
  pid_t pid = -1;
  int rc = childEnd < 0 ? errno
                        : posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (childEnd >= 0) close(childEnd);
  if (rc != 0) {
    close(ends[0]);
    error = "cannot start " + program + ": " + ErrnoText(rc);
    return false;
  }
  m_nPid = pid;
  m_Channel.Reset(ends[0]);
  return true;
}

std::string ChildProcess::Stop(int* exitStatus, int* terminatingSignal) {
  m_Channel.Reset(-1);
  if (m_nPid <= 0) return "not running";
  // A child that already ended keeps its own status; SIGKILL only ends a live one.
  kill(m_nPid, SIGKILL);
  int status = 0;
  pid_t reaped;
  do {
    reaped = waitpid(m_nPid, &status, 0);
  } while (reaped < 0 && errno == EINTR);
  m_nPid = -1;
  if (exitStatus) *exitStatus = reaped > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (terminatingSignal) *terminatingSignal = reaped > 0 && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  if (reaped < 0) return "ended (status unknown: " + ErrnoText(errno) + ")";
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  return "exited with status " + std::to_string(WEXITSTATUS(status));
}

namespace ChildSelf {

bool LimitAddressSpace(unsigned long long bytes) {
  rlimit limit = {static_cast<rlim_t>(bytes), static_cast<rlim_t>(bytes)};
  return setrlimit(RLIMIT_AS, &limit) == 0;
}

void AlarmAfter(unsigned seconds) { alarm(seconds); }

void IgnoreBrokenPipe() { signal(SIGPIPE, SIG_IGN); }

void RaiseSignal(int signalNumber) {
  signal(signalNumber, SIG_DFL);
  raise(signalNumber);
}

void SleepSeconds(unsigned seconds) {
  while (seconds > 0) seconds = sleep(seconds);
}

void ExitNow(int status) { _exit(status); }

}  // namespace ChildSelf
}  // namespace platform
