#pragma once

#include <string>

#include "tools/ServiceStatus.h"

// Reads and writes the service's status file. Writing replaces the file atomically; reading
// trusts nothing: a missing, truncated, unparsable or other-version file is said as such.
class ServiceStatusFile {
 public:
  struct ReadResult {
    bool Ok = false;
    std::string Reason;  // why the file is not usable (with its path) when !Ok
    std::string Text;    // the file as read
    ServiceStatus Status;
  };

  static std::string PathIn(const std::string& programDirectory);
  static std::string ToJson(const ServiceStatus& status);
  // Parses text; false with reason set when it is not a status of this format version.
  static bool FromJson(const std::string& text, ServiceStatus& status, std::string& reason);

  static bool Write(const std::string& path, const ServiceStatus& status, std::string& why);
  static ReadResult Read(const std::string& path);
};
