#pragma once

#include <functional>
#include <string>

// What reading a PDF document's text gave. The catalogue writer holder asks a reader for it
// before it takes the catalogue's writer; the engine supplies one made on its PDF tool.
struct PdfText {
  enum class Result {
    Read,     // Text holds the document's text
    Refused,  // the file cannot be opened now (permission, I/O)
    Passing,  // a passing failure (the helper's deadline, crash or memory cap)
    Damaged,  // cannot be read as it is (damaged, not a PDF, protected)
    NoTool,   // no usable PDF plug-in
    Abandoned // the read was cut short by a stop of the service: nothing is known of the document
  };
  Result Outcome = Result::NoTool;
  std::string Text;
};

// An empty reader stands for no usable PDF plug-in.
using PdfTextReader = std::function<PdfText(const std::string& path)>;
