#include "platform/CFileSystemType.h"

#include <gtest/gtest.h>

TEST(CFileSystemTypeTest, KnowsNetworkMagicNumbersAndLocalDisksAreNotNetwork) {
  EXPECT_TRUE(platform::CFileSystemType::IsNetworkType(0x6969));           // NFS
  EXPECT_TRUE(platform::CFileSystemType::IsNetworkType(0xFF534D42));      // CIFS
  EXPECT_TRUE(platform::CFileSystemType::IsNetworkType(-0x00ACB2BELL));   // CIFS as a signed word
  EXPECT_FALSE(platform::CFileSystemType::IsNetworkType(0xEF53));         // ext4
  EXPECT_FALSE(platform::CFileSystemType::IsNetwork("/tmp/no/such/directory/catalogue.sqlite"));
}
