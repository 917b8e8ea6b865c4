#include "platform/CFileSystemType.h"

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

TEST(CFileSystemTypeTest, KnowsNetworkMagicNumbersAndLocalDisksAreNotNetwork) {
  EXPECT_TRUE(platform::CFileSystemType::IsNetworkType(0x6969));           // NFS
  EXPECT_TRUE(platform::CFileSystemType::IsNetworkType(0xFF534D42));      // CIFS
  EXPECT_TRUE(platform::CFileSystemType::IsNetworkType(-0x00ACB2BELL));   // CIFS as a signed word
  EXPECT_FALSE(platform::CFileSystemType::IsNetworkType(0xEF53));         // ext4
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
