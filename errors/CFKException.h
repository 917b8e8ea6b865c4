#pragma once

#include <cstdint>
#include <string>

#include "errors/ErrorCodes.h"

// Error records of the suite: one is made at the point of failure and handed to
// CErrorLog::WriteErrorLog, which appends it to the error log. Plain values; never thrown.
namespace FKEXCEPTION {

// The record of one error.
struct CErrorInfo {
  std::string Module;
  std::string Function;
  int Line = 0;
  std::int64_t Time = 0;  // seconds since 1970, UTC
  int Code = 0;
  int InternalCode = 0;
  std::string InternalMessage;  // line feeds removed
  std::string Message;          // message-table text of Code, then the reason in brackets when given
  std::string FileOrDirectory;  // as given; the error log escapes its control characters
};

// A failed file operation: the errno cause, its text and the file concerned.
struct CFileError {
  int Cause = 0;
  std::string Message;
  std::string FileName;
};

class CFKException {
 public:
  // useLastError takes errno (and its text) in place of internalCode/internalMessage.
  // A reason, when given, follows the message-table text: "Error while creating CImageObject
  // (timed out after 30 s)", leaving the internal message as it is.
  CFKException(int code, int internalCode, int line, const std::string& module, const std::string& function,
               const std::string& internalMessage, const std::string& fileOrDirectory, bool useLastError,
               const std::string& reason = std::string());
  CFKException(const CFileError& error, int code, int line, const std::string& module, const std::string& function);

  int GetErrorCode() const;
  std::string GetErrorMessage() const;
  CErrorInfo GetErrorInfo() const;

  // Sets the error log file path; false and no change for an empty path.
  static bool SetErrorLogFile(const std::string& path);
  // The suite's message for a code; "" for a code without a row.
  static std::string GetErrorText(int code);

 protected:
  CErrorInfo m_Info;
};

class CFKException_General : public CFKException {
 public:
  CFKException_General(int code, int internalCode, int line, const std::string& module,
                       const std::string& function, const std::string& internalMessage,
                       const std::string& fileOrDirectory);
  CFKException_General(const CFileError& error, int code, int line, const std::string& module,
                       const std::string& function);
};

class CFKException_Image : public CFKException {
 public:
  // Note the order: file or directory comes before the internal message.
  CFKException_Image(int code, int internalCode, int line, const std::string& module, const std::string& function,
                     const std::string& fileOrDirectory, const std::string& internalMessage);
};

}  // namespace FKEXCEPTION
