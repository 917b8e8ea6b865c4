#include "platform/ErrnoText.h"

#include <cerrno>

#include <gtest/gtest.h>

TEST(ErrnoTextTest, GivesTheSystemTextOfAnErrnoValue) {
  EXPECT_EQ(platform::ErrnoText(ENOENT), "No such file or directory");
}
