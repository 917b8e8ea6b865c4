#include "platform/FileOps.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/CChildProcess.h"
#include "testsupport/ScratchDir.h"

namespace {

enum class Hold { OpenForWriting, RecordLock, WholeFileLock };

bool HoldFile(const std::string& path, Hold hold) {
  const int fd = open(path.c_str(), hold == Hold::OpenForWriting ? O_WRONLY : O_RDONLY);
  if (fd < 0) return false;
  if (hold == Hold::WholeFileLock) return flock(fd, LOCK_SH | LOCK_NB) == 0;
  if (hold != Hold::RecordLock) return true;
  struct flock lock {};
  lock.l_type = F_RDLCK;
  lock.l_whence = SEEK_SET;
  lock.l_len = 10;
  return fcntl(fd, F_SETLK, &lock) == 0;
}

// A child process that holds the file in one way until it is released.
class ChildHolder {
 public:
  ChildHolder(const std::string& path, Hold hold) {
    int ready[2];
    if (pipe(ready) != 0 || pipe(m_Release) != 0) return;
    m_Child.Fork([&] {
      const char status = HoldFile(path, hold) ? 'y' : 'n';
      close(m_Release[1]);
      char ignored;
      if (write(ready[1], &status, 1) != 1) return 1;
      while (read(m_Release[0], &ignored, 1) > 0) {
      }
      return 0;
    });
    close(ready[1]);
    close(m_Release[0]);
    char status = 'n';
    m_bHeld = read(ready[0], &status, 1) == 1 && status == 'y';
    close(ready[0]);
  }
  ~ChildHolder() { Release(); }
  void Release() {
    if (!m_Child.IsRunning()) return;
    close(m_Release[1]);
    int exitCode = 0;
    m_Child.WaitForExit(10000, exitCode);
  }
  bool Held() const { return m_bHeld; }

 private:
  platform::CChildProcess m_Child;
  int m_Release[2] = {-1, -1};
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
    EXPECT_TRUE(platform::IsFileBusy(path)) << static_cast<int>(hold);
    EXPECT_TRUE(platform::IsFileHeldByOther(path)) << static_cast<int>(hold);
    child.Release();
    EXPECT_FALSE(platform::IsFileBusy(path)) << static_cast<int>(hold);
    EXPECT_FALSE(platform::IsFileHeldByOther(path)) << static_cast<int>(hold);
  }
}

TEST(FileBusyTest, MissingFileAndDirectoryCountAsBusyButAreHeldByNobody) {
  testsupport::ScratchDir dir;
  EXPECT_TRUE(platform::IsFileBusy(dir.File("missing.pdf")));
  EXPECT_TRUE(platform::IsFileBusy(dir.Path()));
  // Their reading says what is wrong with them; they are not waited for as locked files.
  EXPECT_FALSE(platform::IsFileHeldByOther(dir.File("missing.pdf")));
  EXPECT_FALSE(platform::IsFileHeldByOther(dir.Path()));
}
