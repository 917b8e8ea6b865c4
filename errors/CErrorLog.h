#pragma once

#include <string>

#include "errors/CFKException.h"

namespace FKEXCEPTION {

// The error log file ("FKIndexingServicelogError.txt"): one entry line per accepted error,
// a header before the first entry of the process, at most 100 lines, repeats skipped.
// Process-wide state under one re-entrant lock; callable from any thread.
class CErrorLog {
 public:
  // Sets the file path; false and no change for an empty path.
  static bool SetPath(const std::string& path);
  // True when the entry was written or skipped as a repeat of the previous one;
  // false when no path is set or the file cannot be written.
  static bool WriteErrorLog(const CFKException& error);

  // The entry line of one error, line end included (exact on-disk bytes).
  static std::string FormatEntry(unsigned int counter, const CErrorInfo& info);
  // The six header lines, line ends included.
  static std::string FormatHeader();

  // Test seam: forgets the path, the entry counter and the last entry, as at process start.
  static void ResetForTests();
};

}  // namespace FKEXCEPTION
