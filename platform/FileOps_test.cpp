#include "platform/FileOps.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "testsupport/ScratchDir.h"
#include "tools/CTool_FileSystem.h"

namespace {

enum class Hold { OpenForWriting, RecordLock, WholeFileLock };

// A child process that holds the file in one way until the holder is destroyed.
class ChildHolder {
 public:
  ChildHolder(const std::string& path, Hold hold) {
    int ready[2];
    int release[2];
    if (pipe(ready) != 0 || pipe(release) != 0) return;
    m_Pid = fork();
    if (m_Pid == 0) {
      close(ready[0]);
      close(release[1]);
      // Only async-signal-safe calls between fork and _exit.
      int fd = open(path.c_str(), hold == Hold::OpenForWriting ? O_WRONLY : O_RDONLY);
      bool held = fd >= 0;
      if (held && hold == Hold::RecordLock) {
        struct flock lock {};
        lock.l_type = F_RDLCK;
        lock.l_whence = SEEK_SET;
        lock.l_len = 10;
        held = fcntl(fd, F_SETLK, &lock) == 0;
      }
      if (held && hold == Hold::WholeFileLock) held = flock(fd, LOCK_SH | LOCK_NB) == 0;
      char status = held ? 'y' : 'n';
      if (write(ready[1], &status, 1) != 1) _exit(1);
      char ignored;
      while (read(release[0], &ignored, 1) > 0) {
      }
      _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    m_Release = release[1];
    char status = 'n';
    m_bHeld = read(ready[0], &status, 1) == 1 && status == 'y';
    close(ready[0]);
  }
  ~ChildHolder() { Release(); }
  void Release() {
    if (m_Pid <= 0) return;
    close(m_Release);
    waitpid(m_Pid, nullptr, 0);
    m_Pid = -1;
  }
  bool Held() const { return m_bHeld; }

 private:
  pid_t m_Pid = -1;
  int m_Release = -1;
  bool m_bHeld = false;
};

}  // namespace

TEST(FileBusyTest, FileHeldByAnotherProcessIsBusyUntilReleased) {
  testsupport::ScratchDir dir;
  const std::string path = dir.Write("doc.pdf", "%PDF-1.4 some bytes");
  EXPECT_FALSE(platform::IsFileBusy(path));
  for (Hold hold : {Hold::OpenForWriting, Hold::RecordLock, Hold::WholeFileLock}) {
    ChildHolder child(path, hold);
    ASSERT_TRUE(child.Held());
    EXPECT_TRUE(CTool_FileSystem::IsFileLocked(path)) << static_cast<int>(hold);
    child.Release();
    EXPECT_FALSE(CTool_FileSystem::IsFileLocked(path)) << static_cast<int>(hold);
  }
}

TEST(FileBusyTest, MissingFileAndDirectoryCountAsBusy) {
  testsupport::ScratchDir dir;
  EXPECT_TRUE(platform::IsFileBusy(dir.File("missing.pdf")));
  EXPECT_TRUE(platform::IsFileBusy(dir.Path()));
}
