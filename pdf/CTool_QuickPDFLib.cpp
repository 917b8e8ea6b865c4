#include "pdf/CTool_QuickPDFLib.h"

#include <cstdlib>
#include <exception>
#include <fcntl.h>
#include <unistd.h>

#include "errors/CErrorLog.h"
#include "errors/CFKException.h"
#include "pdf/CPDFLibraryBinding.h"
#include "pdf/plugin/FKPdfText.h"

namespace {

const char kPluginName[] = "libfkpdftext.so";
const char kClass[] = "CTool_QuickPDFLib";

// FK_PDFTEXT_PLUGIN names another plug-in (a name or a path), for installations and tests.
std::string PluginName() {
  const char* name = std::getenv("FK_PDFTEXT_PLUGIN");
  return name != nullptr && *name != '\0' ? std::string(name) : std::string(kPluginName);
}

// A document the helper could not read is damaged unless the file itself cannot be opened now.
CTool_QuickPDFLib::Failure Classify(int code, const std::string& path) {
  switch (code) {
    case FKPDFTEXT_ERROR_TIMEOUT:
    case FKPDFTEXT_ERROR_CRASHED:
    case FKPDFTEXT_ERROR_MEMORY:
    case FKPDFTEXT_ERROR_HELPER:
      return CTool_QuickPDFLib::Failure::Passing;
    case FKPDFTEXT_ERROR_ABORTED:
      return CTool_QuickPDFLib::Failure::Abandoned;
    case FKPDFTEXT_ERROR_UNREADABLE: {
      const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
      if (fd < 0) return CTool_QuickPDFLib::Failure::Refused;
      close(fd);
      return CTool_QuickPDFLib::Failure::Damaged;
    }
    default:
      return CTool_QuickPDFLib::Failure::Damaged;
  }
}

}  // namespace

CTool_QuickPDFLib::CTool_QuickPDFLib() {
  m_pBinding = std::make_unique<CPDFLibraryBinding>(PluginName());
  if (!m_pBinding->IsLoaded()) {
    // Why it failed (no such file, a missing function) tells the operator what to reinstall.
    std::string why = m_pBinding->LoadError();
    m_pBinding.reset();
    FKEXCEPTION::CErrorLog::WriteErrorLog(FKEXCEPTION::CFKException(
        FKEXCEPTION::kErrorLoadLibrary, FKEXCEPTION::kErrorLoadLibrary, __LINE__, kClass, kClass, why, "", false));
    return;
  }
  m_bUsable = 1;
}

CTool_QuickPDFLib::~CTool_QuickPDFLib() = default;

int CTool_QuickPDFLib::DAOpenFile(const std::string& path, const std::string& password) {
  if (m_bUsable == 0) return 1;
  // A document left open by a caller would stay in the plug-in's memory for good.
  if (m_nCurrentFile != -1) DACloseFile(-1);
  m_LastFailure = Failure::Read;
  m_nCurrentFile = m_pBinding->DAOpenFile(path, password);
  if (m_nCurrentFile != 0) {
    m_strCurrentPath = path;
    return 1;
  }
  m_nCurrentFile = -1;  // nothing is open
  const int code = m_pBinding->LastErrorCode();
  m_LastFailure = Classify(code, path);
  // An abandoned read is no fault of the document: nothing to record.
  if (m_bQuiet || m_LastFailure == Failure::Abandoned) return 0;
  // The internal message is exactly the path, as the error log's readers expect; the plug-in's
  // reason (a refused file, a helper that timed out or crashed) follows the record's message.
  // The path as file name keeps failures of different documents from being dropped as repeats.
  std::string reason = m_pBinding->LastErrorText();
  if (m_LastFailure == Failure::Passing) reason += std::string(reason.empty() ? "" : "; ") + "retried at growing intervals";
  FKEXCEPTION::CErrorLog::WriteErrorLog(FKEXCEPTION::CFKException(FKEXCEPTION::kErrorCreateImage, code, __LINE__,
                                                                  kClass, "DAOpenFile", path, path, false, reason));
  return 0;
}

std::string CTool_QuickPDFLib::DAExtractText(int fileHandle, int pageSelector, int options) {
  std::string result;
  int handle = fileHandle == -1 ? m_nCurrentFile : fileHandle;
  if (handle == -1 || m_bUsable == 0 || !m_pBinding) return result;
  int first = 1;
  int last = 0;
  try {
    last = m_pBinding->DAGetPageCount(handle);
    if (pageSelector > 0) first = last = pageSelector;  // one page; the service always asks for all
    for (int page = first; page <= last; ++page) {
      if (!result.empty()) result += "\r\n";
      int reference = m_pBinding->DAFindPage(handle, page);
      if (reference != 0) {
        result += m_pBinding->DAExtractPageText(handle, reference, options);
      } else {
        FKEXCEPTION::CErrorLog::WriteErrorLog(
            FKEXCEPTION::CFKException_Image(FKEXCEPTION::kErrorSaveImage, m_pBinding->LastErrorCode(), __LINE__, kClass,
                                            "DAExtractText", m_strCurrentPath, m_pBinding->LastErrorText()));
      }
    }
  } catch (const std::exception&) {
    FKEXCEPTION::CErrorLog::WriteErrorLog(FKEXCEPTION::CFKException_Image(
        FKEXCEPTION::kErrorSaveImage, 0, __LINE__, kClass, "DAExtractText", m_strCurrentPath, ""));
  }
  return result;
}

void CTool_QuickPDFLib::Abort() {
  if (m_bUsable != 0) m_pBinding->Abort();
}

int CTool_QuickPDFLib::DACloseFile(int fileHandle) {
  int handle = fileHandle == -1 ? m_nCurrentFile : fileHandle;
  if (handle == -1 || m_bUsable == 0 || !m_pBinding) return 0;
  m_pBinding->DACloseFile(handle);
  m_nCurrentFile = -1;
  m_strCurrentPath.clear();
  return 1;
}
