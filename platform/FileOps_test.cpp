#include "platform/FileOps.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/CChildProcess.h"
#include "testsupport/ScratchDir.h"

namespace {

enum class Hold { OpenForWriting, WriteRecordLock, ExclusiveFlock, ReadRecordLock, SharedFlock, OfdReadLock };

bool HoldFile(const std::string& path, Hold hold) {
  const bool write = hold == Hold::OpenForWriting || hold == Hold::WriteRecordLock;
  const int fd = open(path.c_str(), write ? O_RDWR : O_RDONLY);
  if (fd < 0) return false;
  if (hold == Hold::OpenForWriting) return true;
  if (hold == Hold::ExclusiveFlock || hold == Hold::SharedFlock) {
    return flock(fd, (hold == Hold::ExclusiveFlock ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0;
  }
  struct flock lock {};
  lock.l_type = hold == Hold::WriteRecordLock ? F_WRLCK : F_RDLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 4;  // not at the start: a lock anywhere counts
  lock.l_len = 10;
  return fcntl(fd, hold == Hold::OfdReadLock ? F_OFD_SETLK : F_SETLK, &lock) == 0;
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

TEST(FileBusyTest, AWriterOrWriteLockMakesAFileBusyUntilReleasedAndAReadersSharedLockNever) {
  testsupport::ScratchDir dir;
  const std::string path = dir.Write("doc.pdf", "%PDF-1.4 some bytes");
  EXPECT_FALSE(platform::IsFileBusy(path));
  for (Hold hold : {Hold::OpenForWriting, Hold::WriteRecordLock, Hold::ExclusiveFlock}) {
    ChildHolder child(path, hold);
    ASSERT_TRUE(child.Held());
    EXPECT_TRUE(platform::IsFileBusy(path)) << static_cast<int>(hold);
    EXPECT_TRUE(platform::IsFileHeldByOther(path)) << static_cast<int>(hold);
    child.Release();
    EXPECT_FALSE(platform::IsFileBusy(path)) << static_cast<int>(hold);
    EXPECT_FALSE(platform::IsFileHeldByOther(path)) << static_cast<int>(hold);
  }
  // A reader's lock keeps writers out, not other readers: the file is read at once.
  for (Hold hold : {Hold::ReadRecordLock, Hold::SharedFlock, Hold::OfdReadLock}) {
    ChildHolder child(path, hold);
    ASSERT_TRUE(child.Held());
    EXPECT_FALSE(platform::IsFileBusy(path)) << static_cast<int>(hold);
    EXPECT_FALSE(platform::IsFileHeldByOther(path)) << static_cast<int>(hold);
  }
  // A symbolic link is never followed, not even for a probe: its target may lie outside.
  const std::string link = dir.File("link.pdf");
  ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
  ChildHolder child(path, Hold::ExclusiveFlock);
  ASSERT_TRUE(child.Held());
  EXPECT_FALSE(platform::IsFileHeldByOther(link));
  EXPECT_TRUE(platform::IsFileBusy(link));
}

TEST(FileBusyTest, MissingFileAndDirectoryCountAsBusyButAreHeldByNobody) {
  testsupport::ScratchDir dir;
  EXPECT_TRUE(platform::IsFileBusy(dir.File("missing.pdf")));
  EXPECT_TRUE(platform::IsFileBusy(dir.Path()));
  // Their reading says what is wrong with them; they are not waited for as locked files.
  EXPECT_FALSE(platform::IsFileHeldByOther(dir.File("missing.pdf")));
  EXPECT_FALSE(platform::IsFileHeldByOther(dir.Path()));
}
