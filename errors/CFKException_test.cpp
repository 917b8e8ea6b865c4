#include "errors/CFKException.h"

#include <cerrno>

#include <gtest/gtest.h>

#include "errors/CErrorLog.h"

using namespace FKEXCEPTION;

class FKExceptionTest : public ::testing::Test {
 protected:
  void SetUp() override { CErrorLog::ResetForTests(); }  // no log file: records only
};

TEST_F(FKExceptionTest, RecordDropsLineFeedsAndTheImageErrorTakesTheFileFirst) {
  EXPECT_EQ(CFKException_General(4003, 7, 12, "CDOM_FolderList", "Load", "a\nb\r\nc", "/x").GetErrorInfo().InternalMessage,
            "ab\rc");
  CFKException_Image image(140, 3, 9, "CTool_QuickPDFLib", "DAExtractText", "/doc.pdf", "why");
  EXPECT_EQ(image.GetErrorInfo().FileOrDirectory, "/doc.pdf");
  EXPECT_EQ(image.GetErrorInfo().InternalMessage, "why");
}

TEST_F(FKExceptionTest, Record121HoldsThePathAndItsReasonFollowsTheMessage) {
  const CFKException record(121, 3, 7, "CTool_QuickPDFLib", "DAOpenFile", "/a\nb.pdf", "/a\nb.pdf", false,
                            "timed out\nafter 30 s");
  const CErrorInfo info = record.GetErrorInfo();
  EXPECT_EQ(info.InternalMessage, "/ab.pdf") << "the internal message of record 121 is the path, line feeds removed";
  EXPECT_EQ(info.Message, "Error while creating CImageObject (timed outafter 30 s)");
}

TEST_F(FKExceptionTest, SystemCausesGiveTheirCodeAndText) {
  errno = ENOENT;
  CFKException lastError(4020, 99, 1, "CTool_Global", "GetOSVersionInfo", "ignored", "", true);
  EXPECT_EQ(lastError.GetErrorInfo().InternalCode, ENOENT);
  EXPECT_EQ(lastError.GetErrorInfo().InternalMessage, "No such file or directory");

  CFileError fileError{EACCES, std::string(300, 'm') + "\n", "/a/b.pdf"};
  const CErrorInfo info = CFKException_General(fileError, 4010, 5, "Tool_FileSystem", "DeleteFileA").GetErrorInfo();
  EXPECT_EQ(info.InternalCode, EACCES);
  EXPECT_EQ(info.InternalMessage, std::string(255, 'm'));
  EXPECT_EQ(info.FileOrDirectory, "/a/b.pdf");
  EXPECT_EQ(info.Code, 4010);
}
