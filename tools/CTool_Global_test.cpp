#include "tools/CTool_Global.h"

#include <gtest/gtest.h>

#include "platform/SystemInfo.h"
#include "testsupport/ScratchDir.h"

TEST(ToolGlobalTest, CompilerDateBecomesDayMonthYear) {
  EXPECT_EQ(CTool_Global::FormatCompilerDate("Jan  5 2025"), "05/01/2025");
  EXPECT_EQ(CTool_Global::FormatCompilerDate("Dec 31 1999"), "31/12/1999");
  EXPECT_EQ(CTool_Global::FormatCompilerDate("Foo 31 1999"), "");
}

TEST(ToolGlobalTest, OsNameComesFromPrettyNameWithFallback) {
  testsupport::ScratchDir dir;
  const std::string quoted =
      dir.Write("os-release", "NAME=\"Debian\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n");
  EXPECT_EQ(platform::OsDisplayName(quoted), "Debian GNU/Linux 12 (bookworm)");
  const std::string bare = dir.Write("bare", "PRETTY_NAME=Plain\n");
  EXPECT_EQ(platform::OsDisplayName(bare), "Plain");
  EXPECT_EQ(platform::OsDisplayName(dir.File("missing")), "Linux");
  EXPECT_FALSE(CTool_Global::GetUserLogin().empty());
}
