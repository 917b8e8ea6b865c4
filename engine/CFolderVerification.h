#pragma once

#include <cstdint>
#include <map>
#include <string>

class CCatalogueLayout;
class CEnginePacing;
class CEngineWalkHost;
class CFolderSessions;
class CStatusLines;
class Dom_FolderList;
struct CEngineParameters;
namespace FK {
class CFolder;
}
namespace platform {
class CStopLatch;
}

// The verification pass of watched folders: at the interval of the settings, every watched
// folder is reconciled in full, at the lowest priority, as a polling pass would, and what that
// had to mend is said. A watch that missed nothing mends nothing; a mend is a change the watch
// missed (a file written through a memory mapping raises no event), said as an error. Worker
// thread only; owned by the engine, whose parts it points to outlive it.
class CFolderVerification {
 public:
  // What the verifications of one folder mended, for the status.
  struct Result {
    std::int64_t LastTime = 0;  // when the last complete one ended (seconds)
    std::int64_t Added = 0;     // in the last one
    std::int64_t Replaced = 0;
    std::int64_t Removed = 0;
    std::int64_t MendedInAll = 0;  // in every one of this run
  };

  CFolderVerification(const CEngineParameters& parameters, CEngineWalkHost& host, CEnginePacing& pacing,
                      CStatusLines& status, const CCatalogueLayout& layout, CFolderSessions& sessions);

  // When the interval has passed since the last one (or the start), verifies every watched
  // folder of the list; one whose catalogue is found damaged is left to the next pass.
  void RunWhenDue(Dom_FolderList& folderList, platform::CStopLatch* stop);
  const std::map<std::string, Result>& Results() const { return m_Results; }

 private:
  // False when it did not complete (a stop, a failure: said).
  bool Verify(const FK::CFolder& folder, platform::CStopLatch* stop, Result& mends);
  bool VerifyDirectories(const FK::CFolder& folder, const std::string& catalogue, platform::CStopLatch* stop,
                         Result& mends);
  void Report(const FK::CFolder& folder, const Result& mends);

  const CEngineParameters& m_Parameters;
  CEngineWalkHost& m_Host;
  CEnginePacing& m_Pacing;
  CStatusLines& m_Status;
  const CCatalogueLayout& m_Layout;
  CFolderSessions& m_Sessions;
  std::int64_t m_nLastRun;
  std::map<std::string, Result> m_Results;  // by folder reference
};
