#include "folders/Dom_FolderList.h"

#include <algorithm>

#include <gtest/gtest.h>

#include "testsupport/ScratchErrorLog.h"

class FolderListTest : public ::testing::Test {
 protected:
  Dom_FolderList LoadFolders(const std::string& body, const std::string& root = "Folders") {
    Dom_FolderList list(m_Dir.Write("Fennrick Folders.xml", "<" + root + ">" + body + "</" + root + ">"), 1);
    EXPECT_TRUE(list.IsLoaded());
    return list;
  }
  // UseMIS, UseSpecificCatalogue, UploadSrcSubDirectory, ActivateSecureScanning, UseFKStamp, FolderType.
  static std::vector<int> Flags(const FK::CFolder& f) {
    return {f.GetUseMIS(), f.GetUseSpecificCatalogue(), f.GetUploadSrcSubDirectory(),
            f.GetActivateSecureScanning(), f.GetUseFKStamp(), f.GetFolderType()};
  }
  // CanSort, SortBy, MoveNCToTop, AutoMoveAfterDownloading.
  static std::vector<int> Moving(const FK::CFolder& f) {
    return {f.GetCanSort(), f.GetSortBy(), f.GetMoveNCToTop(), f.GetAutoMoveAfterDownloading()};
  }

  testsupport::ScratchErrorLog m_ErrorLog;
  const testsupport::ScratchDir& m_Dir = m_ErrorLog.Dir();
};

TEST_F(FolderListTest, ValueRulesOfTextFlagsAndChoices) {
  Dom_FolderList list = LoadFolders(
      "<Folder><Reference> R1 </Reference><ArchivePath>\n  /data/arch \n</ArchivePath>"
      "<Catalogue><UseMIS>true</UseMIS><UseSpecificCatalogue>Yes</UseSpecificCatalogue></Catalogue>"
      "<Upload><UploadSrcSubDirectory>no</UploadSrcSubDirectory></Upload>"
      "<ActivateSecureScanning>false</ActivateSecureScanning><FolderType>customer</FolderType>"
      "<AutomationPlugIns><AutomationPlugIn>P</AutomationPlugIn><AutomationPlugIn>P</AutomationPlugIn>"
      "<AutomationPlugIn>p</AutomationPlugIn></AutomationPlugIns>"
      "<DocumentTypeSubFolder><SubFolder Type=\"Bank\" Path=\"b\"/><SubFolder Type=\"X\" Path=\"o\"/>"
      "</DocumentTypeSubFolder>"
      "<DocumentMoving CanSort=\"TRUE\" SortBy=\" -12abc\" MoveNCToTop=\"x\" AutoMoveAfterDownloading=\"true\"/>"
      "</Folder>"
      "<Folder><Reference>R2</Reference><FolderType>SUPPLIER-CUSTOMER</FolderType>"
      "<UploadSrcSubDirectory>FaLsE</UploadSrcSubDirectory></Folder>");
  FK::CFolder r1 = list.GetFolder("R1");
  EXPECT_EQ(r1.GetReference(), "R1");
  EXPECT_EQ(r1.GetArchivePath(), "/data/arch");
  EXPECT_EQ(Flags(r1), (std::vector<int>{1, 0, 1, 0, 1, 0}));
  EXPECT_EQ(r1.GetAutomationPlugIns(), (std::vector<std::string>{"P", "p"}));
  EXPECT_EQ(r1.GetBankSubFolder(), "b");
  EXPECT_EQ(r1.GetOtherSubFolder(), "o");
  EXPECT_EQ(Moving(r1), (std::vector<int>{1, -12, 0, 1}));

  FK::CFolder r2 = list.GetFolder("R2");
  EXPECT_EQ(Flags(r2), (std::vector<int>{0, 0, 0, 1, 1, 2}));
  EXPECT_EQ(r2.GetCountry(), "BE");
}

TEST_F(FolderListTest, OnlyCompanyIdAndSubFolderLookAtTheirParent) {
  Dom_FolderList list = LoadFolders(
      "<Folder><Upload><Reference>R</Reference><ArchivePath>/a</ArchivePath></Upload>"
      "<CompanyId>outside</CompanyId><SubFolder Type=\"SALE\" Path=\"s\"/>"
      "<DocumentTypeSubFolder><SubFolder Type=\"PURCHASE\"/></DocumentTypeSubFolder>"
      "<DocumentMoving CanSort=\"TRUE\" MoveNCToTop=\"TRUE\" AutoMoveAfterDownloading=\"TRUE\"/>"
      "</Folder>",
      "Other");
  FK::CFolder folder = list.GetFolder("R");
  EXPECT_EQ(folder.GetArchivePath(), "/a");
  EXPECT_EQ(folder.GetCompanyId(), "");
  EXPECT_EQ(folder.GetSaleSubFolder(), "");
  EXPECT_EQ(folder.GetPurchaseSubFolder(), "");
  EXPECT_EQ(folder.GetCanSort(), 0);

  Dom_FolderList inside = LoadFolders(
      "<Folder><Reference>R</Reference><LarkvaleConnect><CompanyId>C9</CompanyId></LarkvaleConnect>"
      "<DocumentTypeSubFolder><SubFolder Type=\"sale\" Path=\"s\"/></DocumentTypeSubFolder></Folder>");
  EXPECT_EQ(inside.GetFolder("R").GetCompanyId(), "C9");
  EXPECT_EQ(inside.GetFolder("R").GetSaleSubFolder(), "s");
}

TEST_F(FolderListTest, ReferencesKeyTheTableExactly) {
  Dom_FolderList list = LoadFolders(
      "<Folder><Reference>A</Reference><Name>first</Name></Folder>"
      "<Folder><Name>no reference</Name></Folder>"
      "<Folder><Reference>a</Reference></Folder>"
      "<Folder><Reference>A</Reference><Name>second</Name></Folder>");
  std::vector<std::string> references = list.GetFolderReferences();
  std::sort(references.begin(), references.end());
  EXPECT_EQ(references, (std::vector<std::string>{"A", "a"}));
  EXPECT_EQ(list.GetFolder("A").GetName(), "second");
  EXPECT_EQ(list.GetFolder("B").GetReference(), "");
  EXPECT_TRUE(LoadFolders("").GetFolderReferences().empty());
}

TEST_F(FolderListTest, SomeFieldsCarryOverToTheNextFolder) {
  Dom_FolderList list = LoadFolders(
      "<Folder><Reference>1</Reference><ApprovalRuleForNewSupplier>RULE</ApprovalRuleForNewSupplier>"
      "<Country>FR</Country><UseMIS>TRUE</UseMIS>"
      "<DocumentMoving CanSort=\"TRUE\" SortBy=\"4\" MoveNCToTop=\"TRUE\" AutoMoveAfterDownloading=\"TRUE\"/>"
      "<AutomationPlugIns><AutomationPlugIn>P</AutomationPlugIn></AutomationPlugIns></Folder>"
      "<Folder><Reference>2</Reference></Folder>");
  FK::CFolder second = list.GetFolder("2");
  EXPECT_EQ(second.GetApprovalRuleForNewSupplier(), "RULE");
  EXPECT_EQ(Moving(second), (std::vector<int>{1, 4, 1, 1}));
  EXPECT_EQ(second.GetCountry(), "BE");
  EXPECT_EQ(second.GetUseMIS(), 0);
  EXPECT_TRUE(second.GetAutomationPlugIns().empty());
}

TEST_F(FolderListTest, BrokenFileWritesOneRecordAndMissingFileNone) {
  Dom_FolderList missing(m_Dir.File("none.xml"), 1);
  EXPECT_FALSE(missing.IsLoaded());
  EXPECT_EQ(m_ErrorLog.Read(), "");

  const std::string path = m_Dir.Write("Fennrick Folders.xml", "<Folders><Folder><Reference>A</Reference></Folders>");
  Dom_FolderList broken(path, 1);
  EXPECT_FALSE(broken.IsLoaded());
  EXPECT_TRUE(broken.GetFolderReferences().empty());
  const std::string log = m_ErrorLog.Read();
  EXPECT_NE(log.find("Error n\xB0: 4003, Impossible to load file\t,Internal n\xB0: 0, Impossible to load xml file : " +
                     path + "\t,line : "),
            std::string::npos);
  EXPECT_NE(log.find("module : CDOM_FolderList\tfunction : Load\t"), std::string::npos);
  EXPECT_EQ(log.find("2)"), std::string::npos);
}
