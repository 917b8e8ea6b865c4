#include "flush/PdfTextOfQueue.h"

#include <string>
#include <utility>

#include "pdf/CPdfReaderQueue.h"

namespace {

PdfText::Result ResultOf(CTool_QuickPDFLib::Failure failure) {
  switch (failure) {
    case CTool_QuickPDFLib::Failure::Refused:
      return PdfText::Result::Refused;
    case CTool_QuickPDFLib::Failure::Passing:
      return PdfText::Result::Passing;
    case CTool_QuickPDFLib::Failure::Abandoned:
      return PdfText::Result::Abandoned;
    default:
      return PdfText::Result::Damaged;
  }
}

}  // namespace

PdfTextReader PdfTextOfQueue(CPdfReaderQueue* queue, const bool* quiet) {
  return [queue, quiet](const std::string& path) {
    PdfText pdf;
    if (queue == nullptr || !queue->IsUsable()) return pdf;  // NoTool
    CPdfReaderQueue::SResult read = queue->Read(path, quiet != nullptr && *quiet);
    if (read.bRead) {
      pdf.Outcome = PdfText::Result::Read;
      pdf.Text = std::move(read.Text);
    } else {
      pdf.Outcome = ResultOf(read.Failure);
    }
    return pdf;
  };
}
