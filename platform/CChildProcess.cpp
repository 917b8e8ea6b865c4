#include "platform/CChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace platform {

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
