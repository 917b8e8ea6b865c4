#pragma once

namespace FKEXCEPTION {

// The suite's error codes, as the error log writes them beside their message-table text.
enum ErrorCode : int {
  kErrorUnknown = 0,              // "There's an error !"
  kErrorCreateImage = 121,        // "Error while creating CImageObject"
  kErrorSaveImage = 140,          // "Error when saving image"
  kErrorLoadFile = 4003,          // "Impossible to load file"
  kErrorDeleteFile = 4010,        // "Impossible to delete file"
  kErrorVersionNotFound = 4020,   // "RtlGetVersion was not found"
  kErrorVersionFailed = 4021,     // "RtlGetVersion failed"
  kErrorLoadLibrary = 11001,      // "Error when loading dll. Check installation"
};

}  // namespace FKEXCEPTION
