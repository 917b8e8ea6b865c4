#include "platform/CChildProcess.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <fcntl.h>

#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

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

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> result;
  for (std::string& text : texts) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

}  // namespace

CChildProcess::~CChildProcess() { Kill(); }

bool CChildProcess::Start(const std::vector<std::string>& argv,
                          const std::map<std::string, std::string>& extraEnv) {
  if (m_nPid > 0 || argv.empty()) return false;
  std::vector<std::string> args = argv;
  std::vector<std::string> env = MergedEnvironment(extraEnv);
  std::vector<char*> argPointers = Pointers(args);
  std::vector<char*> envPointers = Pointers(env);
  // The child starts with no blocked signals, whatever the test runner blocks.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  pid_t pid = 0;
  const int result = posix_spawn(&pid, args[0].c_str(), nullptr, &attributes, argPointers.data(),
                                 envPointers.data());
  posix_spawnattr_destroy(&attributes);
  if (result != 0) return false;
  m_nPid = pid;
  return true;
}

bool CChildProcess::Signal(bool interrupt) {
  return m_nPid > 0 && kill(m_nPid, interrupt ? SIGINT : SIGTERM) == 0;
}

bool CChildProcess::WaitForExit(int timeoutMs, int& exitCode) {
  if (m_nPid <= 0) return false;
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

void CChildProcess::Kill() {
  if (m_nPid <= 0) return;
  kill(m_nPid, SIGKILL);
  int status = 0;
  waitpid(m_nPid, &status, 0);
  m_nPid = 0;
}

namespace {

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
      break;
    }
  }
  return text;
}

int TempFile() {
  char name[] = "/tmp/fk_child_XXXXXX";
  const int fd = mkstemp(name);
  if (fd >= 0) unlink(name);
  return fd;
}

}  // namespace

int CChildProcess::Fork(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid != 0) return static_cast<int>(pid);
  int status = 1;
  try {
    status = body();
  } catch (...) {
    status = 1;
  }
  // No destructors or atexit handlers of the parent's objects may run in the child.
  _exit(status);
}

bool CChildProcess::Kill(int pid) { return pid > 0 && kill(pid, SIGKILL) == 0; }

int CChildProcess::Wait(int pid) {
  int status = 0;
  pid_t done;
  do {
    done = waitpid(pid, &status, 0);
  } while (done < 0 && errno == EINTR);
  if (done < 0) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

int CChildProcess::Run(const std::vector<std::string>& argv, std::string& out, std::string& err) {
  if (argv.empty()) return -1;
  const int outFd = TempFile();
  const int errFd = TempFile();
  const int pid = Fork([&]() {
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    dup2(outFd, STDOUT_FILENO);
    dup2(errFd, STDERR_FILENO);
    execv(args[0], args.data());
    return 127;
  });
  const int status = pid > 0 ? Wait(pid) : -1;
  out = outFd >= 0 ? ReadAll(outFd) : std::string();
  err = errFd >= 0 ? ReadAll(errFd) : std::string();
  if (outFd >= 0) close(outFd);
  if (errFd >= 0) close(errFd);
  return status;
}

}  // namespace platform
