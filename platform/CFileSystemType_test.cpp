#include "platform/CFileSystemType.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

TEST(CFileSystemTypeTest, KnowsNetworkMagicNumbersAndLocalDisksAreNotNetwork) {
  EXPECT_TRUE(platform::CFileSystemType::IsNetworkType(0x6969));           // NFS
  EXPECT_TRUE(platform::CFileSystemType::IsNetworkType(0xFF534D42));      // CIFS
  EXPECT_TRUE(platform::CFileSystemType::IsNetworkType(-0x00ACB2BELL));   // CIFS as a signed word
  EXPECT_TRUE(platform::CFileSystemType::IsNetworkType(0x65735546));      // FUSE (sshfs, rclone), fuseblk
  EXPECT_TRUE(platform::CFileSystemType::IsNetworkType(0x7461636F));      // OCFS2, a cluster file system
  EXPECT_FALSE(platform::CFileSystemType::IsNetworkType(0xEF53));         // ext4
  EXPECT_FALSE(platform::CFileSystemType::IsNetworkType(0x65735543));     // fusectl, FUSE's own control files
  EXPECT_FALSE(platform::CFileSystemType::IsNetwork("/tmp/no/such/directory/catalogue.sqlite"));
}

TEST(CFileSystemTypeTest, RefusesTheRootAndTheSystemTreesAsFolderDirectories) {
  using platform::CFileSystemType;
  for (const char* refused : {"/", "//", "/usr/..", "/proc", "/proc/self/", "/sys/kernel", "/run", "/dev",
                              "/dev/pts"}) {
    EXPECT_NE(CFileSystemType::WhyRefusedAsFolderDirectory(refused), "") << refused;
  }
  const char* tmp = std::getenv("TMPDIR");
  for (const std::string& allowed : {std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp"), std::string("/usr"),
                                    std::string("/no/such/directory"), std::string("/dev/shm")}) {
    EXPECT_EQ(CFileSystemType::WhyRefusedAsFolderDirectory(allowed), "") << allowed;
  }
}

// "/" bound elsewhere is the whole machine too: in a user and mount namespace of its own the
// test binds it and runs itself again with this variable naming the bound directory.
constexpr const char* kBoundRootVariable = "FK_BOUND_ROOT";

TEST(CFileSystemTypeTest, TheRootBoundElsewhereIsRefusedLikeTheRoot) {
  if (const char* bound = std::getenv(kBoundRootVariable)) {
    EXPECT_NE(platform::CFileSystemType::WhyRefusedAsFolderDirectory(bound), "") << bound;
    return;
  }
  if (std::system("unshare -Urm true >/dev/null 2>&1") != 0) GTEST_SKIP() << "no user namespaces here";
  char self[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof(self) - 1), 0);
  char bound[] = "/tmp/fk-bound-root-XXXXXX";
  ASSERT_NE(mkdtemp(bound), nullptr);
  // --rbind: a user namespace may bind "/" only with the mounts below it.
  const std::string command = std::string(kBoundRootVariable) + "=" + bound +
                              " unshare -Urm sh -c 'mount --rbind / \"$1\" 2>/dev/null || exit 77; exec \"$0\""
                              " --gtest_filter=CFileSystemTypeTest.TheRootBoundElsewhereIsRefusedLikeTheRoot' '" +
                              self + "' '" + bound + "'";
  const int status = std::system(command.c_str());
  rmdir(bound);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << "\"/\" cannot be bound here";
  EXPECT_EQ(status, 0) << command;
}
