#include "platform/CNamedFileLock.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "testsupport/ScopedEnvironment.h"
#include "testsupport/ScratchDir.h"

namespace {

class CNamedFileLockTest : public ::testing::Test {
 protected:
  void SetUp() override { m_Environment.Set("FK_LOCK_DIR", m_Scratch.File("locks")); }
  testsupport::ScratchDir m_Scratch;
  testsupport::ScopedEnvironment m_Environment;
};

TEST_F(CNamedFileLockTest, FileNamesKeepShortNamesAndHashLongOnes) {
  EXPECT_EQ(platform::CNamedFileLock::FileNameFor("lock /a/b"), "lock _a_b");
  const std::string longA = "lock " + std::string(300, 'a') + "/x";
  const std::string longB = "lock " + std::string(300, 'a') + "/y";
  const std::string nameA = platform::CNamedFileLock::FileNameFor(longA);
  EXPECT_LE(nameA.size(), 255u);
  EXPECT_EQ(nameA.find('/'), std::string::npos);
  EXPECT_NE(nameA, platform::CNamedFileLock::FileNameFor(longB));
  EXPECT_EQ(nameA, platform::CNamedFileLock::FileNameFor(longA));
}

TEST_F(CNamedFileLockTest, ALinkPlantedInTheLockDirectoryIsNotFollowed) {
  boost::filesystem::create_directories(m_Scratch.File("locks"));
  const std::string target = m_Scratch.Write("victim", "keep me");
  boost::filesystem::create_symlink(target, m_Scratch.File("locks/lock planted"));
  platform::CNamedFileLock lock("lock planted");
  EXPECT_FALSE(lock.TryLock());
  EXPECT_FALSE(lock.LastError().empty());
  EXPECT_EQ(m_Scratch.Read("victim"), "keep me");
}

}  // namespace
