#include "folders/CFolderLayout.h"

#include <gtest/gtest.h>

namespace {

TEST(CFolderLayoutTest, LeftOutDirectoriesAndDocumentNamesBelowTheFolderDirectoryOnly) {
  FK::CFolder folder;
  folder.SetArchivePath("/srv/Originals/arch");
  folder.SetProcessingPath("/srv/Originals/arch/proc");
  folder.SetScanningPath("/srv/Originals/arch/./scan/");
  folder.SetOriginalPath("/srv/Originals/arch/proc");  // a folder directory itself: walked
  folder.SetEInvoicesPath("/srv/Originals");           // above the folder directory: no matter
  const FK::CFolderLayout layout(folder, "/srv/Originals/arch/Cat", "/srv/Originals/arch//");
  for (const char* directory : {"Originals", "2026/ORIGINALS", "x/catalogue_IS/y", "scan", "scan/sub/", "Cat"}) {
    EXPECT_TRUE(layout.IsLeftOutDirectory(directory)) << directory;
  }
  for (const char* directory : {"", "MyOriginals", "OriginalsWest", "Originals.old", "scanner", "proc", "2026/cat"}) {
    EXPECT_FALSE(layout.IsLeftOutDirectory(directory)) << directory;
  }
  for (const char* path : {"a.xml", "MyOriginals/b.PDF", "invoice.fk2.xml", "proc/c.Xml", "x.fk$/d.xml", ".xml"}) {
    EXPECT_TRUE(layout.IsDocument(path)) << path;
  }
  for (const char* path : {"inv.FK$.xml", "inv.fk$.PDF", "notes.txt", "xml", "a.xml.bak", "b.xml/readme",
                           "2026/Originals/e.xml", "scan/f.pdf"}) {
    EXPECT_FALSE(layout.IsDocument(path)) << path;
  }
  EXPECT_EQ(layout.RelativeOf("/srv/Originals/arch//2026/a.xml"), "2026/a.xml");
  EXPECT_EQ(layout.RelativeOf("/srv/Originals/archive/a.xml"), "");
  EXPECT_TRUE(FK::CFolderLayout::HasLeftOutNameBelow("/srv/Originals/", "/srv/Originals/y/ORIGINALS/a.xml"));
  EXPECT_FALSE(FK::CFolderLayout::HasLeftOutNameBelow("/srv/Originals/", "/srv/Originals/y/a.xml"));
}

}  // namespace
