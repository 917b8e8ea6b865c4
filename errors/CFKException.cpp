#include "errors/CFKException.h"

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "errors/CErrorLog.h"
#include "platform/ErrnoText.h"

namespace FKEXCEPTION {

namespace {

const size_t kMaxFileErrorMessage = 255;

std::string WithoutLineFeeds(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
  return text;
}

CErrorInfo MakeInfo(int code, int internalCode, int line, const std::string& module,
                    const std::string& function, const std::string& internalMessage,
                    const std::string& fileOrDirectory, const std::string& reason = std::string()) {
  CErrorInfo info;
  info.Time = static_cast<std::int64_t>(std::time(nullptr));
  info.Module = module;
  info.Function = function;
  info.Line = line;
  info.Code = code;
  info.InternalCode = internalCode;
  info.InternalMessage = WithoutLineFeeds(internalMessage);
  info.Message = CFKException::GetErrorText(code);
  if (!reason.empty()) info.Message += " (" + WithoutLineFeeds(reason) + ")";
  // Kept as it is: the error log escapes its control characters, so one entry stays one line.
  info.FileOrDirectory = fileOrDirectory;
  return info;
}

}  // namespace

CFKException::CFKException(int code, int internalCode, int line, const std::string& module, const std::string& function,
                           const std::string& internalMessage, const std::string& fileOrDirectory, bool useLastError,
                           const std::string& reason) {
  const int lastError = errno;
  if (useLastError) {
    m_Info = MakeInfo(code, lastError, line, module, function, platform::ErrnoText(lastError),
                      fileOrDirectory);
  } else {
    m_Info = MakeInfo(code, internalCode, line, module, function, internalMessage, fileOrDirectory, reason);
  }
}

CFKException::CFKException(const CFileError& error, int code, int line, const std::string& module,
                           const std::string& function) {
  m_Info = MakeInfo(code, error.Cause, line, module, function, error.Message.substr(0, kMaxFileErrorMessage),
                    error.FileName);
}

int CFKException::GetErrorCode() const { return m_Info.Code; }

std::string CFKException::GetErrorMessage() const { return GetErrorText(m_Info.Code); }

CErrorInfo CFKException::GetErrorInfo() const { return m_Info; }

bool CFKException::SetErrorLogFile(const std::string& path) { return CErrorLog::SetPath(path); }

std::string CFKException::GetErrorText(int code) {
  switch (code) {
    case kErrorUnknown: return "There's an error !";
    case kErrorCreateImage: return "Error while creating CImageObject";
    case kErrorSaveImage: return "Error when saving image";
    case kErrorLoadFile: return "Impossible to load file";
    case kErrorDeleteFile: return "Impossible to delete file";
    case kErrorVersionNotFound: return "RtlGetVersion was not found";
    case kErrorVersionFailed: return "RtlGetVersion failed";
    case kErrorLoadLibrary: return "Error when loading dll. Check installation";
    default: return std::string();
  }
}

CFKException_General::CFKException_General(int code, int internalCode, int line, const std::string& module,
                                           const std::string& function, const std::string& internalMessage,
                                           const std::string& fileOrDirectory)
    : CFKException(code, internalCode, line, module, function, internalMessage, fileOrDirectory, false) {}

CFKException_General::CFKException_General(const CFileError& error, int code, int line, const std::string& module,
                                           const std::string& function)
    : CFKException(error, code, line, module, function) {}

CFKException_Image::CFKException_Image(int code, int internalCode, int line, const std::string& module,
                                       const std::string& function, const std::string& fileOrDirectory,
                                       const std::string& internalMessage)
    : CFKException(code, internalCode, line, module, function, internalMessage, fileOrDirectory, false) {}

}  // namespace FKEXCEPTION
