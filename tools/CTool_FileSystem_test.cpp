#include "tools/CTool_FileSystem.h"

#include <fstream>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "testsupport/ScratchErrorLog.h"
#include "testsupport/ScratchDir.h"

TEST(FileSystemPathTest, ExtensionsFileSpecsAndOneTrailingSeparator) {
  EXPECT_EQ(CTool_FileSystem::GetExtension("/a.b/file"), "");
  EXPECT_EQ(CTool_FileSystem::GetExtension("/x/file.PDF"), ".PDF");
  EXPECT_EQ(CTool_FileSystem::GetExtension("invoice 12.xml"), ".xml");
  EXPECT_EQ(CTool_FileSystem::GetExtension("name.not ext"), "");
  EXPECT_EQ(CTool_FileSystem::RemoveExtension("/d/doc.FK$.xml"), "/d/doc.FK$");
  EXPECT_EQ(CTool_FileSystem::RemoveExtension("/a.b/file"), "/a.b/file");
  EXPECT_EQ(CTool_FileSystem::RemoveFileSpec("/a/b.xml"), "/a");
  EXPECT_EQ(CTool_FileSystem::RemoveFileSpec("/a/b/"), "/a/b");
  EXPECT_EQ(CTool_FileSystem::RemoveFileSpec("/a"), "/");
  EXPECT_EQ(CTool_FileSystem::RemoveFileSpec("b.xml"), "");
  std::string path = "/data/arch";
  EXPECT_TRUE(CTool_FileSystem::AddBackslash(path) && CTool_FileSystem::AddBackslash(path));
  EXPECT_EQ(path, "/data/arch/");
  std::string tooLong(5000, 'a');
  EXPECT_FALSE(CTool_FileSystem::AddBackslash(tooLong));
  EXPECT_EQ(tooLong.size(), 5000u);
}

TEST(FileSystemFileTest, ExistenceWildcardsAndTimes) {
  testsupport::ScratchDir dir;
  const std::string file = dir.Write("sub/Invoice[1].xml", "<a/>");
  boost::filesystem::last_write_time(file, 1700000000);
  EXPECT_TRUE(CTool_FileSystem::PathExists(file));
  EXPECT_TRUE(CTool_FileSystem::PathExists(dir.File("sub/*.xml")));
  EXPECT_TRUE(CTool_FileSystem::PathExists(dir.File("sub/Invoice[?].*")));
  EXPECT_TRUE(CTool_FileSystem::PathExists(dir.File("sub/*.*")));
  EXPECT_FALSE(CTool_FileSystem::PathExists(dir.File("sub/*.pdf")));
  EXPECT_FALSE(CTool_FileSystem::PathExists(dir.File("sub/Invoice1.xml")));
  EXPECT_FALSE(CTool_FileSystem::PathExists(""));
  EXPECT_TRUE(CTool_FileSystem::IsDirectory(dir.File("sub")));
  EXPECT_FALSE(CTool_FileSystem::IsDirectory(file));

  EXPECT_EQ(CTool_FileSystem::GetLastWriteTime(file), 1700000000LL * 1000000000LL);
  EXPECT_EQ(CTool_FileSystem::GetLastWriteTime(dir.File("sub/*.xml")), 1700000000LL * 1000000000LL);
  EXPECT_EQ(CTool_FileSystem::GetLastWriteTime(dir.File("missing.xml")), 0);
}

TEST(FileSystemRecordTest, CreateDirectoryAndDeleteFileRecordEachFailureOnce) {
  testsupport::ScratchErrorLog errorLog;
  const testsupport::ScratchDir& dir = errorLog.Dir();
  EXPECT_FALSE(CTool_FileSystem::CreateDirectory(""));
  EXPECT_TRUE(CTool_FileSystem::CreateDirectory(dir.File("a/b/c")));
  EXPECT_TRUE(CTool_FileSystem::CreateDirectory(dir.File("a/b")));
  EXPECT_EQ(errorLog.Read(), "");

  const std::string blocked = dir.Write("plain", "x") + "/sub";
  EXPECT_FALSE(CTool_FileSystem::CreateDirectory(blocked));
  std::string log = errorLog.Read();
  EXPECT_NE(log.find("Error n\xB0: 0, There's an error !\t,Internal n\xB0: 20, could not create directory " + blocked),
            std::string::npos);
  EXPECT_NE(log.find("module : Tool_FileSystem\tfunction : CTool_FileSystem::CreateDirectory"), std::string::npos);

  const std::string file = dir.Write("doc.xml", "x");
  EXPECT_TRUE(CTool_FileSystem::DeleteFile(file));
  EXPECT_FALSE(CTool_FileSystem::PathExists(file));
  EXPECT_EQ(errorLog.Read(), log);
  EXPECT_FALSE(CTool_FileSystem::DeleteFile(file));
  log = errorLog.Read();
  EXPECT_NE(log.find("Error n\xB0: 4010, Impossible to delete file\t,Internal n\xB0: 2, No such file or directory"),
            std::string::npos);
  EXPECT_NE(log.find("function : DeleteFileA\t,File or directory : " + file + "\r\r\n"), std::string::npos);
  EXPECT_EQ(log.find("3)"), std::string::npos);  // one entry each
}
