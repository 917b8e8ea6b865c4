#pragma once

#include <map>
#include <string>

namespace platform {
class CChildProcess;
}

namespace bench {

// Runs the real service program over a folder holding a tree of PDF invoices and moves that
// tree to another directory of the folder, or into a second folder of the list (across), once
// while the service watches and once while it is stopped (then started), and measures the time
// until every document is catalogued under its new path and the PDF helper's work meanwhile.
class MoveBench {
 public:
  struct Figures {
    int Documents = 0;
    double Seconds = 0;           // watching: from the move; stopped: from the start; until all are there
    int HelperRuns = -1;          // documents given to the PDF helper meanwhile; -1: the plug-in keeps no count
    double HelperCpuSeconds = 0;  // the helper processes' processor time meanwhile
    double ServiceCpuSeconds = 0; // the service's own processor time meanwhile
    bool Completed = false;
    std::string ErrorText;
  };

  MoveBench(const std::string& serviceBinary, const std::string& workDirectory, int pdfCount, int timeoutSeconds);

  Figures MoveWhileWatching(bool across);
  Figures MoveWhileStopped(bool across);

 private:
  struct Work {
    double ServiceCpu = 0;
    int Runs = 0;
    std::map<int, double> HelperCpu;  // by process id, as last seen
  };
  // A new archive of the PDFs under "<archive>/before", catalogued by a first run that is
  // left running in service.
  bool Prepare(platform::CChildProcess& service, std::string& errorText);
  bool Start(platform::CChildProcess& service, std::string& errorText) const;
  // Waits until the catalogue (across: the second folder's) holds every document under
  // directory and none elsewhere.
  bool WaitUntilAllUnder(const std::string& directory, bool across, platform::CChildProcess& service,
                         std::string& errorText) const;
  std::string Destination(bool across) const;
  // Looks at the service's helpers (and, in m_Seen, keeps the last processor time of each:
  // a helper that ends between two looks loses only what it used since the last).
  void SampleHelpers(int servicePid) const;
  Work WorkSoFar(int servicePid) const;
  void Fill(Figures& figures, const Work& before, const Work& after) const;

  std::string m_strServiceBinary;
  std::string m_strProgramDirectory;
  std::string m_strArchive;
  std::string m_strOtherArchive;  // the second folder's
  int m_nPdfCount;
  int m_nTimeoutSeconds;
  mutable std::map<int, double> m_Seen;
};

// Both move runs of pdfCount PDFs, printed beside their targets.
void MeasureMoves(const std::string& serviceBinary, const std::string& workDirectory, int pdfCount,
                  int timeoutSeconds);

}  // namespace bench
