#pragma once

#include <string>
#include <vector>

namespace platform {
class CChildProcess;
}

namespace bench {

// Runs the real service program in monitoring mode over one folder below workDirectory and
// measures how fast a change reaches the catalogue, what the service costs while nothing
// changes, and what watching many directories costs. The XML settling delay given to the
// service is subtracted from every latency; every other setting is the service's default
// unless said otherwise.
class MonitoringBench {
 public:
  struct Options {
    int Changes = 200;                 // changes timed one by one
    int Burst = 10000;                 // XML files of the burst
    int IdleSeconds = 60;              // CPU measured over this long while nothing changes
    int WatchedDirectories = 10000;    // directories of the start-up run; 0 skips it
    int SettleMilliseconds = 250;      // the service's XML settling delay
    int PdfFolders = 10;               // folders a PDF arrives in at once; 0 skips that run
    int PdfPages = 2000;               // pages of each of those PDFs
    int ChangedFolders = 3000;         // folders of the many-folders run, one change each; 0 skips it
    int TimeoutSeconds = 900;
  };
  struct ChangeFigures {
    std::vector<double> Latencies;     // seconds beyond the settling delay, one per change
    double BurstWriteSeconds = 0;      // writing the burst's files
    double BurstSeconds = 0;           // from the last file written until all are searchable, beyond the delay
    double QuietAfterSeconds = 0;      // from the burst's end until the service used no CPU for 5 s
    double IdleCpuSeconds = -1;        // the service's user + system time over the idle time after that
    double PeakMegabytes = 0;          // VmHWM and VmRSS after the burst
    double ResidentMegabytes = 0;
    bool Completed = false;
    std::string ErrorText;
  };
  struct PdfFigures {
    int Folders = 0;
    int WithText = 0;                  // PDFs catalogued with their whole text
    double Seconds = 0;                // from the last PDF written until all are, beyond the delay
    bool Completed = false;
    std::string ErrorText;
  };
  struct StartFigures {
    int Directories = 0;
    double FirstStartSeconds = 0;      // start to end of the first pass, catalogue made afresh
    double StartSeconds = 0;           // the same at the next start, catalogue there
    double ChangeSeconds = 0;          // a change in the last directory, searchable after (beyond the delay)
    double StopSeconds = 0;            // SIGTERM to exit with every directory watched
    double PeakMegabytes = 0;          // VmHWM and VmRSS of the second run after start-up
    double ResidentMegabytes = 0;
    bool Completed = false;
    std::string ErrorText;
  };

  struct FolderFigures {
    int Folders = 0;
    double AllSearchableSeconds = 0;   // from the last change written until every one is searchable, beyond the delay
    long ThreadsBefore = 0;            // threads of the service once every folder is watched
    long ThreadsAfter = 0;             // ... and once every change is applied
    double PeakMegabytes = 0;          // VmHWM and VmRSS then
    double ResidentMegabytes = 0;
    bool Completed = false;
    std::string ErrorText;
  };

  MonitoringBench(const std::string& serviceBinary, const std::string& workDirectory, Options options);

  // Latency of single changes, the burst, then the idle CPU: one run of the service.
  ChangeFigures MeasureChanges();
  // Start-up, memory and stop with Options::WatchedDirectories directories: two runs.
  StartFigures MeasureStart();
  // A PDF of Options::PdfPages pages arriving in each of Options::PdfFolders folders at once,
  // the PDF settling delay set to the XML one: one run.
  PdfFigures MeasureConcurrentPdfs();
  // Options::ChangedFolders folders, each with its catalogue, then one change in each: one run.
  FolderFigures MeasureFolders();

 private:
  // Writes the settings and folder list of one folder over the archive.
  bool WriteProgramDirectory(const std::string& archive, std::string& errorText) const;
  // Starts the service and waits for the end of its first pass over the folders; seconds
  // taken, or -1.
  double StartAndWaitForFirstPass(platform::CChildProcess& service, const std::vector<std::string>& options,
                                  std::string& errorText, int folders = 1) const;
  // Writes an invoice holding the word and waits until a search finds it; seconds from
  // before the write to the first search that found it, or -1 at the timeout.
  double TimeOneChange(const std::string& path, const std::string& word) const;
  bool MeasureBurst(const std::string& archive, ChangeFigures& figures) const;
  void MeasureIdle(int pid, ChangeFigures& figures) const;
  bool WaitForWatchedFolders(PdfFigures& figures) const;
  std::string PdfFolderList(int count) const;
  int CountPassLines() const;
  std::string Catalogue() const { return m_strProgramDirectory + "catalogues/BENCH"; }

  std::string m_strServiceBinary;
  std::string m_strProgramDirectory;
  Options m_Options;
};

// The median of the values (0 for none).
double Median(std::vector<double> values);

}  // namespace bench
