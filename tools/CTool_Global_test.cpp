#include "tools/CTool_Global.h"

#include <gtest/gtest.h>

#include "platform/SystemInfo.h"
#include "testsupport/ScratchDir.h"

TEST(ToolGlobalTest, CompilerDateAndOsNameAreReadWithFallbacks) {
  EXPECT_EQ(CTool_Global::FormatCompilerDate("Jan  5 2025"), "05/01/2025");
  EXPECT_EQ(CTool_Global::FormatCompilerDate("Foo 31 1999"), "");
  EXPECT_EQ(CTool_Global::FormatVersion("2.0.460"), "2.00.460");
  EXPECT_EQ(CTool_Global::FormatVersion("3.12.1"), "3.12.1");
  testsupport::ScratchDir dir;
  EXPECT_EQ(platform::OsDisplayName(dir.Write("quoted", "NAME=\"Debian\"\nPRETTY_NAME=\"Debian GNU/Linux 12\"\n")),
            "Debian GNU/Linux 12");
  EXPECT_EQ(platform::OsDisplayName(dir.Write("bare", "PRETTY_NAME=Plain\n")), "Plain");
  EXPECT_EQ(platform::OsDisplayName(dir.File("missing")), "Linux");
}
