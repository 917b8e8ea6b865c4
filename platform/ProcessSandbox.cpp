#include "platform/ProcessSandbox.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <linux/landlock.h>
#include <seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/ErrnoText.h"

namespace platform {
namespace ProcessSandbox {
namespace {

// Rights newer than the system's header; the kernel says which ones it knows (its ABI).
constexpr std::uint64_t kTruncate = 1ULL << 14;  // ABI 3
constexpr std::uint64_t kIoctlDevice = 1ULL << 15;  // ABI 5
constexpr std::uint64_t kFileRead = LANDLOCK_ACCESS_FS_READ_FILE;

// The ruleset's attributes in their latest layout: the kernel is told how much of it it knows.
struct RulesetAttributes {
  std::uint64_t handledFileSystem = 0;
  std::uint64_t handledNetwork = 0;
  std::uint64_t scoped = 0;
};

std::uint64_t HandledFileRights(long abi) {
  std::uint64_t rights = (1ULL << 13) - 1;  // ABI 1: execute to make-symlink
  if (abi >= 2) rights |= LANDLOCK_ACCESS_FS_REFER;
  if (abi >= 3) rights |= kTruncate;
  if (abi >= 5) rights |= kIoctlDevice;
  return rights;
}

// A path that cannot be opened gets no rule: what is not there stays unreadable. A file's rule
// never follows a link: a document swapped for a link grants nothing beyond the link.
bool AddReadRule(int ruleset, const std::string& path, bool tree, std::string& why) {
  const int fd = open(path.c_str(), O_PATH | O_CLOEXEC | (tree ? 0 : O_NOFOLLOW));
  if (fd < 0) return true;
  landlock_path_beneath_attr rule{};
  rule.allowed_access = tree ? kFileRead | LANDLOCK_ACCESS_FS_READ_DIR : kFileRead;
  rule.parent_fd = fd;
  const long added = syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0);
  if (added != 0) why = path + ": landlock_add_rule: " + ErrnoText(errno);
  close(fd);
  return added == 0;
}

// A call this architecture lacks (a negative pseudo number) needs no rule.
bool Allow(scmp_filter_ctx filter, int call) {
  return call < 0 || seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0) == 0;
}

// Calls allowed with any argument: reading, memory, time, signals to itself, the end.
const int kPlainCalls[] = {
    SCMP_SYS(read), SCMP_SYS(readv), SCMP_SYS(pread64), SCMP_SYS(write), SCMP_SYS(writev),
    SCMP_SYS(recvfrom), SCMP_SYS(recvmsg), SCMP_SYS(sendto), SCMP_SYS(sendmsg), SCMP_SYS(poll),
    SCMP_SYS(ppoll), SCMP_SYS(close), SCMP_SYS(fstat), SCMP_SYS(newfstatat), SCMP_SYS(statx),
    SCMP_SYS(stat), SCMP_SYS(lstat), SCMP_SYS(lseek), SCMP_SYS(getdents64), SCMP_SYS(readlink),
    SCMP_SYS(readlinkat), SCMP_SYS(access), SCMP_SYS(faccessat), SCMP_SYS(faccessat2), SCMP_SYS(fcntl),
    SCMP_SYS(brk), SCMP_SYS(munmap), SCMP_SYS(mremap), SCMP_SYS(madvise), SCMP_SYS(futex),
    SCMP_SYS(getrandom), SCMP_SYS(clock_gettime), SCMP_SYS(clock_getres), SCMP_SYS(gettimeofday),
    SCMP_SYS(time), SCMP_SYS(nanosleep), SCMP_SYS(clock_nanosleep), SCMP_SYS(rt_sigaction),
    SCMP_SYS(rt_sigprocmask), SCMP_SYS(rt_sigreturn), SCMP_SYS(sigaltstack), SCMP_SYS(restart_syscall),
    SCMP_SYS(alarm), SCMP_SYS(setitimer), SCMP_SYS(getitimer), SCMP_SYS(timer_create),
    SCMP_SYS(timer_settime), SCMP_SYS(timer_gettime), SCMP_SYS(timer_delete), SCMP_SYS(getrusage),
    SCMP_SYS(times), SCMP_SYS(getpid), SCMP_SYS(gettid), SCMP_SYS(getuid), SCMP_SYS(geteuid),
    SCMP_SYS(getgid), SCMP_SYS(getegid), SCMP_SYS(uname), SCMP_SYS(sched_yield),
    SCMP_SYS(sched_getaffinity), SCMP_SYS(getrlimit), SCMP_SYS(exit), SCMP_SYS(exit_group),
};

// Calls allowed only with harmless arguments: opening for reading alone, memory that is never
// executable, limits read but not raised, signals to this process only.
bool AddArgumentRules(scmp_filter_ctx filter) {
  const scmp_datum_t writeFlags = O_ACCMODE | O_CREAT | O_TRUNC | O_APPEND;
  const scmp_datum_t self = static_cast<scmp_datum_t>(getpid());
  return seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(openat), 1, SCMP_A2(SCMP_CMP_MASKED_EQ, writeFlags, 0)) == 0 &&
         (SCMP_SYS(open) < 0 ||
          seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(open), 1, SCMP_A1(SCMP_CMP_MASKED_EQ, writeFlags, 0)) == 0) &&
         seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(mmap), 1, SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0)) == 0 &&
         seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(mprotect), 1, SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0)) == 0 &&
         seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(prlimit64), 2, SCMP_A0(SCMP_CMP_EQ, 0, 0),
                          SCMP_A2(SCMP_CMP_EQ, 0, 0)) == 0 &&
         seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(tgkill), 1, SCMP_A0(SCMP_CMP_EQ, self, 0)) == 0 &&
         seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(kill), 1, SCMP_A0(SCMP_CMP_EQ, self, 0)) == 0;
}

}  // namespace

bool DropPrivileges(unsigned maxDescriptors, std::string& why) {
  const rlimit none = {0, 0};
  const rlimit descriptors = {maxDescriptors, maxDescriptors};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    why = "no_new_privs: " + ErrnoText(errno);
  } else if (setrlimit(RLIMIT_FSIZE, &none) != 0 || setrlimit(RLIMIT_CORE, &none) != 0 ||
             setrlimit(RLIMIT_NOFILE, &descriptors) != 0) {
    why = "setrlimit: " + ErrnoText(errno);
  } else {
    return true;
  }
  return false;
}

bool FileSystemRestrictionOffered() {
  return syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION) >= 1;
}

FileSystemRestriction RestrictFileSystem(const std::vector<std::string>& readableFiles,
                                         const std::vector<std::string>& readableTrees, std::string& why) {
  const long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  if (abi < 1) {
    why = "the kernel offers no Landlock (" + ErrnoText(errno) + ")";
    return FileSystemRestriction::NotOffered;
  }
  RulesetAttributes attributes;
  attributes.handledFileSystem = HandledFileRights(abi);
  std::size_t size = sizeof(std::uint64_t);
  if (abi >= 4) {
    attributes.handledNetwork = 3;  // bind and connect TCP
    size = 2 * sizeof(std::uint64_t);
  }
  if (abi >= 6) {
    attributes.scoped = 3;  // abstract sockets and signals of processes outside
    size = sizeof attributes;
  }
  const int ruleset = static_cast<int>(syscall(SYS_landlock_create_ruleset, &attributes, size, 0));
  if (ruleset < 0) {
    why = "landlock_create_ruleset: " + ErrnoText(errno);
    return FileSystemRestriction::Failed;
  }
  bool ok = true;
  for (const std::string& file : readableFiles) ok = ok && AddReadRule(ruleset, file, false, why);
  for (const std::string& tree : readableTrees) ok = ok && AddReadRule(ruleset, tree, true, why);
  if (ok && syscall(SYS_landlock_restrict_self, ruleset, 0) != 0) {
    why = "landlock_restrict_self: " + ErrnoText(errno);
    ok = false;
  }
  close(ruleset);
  return ok ? FileSystemRestriction::Applied : FileSystemRestriction::Failed;
}

bool FilterSystemCalls(std::string& why) {
  scmp_filter_ctx filter = seccomp_init(SCMP_ACT_KILL_PROCESS);
  if (filter == nullptr) {
    why = "seccomp_init failed";
    return false;
  }
  bool ok = AddArgumentRules(filter);
  for (int call : kPlainCalls) ok = ok && Allow(filter, call);
  int loaded = ok ? seccomp_load(filter) : 0;
  if (!ok) why = "the system-call filter cannot be built";
  if (loaded != 0) why = "seccomp_load: " + ErrnoText(-loaded);
  seccomp_release(filter);
  return ok && loaded == 0;
}

}  // namespace ProcessSandbox
}  // namespace platform
