#include "flush/PdfTextOfQueue.h"

#include <string>
#include <utility>

#include "pdf/CPdfReaderQueue.h"

PdfTextReader PdfTextOfQueue(CPdfReaderQueue* queue, const bool* quiet) {
  return [queue, quiet](const std::string& path) {
    PdfText pdf;
    if (queue == nullptr || !queue->IsUsable()) return pdf;  // NoTool
    CPdfReaderQueue::SResult read = queue->Read(path, quiet != nullptr && *quiet);
    if (read.bRead) {
      pdf.Outcome = PdfText::Result::Read;
      pdf.Text = std::move(read.Text);
    } else {
      // A read that failed without a reason is taken as a damaged document.
      pdf.Outcome = read.Failure == PdfText::Result::Read ? PdfText::Result::Damaged : read.Failure;
    }
    return pdf;
  };
}
