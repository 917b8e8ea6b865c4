#pragma once

#include <memory>
#include <string>

#include "catalogue/PdfTextReader.h"

class CPDFLibraryBinding;

// Text of PDF documents through the PDF text plug-in loaded at run time.
// One object serves one document at a time: open, extract and close run back to back
// on one thread. A missing plug-in makes the object unusable (empty texts).
class CTool_QuickPDFLib {
 public:
  CTool_QuickPDFLib();
  ~CTool_QuickPDFLib();
  CTool_QuickPDFLib(const CTool_QuickPDFLib&) = delete;
  CTool_QuickPDFLib& operator=(const CTool_QuickPDFLib&) = delete;

  // 1 when the file is open or the tool is unusable, 0 on failure (error record 121).
  int DAOpenFile(const std::string& path, const std::string& password);
  // Text of all pages (pageSelector -1) of the current file (fileHandle -1), joined by "\r\n".
  std::string DAExtractText(int fileHandle, int pageSelector, int options);
  // 1 when a file was closed, 0 when there was nothing to close.
  int DACloseFile(int fileHandle);

  bool IsUsable() const { return m_bUsable != 0; }

  // Why the last DAOpenFile failed (Read when it did not): Refused (permission, I/O), Passing
  // (the helper's deadline, crash or memory cap, or no helper), Damaged (damaged, not a PDF,
  // protected, too much text) or Abandoned (aborted: says nothing of the document).
  using Failure = PdfText::Result;
  Failure LastFailure() const { return m_LastFailure; }
  // While quiet, a failed DAOpenFile writes no record 121 (a retry of a document already reported).
  void SetQuiet(bool quiet) { m_bQuiet = quiet; }
  // From any thread while the tool lives: the read in progress fails at once as Abandoned, and
  // so does every later one (its helper process is ended).
  void Abort();

 private:
  int m_bUsable = 0;
  std::unique_ptr<CPDFLibraryBinding> m_pBinding;
  int m_nCurrentFile = -1;
  std::string m_strCurrentPath;  // of the current file, for error records
  Failure m_LastFailure = Failure::Read;
  bool m_bQuiet = false;
};
