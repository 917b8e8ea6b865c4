#include "platform/CChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/ErrnoText.h"

extern char** environ;

namespace platform {
namespace {

std::vector<std::string> MergedEnvironment(const std::map<std::string, std::string>& extraEnv) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    if (extraEnv.count(text.substr(0, text.find('='))) == 0) result.push_back(text);
  }
  for (const auto& [name, value] : extraEnv) result.push_back(name + "=" + value);
  return result;
}

std::vector<char*> Pointers(const std::vector<std::string>& texts) {
  std::vector<char*> result;
  for (const std::string& text : texts) result.push_back(const_cast<char*>(text.c_str()));
  result.push_back(nullptr);
  return result;
}

// Descriptor moves for the child, applied in the order they are added.
class FileActions {
 public:
  FileActions() { posix_spawn_file_actions_init(&m_Actions); }
  ~FileActions() { posix_spawn_file_actions_destroy(&m_Actions); }
  posix_spawn_file_actions_t* Get() { return &m_Actions; }

 private:
  posix_spawn_file_actions_t m_Actions;
};

// Threads of the service or the test runner may block or ignore signals; the child must start
// clean so that its own alarm, crashes and stop signals act as usual.
void ResetSignals(posix_spawnattr_t& attributes) {
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int signalNumber : {SIGPIPE, SIGALRM, SIGPROF, SIGSEGV, SIGBUS, SIGABRT, SIGTERM, SIGINT, SIGHUP,
                           SIGCHLD, SIGUSR1, SIGUSR2}) {
    sigaddset(&defaults, signalNumber);
  }
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
}

// Starts argv[0]; 0 and pid set, or the error number.
int Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
          posix_spawn_file_actions_t* actions, int& pid) {
  if (argv.empty()) return EINVAL;
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  ResetSignals(attributes);
  std::vector<char*> argPointers = Pointers(argv);
  std::vector<char*> envPointers = Pointers(env);
  pid_t child = 0;
  const int rc = posix_spawn(&child, argv[0].c_str(), actions, &attributes, argPointers.data(),
                             envPointers.data());
  posix_spawnattr_destroy(&attributes);
  if (rc == 0) pid = static_cast<int>(child);
  return rc;
}

std::vector<std::string> OwnEnvironment() { return MergedEnvironment({}); }

// dup2 onto the same number would keep close-on-exec set, so the child's end never sits on 3.
int ChildEndAboveChannelFd(int fd) {
  if (fd > CChildProcess::kChildChannelFd) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, CChildProcess::kChildChannelFd + 1);
  const int saved = errno;
  close(fd);
  errno = saved;
  return moved;
}

// The child gets /dev/null as input and output, our standard error, its end of the socket as
// descriptor 3 and nothing else: whatever other code of the service opened stays here.
int SpawnWithChannel(const std::vector<std::string>& argv, int childEnd, int& pid) {
  FileActions actions;
  posix_spawn_file_actions_addopen(actions.Get(), 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(actions.Get(), 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(actions.Get(), childEnd, CChildProcess::kChildChannelFd);
  posix_spawn_file_actions_addclosefrom_np(actions.Get(), CChildProcess::kChildChannelFd + 1);
  return Spawn(argv, OwnEnvironment(), actions.Get(), pid);
}

int ReapBlocking(int pid, int& status) {
  pid_t reaped;
  do {
    reaped = waitpid(pid, &status, 0);
  } while (reaped < 0 && errno == EINTR);
  return static_cast<int>(reaped);
}

std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  lseek(fd, 0, SEEK_SET);
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return text;
    }
  }
}

int TempFile() {
  char name[] = "/tmp/fk_child_XXXXXX";
  const int fd = mkstemp(name);
  if (fd >= 0) unlink(name);
  return fd;
}

}  // namespace

CChildProcess::~CChildProcess() { Kill(); }

bool CChildProcess::Start(const std::vector<std::string>& argv,
                          const std::map<std::string, std::string>& extraEnv) {
  if (IsRunning()) return false;
  return Spawn(argv, MergedEnvironment(extraEnv), nullptr, m_nPid) == 0;
}

bool CChildProcess::StartConnected(const std::vector<std::string>& argv, FrameChannel& channel,
                                   std::string& error) {
  if (IsRunning()) Kill();
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    error = "cannot create a socket pair: " + ErrnoText(errno);
    return false;
  }
  const int childEnd = ChildEndAboveChannelFd(ends[1]);
  const int rc = childEnd < 0 ? errno : SpawnWithChannel(argv, childEnd, m_nPid);
  if (childEnd >= 0) close(childEnd);
  if (rc != 0) {
    close(ends[0]);
    error = "cannot start " + (argv.empty() ? std::string() : argv[0]) + ": " + ErrnoText(rc);
    return false;
  }
  channel.Reset(ends[0]);
  return true;
}

bool CChildProcess::Fork(const std::function<int()>& body) {
  if (IsRunning()) return false;
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid > 0) {
    m_nPid = static_cast<int>(pid);
    return true;
  }
  int status = 1;
  try {
    status = body();
  } catch (...) {
    status = 1;
  }
  _exit(status);
}

long long CChildProcess::CpuMilliseconds() const {
  if (!IsRunning()) return -1;
  std::ifstream stat("/proc/" + std::to_string(m_nPid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return -1;
  // The name in parentheses may hold spaces and ')': the fields are counted after its last ')'.
  const std::string::size_type nameEnd = line.rfind(')');
  if (nameEnd == std::string::npos) return -1;
  std::istringstream fields(line.substr(nameEnd + 1));
  std::string skipped;
  for (int field = 3; field <= 13; ++field) fields >> skipped;  // state .. cmajflt
  unsigned long long userTicks = 0;
  unsigned long long systemTicks = 0;
  if (!(fields >> userTicks >> systemTicks)) return -1;
  const long ticksPerSecond = sysconf(_SC_CLK_TCK);
  if (ticksPerSecond <= 0) return -1;
  return static_cast<long long>((userTicks + systemTicks) * 1000ULL / static_cast<unsigned long long>(ticksPerSecond));
}

bool CChildProcess::Signal(bool interrupt) {
  return IsRunning() && kill(m_nPid, interrupt ? SIGINT : SIGTERM) == 0;
}

bool CChildProcess::WaitForExit(int timeoutMs, int& exitCode) {
  if (!IsRunning()) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(m_nPid, &status, WNOHANG);
    if (done == m_nPid) {
      m_nPid = 0;
      exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
      return true;
    }
    if (done < 0 || std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::string CChildProcess::Kill(int* exitStatus, int* terminatingSignal) {
  if (exitStatus) *exitStatus = -1;
  if (terminatingSignal) *terminatingSignal = 0;
  if (!IsRunning()) return "not running";
  kill(m_nPid, SIGKILL);
  int status = 0;
  const int reaped = ReapBlocking(m_nPid, status);
  m_nPid = 0;
  if (reaped < 0) return "ended (status unknown: " + ErrnoText(errno) + ")";
  if (WIFSIGNALED(status)) {
    if (terminatingSignal) *terminatingSignal = WTERMSIG(status);
    return "killed by signal " + std::to_string(WTERMSIG(status));
  }
  if (exitStatus) *exitStatus = WEXITSTATUS(status);
  return "exited with status " + std::to_string(WEXITSTATUS(status));
}

int CChildProcess::Run(const std::vector<std::string>& argv, std::string& out, std::string& err) {
  const int outFd = TempFile();
  const int errFd = TempFile();
  int pid = 0;
  int rc = EBADF;
  if (outFd >= 0 && errFd >= 0) {
    FileActions actions;
    posix_spawn_file_actions_adddup2(actions.Get(), outFd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(actions.Get(), errFd, STDERR_FILENO);
    rc = Spawn(argv, OwnEnvironment(), actions.Get(), pid);
  }
  int status = 0;
  const bool ended = rc == 0 && ReapBlocking(pid, status) == pid;
  out = outFd >= 0 ? ReadAll(outFd) : std::string();
  err = errFd >= 0 ? ReadAll(errFd) : std::string();
  if (outFd >= 0) close(outFd);
  if (errFd >= 0) close(errFd);
  if (!ended) return -1;
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

namespace ChildSelf {

bool LimitAddressSpaceGrowth(unsigned long long bytes) {
  std::ifstream statm("/proc/self/statm");
  unsigned long long pages = 0;
  if (!(statm >> pages)) return false;
  rlim_t cap = static_cast<rlim_t>(pages * static_cast<unsigned long long>(sysconf(_SC_PAGESIZE)) + bytes);
  rlimit limit = {cap, cap};
  return setrlimit(RLIMIT_AS, &limit) == 0;
}

void AlarmAfter(unsigned seconds) { alarm(seconds); }

void CpuAlarmAfter(unsigned long long milliseconds) {
  itimerval timer = {};
  timer.it_value.tv_sec = static_cast<time_t>(milliseconds / 1000);
  timer.it_value.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
  setitimer(ITIMER_PROF, &timer, nullptr);
}

bool TryEscape(const std::string& how, const std::string& besidePath, std::string& refusal) {
  int fd = -1;
  std::string target = besidePath;
  if (how == "read") {
    target += ".secret";
    fd = open(target.c_str(), O_RDONLY | O_CLOEXEC);
  } else if (how == "socket") {
    target = "a socket";
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  } else {
    target += ".written";
    fd = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  }
  if (fd < 0) refusal = target + ": " + ErrnoText(errno);
  if (fd >= 0) close(fd);
  return fd >= 0;
}

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
