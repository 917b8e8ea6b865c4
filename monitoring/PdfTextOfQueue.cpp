#include "monitoring/PdfTextOfTool.h"

#include <string>

#include "pdf/CTool_QuickPDFLib.h"

namespace {

PdfText::Result ResultOf(CTool_QuickPDFLib::Failure failure) {
  switch (failure) {
    case CTool_QuickPDFLib::Failure::Refused:
      return PdfText::Result::Refused;
    case CTool_QuickPDFLib::Failure::Passing:
      return PdfText::Result::Passing;
    default:
      return PdfText::Result::Damaged;
  }
}

}  // namespace

PdfTextReader PdfTextOfTool(CTool_QuickPDFLib* tool) {
  return [tool](const std::string& path) {
    PdfText pdf;
    if (tool == nullptr || !tool->IsUsable()) return pdf;  // NoTool
    if (tool->DAOpenFile(path, "") != 0) {
      pdf.Outcome = PdfText::Result::Read;
      pdf.Text = tool->DAExtractText(-1, -1, 7);
      tool->DACloseFile(-1);
    } else {
      pdf.Outcome = ResultOf(tool->LastFailure());
    }
    return pdf;
  };
}
