#include "bench/MoveBench.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <map>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>

#include "bench/ArchiveGenerator.h"
#include "bench/BenchReport.h"
#include "bench/BenchService.h"
#include "bench/CatalogueBench.h"
#include "catalogue/LSearcher.h"
#include "platform/CChildProcess.h"
#include "platform/PeakMemory.h"

namespace fs = boost::filesystem;

namespace bench {

namespace {

// Short settling delays, so that the figures are the service's work and not its waiting.
const char kSettleMs[] = "250";

void Pause(int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

void StopService(platform::CChildProcess& service) {
  int exitCode = 0;
  service.Signal(false);
  if (!service.WaitForExit(60000, exitCode)) service.Kill();
}

// Documents handed to the PDF helper and their processor time, from the plug-in's count file.
void ReadRunCount(const std::string& file, int& runs, double& cpuSeconds) {
  std::ifstream count(file);
  runs = 0;
  cpuSeconds = 0;
  for (std::string line; std::getline(count, line); ++runs) {
    const size_t tab = line.rfind('\t');
    if (tab != std::string::npos) cpuSeconds += std::atof(line.c_str() + tab + 1) / 1000.0;
  }
}

}  // namespace

MoveBench::MoveBench(const std::string& serviceBinary, const std::string& workDirectory, int pdfCount,
                     int timeoutSeconds)
    : m_strServiceBinary(serviceBinary),
      m_strProgramDirectory(workDirectory + "/move-service/"),
      m_strArchive(workDirectory + "/move-archive"),
      m_strOtherArchive(workDirectory + "/move-other"),
      m_nPdfCount(pdfCount),
      m_nTimeoutSeconds(timeoutSeconds) {}

bool MoveBench::Prepare(platform::CChildProcess& service, std::string& errorText) {
  m_Seen.clear();
  boost::system::error_code ec;
  fs::remove_all(m_strProgramDirectory, ec);
  fs::remove_all(m_strArchive, ec);
  fs::remove_all(m_strOtherArchive, ec);
  fs::create_directories(m_strOtherArchive, ec);
  ArchiveGenerator::Options options;
  options.XmlCount = 0;
  options.PdfCount = m_nPdfCount;
  options.SkipEvery = 0;
  ArchiveGenerator generator(options);
  if (!generator.Generate(m_strArchive + "/before", errorText)) return false;
  fs::create_directories(m_strArchive + "/later", ec);
  if (!WriteServiceProgramDirectory(m_strProgramDirectory, m_strProgramDirectory + "catalogues", "",
                                    "<Reference>MOVES</Reference><Name>Moves</Name><ArchivePath>" + m_strArchive +
                                        "</ArchivePath><Catalogue><UseMIS>TRUE</UseMIS></Catalogue></Folder>\n"
                                        "  <Folder><Reference>OTHER</Reference><Name>Other</Name><ArchivePath>" +
                                        m_strOtherArchive + "</ArchivePath>",
                                    errorText)) {
    return false;
  }
  // Written well before the first pass: a file of the very second of its read is read once more.
  const std::time_t earlier = std::time(nullptr) - 100;
  for (fs::recursive_directory_iterator entry(m_strArchive, ec), end; !ec && entry != end; entry.increment(ec)) {
    if (fs::is_regular_file(entry->path())) fs::last_write_time(entry->path(), earlier, ec);
  }
  return Start(service, errorText) && WaitUntilAllUnder(m_strArchive + "/before/", false, service, errorText);
}

bool MoveBench::Start(platform::CChildProcess& service, std::string& errorText) const {
  const std::vector<std::string> argv = {m_strServiceBinary, "--program-dir", m_strProgramDirectory,
                                         "--xml-settle-ms", kSettleMs, "--other-settle-ms", kSettleMs,
                                         // Two folders: no pause between their passes in the figures.
                                         "--folder-pause-ms", "10"};
  const std::map<std::string, std::string> environment = {
      {"FK_LOCK_DIR", m_strProgramDirectory + "locks"},
      {"FK_OPTIONS_FILE", m_strProgramDirectory + "no-options.ini"},
      {"FK_PDFTEXT_RUN_COUNT_FILE", m_strProgramDirectory + "helper-runs"}};
  if (service.Start(argv, environment)) return true;
  errorText = "cannot start " + m_strServiceBinary;
  return false;
}

std::string MoveBench::Destination(bool across) const {
  return across ? m_strOtherArchive + "/moved" : m_strArchive + "/later/moved";
}

bool MoveBench::WaitUntilAllUnder(const std::string& directory, bool across, platform::CChildProcess& service,
                                  std::string& errorText) const {
  const std::string source = m_strProgramDirectory + "catalogues/MOVES";
  const std::string catalogue = across ? m_strProgramDirectory + "catalogues/OTHER" : source;
  const double start = NowSeconds();
  int exitCode = 0;
  while (NowSeconds() - start < m_nTimeoutSeconds) {
    LSearcher searcher;
    SampleHelpers(service.GetPid());
    if (searcher.Count(directory, catalogue) == m_nPdfCount &&
        searcher.Count(source) == (across ? 0 : m_nPdfCount)) {
      return true;
    }
    if (service.WaitForExit(0, exitCode)) {
      errorText = "the service ended early with status " + std::to_string(exitCode);
      return false;
    }
    Pause(20);
  }
  errorText = "not every document under " + directory + " within " + std::to_string(m_nTimeoutSeconds) + " s";
  return false;
}

void MoveBench::SampleHelpers(int servicePid) const {
  for (int child : platform::ChildProcessesOf(servicePid)) {
    const double cpu = platform::ProcessCpuSecondsOf(child);
    if (cpu >= 0) m_Seen[child] = cpu;
  }
}

MoveBench::Work MoveBench::WorkSoFar(int servicePid) const {
  Work work;
  work.ServiceCpu = platform::ProcessCpuSecondsOf(servicePid);
  SampleHelpers(servicePid);
  work.HelperCpu = m_Seen;
  double counted = 0;
  ReadRunCount(m_strProgramDirectory + "helper-runs", work.Runs, counted);
  return work;
}

void MoveBench::Fill(Figures& figures, const Work& before, const Work& after) const {
  figures.Documents = m_nPdfCount;
  for (const auto& [pid, cpu] : after.HelperCpu) {
    const auto earlier = before.HelperCpu.find(pid);
    figures.HelperCpuSeconds += cpu - (earlier != before.HelperCpu.end() ? earlier->second : 0.0);
  }
  figures.ServiceCpuSeconds = after.ServiceCpu - before.ServiceCpu;
  // A plug-in that keeps no count leaves no file at all, not even after the first run.
  figures.HelperRuns = fs::exists(m_strProgramDirectory + "helper-runs") ? after.Runs - before.Runs : -1;
  figures.Completed = true;
}

MoveBench::Figures MoveBench::MoveWhileWatching(bool across) {
  Figures figures;
  platform::CChildProcess service;
  if (!Prepare(service, figures.ErrorText)) return figures;
  Pause(1000);  // the first pass's last commits and the helper's idle end
  const Work before = WorkSoFar(service.GetPid());
  const double start = NowSeconds();
  fs::rename(m_strArchive + "/before", Destination(across));
  if (WaitUntilAllUnder(Destination(across) + "/", across, service, figures.ErrorText)) {
    figures.Seconds = NowSeconds() - start;
    Fill(figures, before, WorkSoFar(service.GetPid()));
  }
  StopService(service);
  return figures;
}

MoveBench::Figures MoveBench::MoveWhileStopped(bool across) {
  Figures figures;
  platform::CChildProcess service;
  if (!Prepare(service, figures.ErrorText)) return figures;
  Pause(1000);
  StopService(service);
  Work before;
  double counted = 0;
  ReadRunCount(m_strProgramDirectory + "helper-runs", before.Runs, counted);
  m_Seen.clear();
  fs::rename(m_strArchive + "/before", Destination(across));
  const double start = NowSeconds();
  if (Start(service, figures.ErrorText) &&
      WaitUntilAllUnder(Destination(across) + "/", across, service, figures.ErrorText)) {
    figures.Seconds = NowSeconds() - start;
    Fill(figures, before, WorkSoFar(service.GetPid()));
  }
  StopService(service);
  return figures;
}

namespace {

void ReportMove(const char* label, const MoveBench::Figures& figures) {
  if (!figures.Completed) {
    std::printf("  %s: %s\n", label, figures.ErrorText.c_str());
    return;
  }
  const std::string runs = figures.HelperRuns < 0 ? std::string("not counted") : std::to_string(figures.HelperRuns);
  Info(label, Format("%.2f s", figures.Seconds) + " for " + std::to_string(figures.Documents) + " PDFs");
  Report("  PDF helper runs / its processor time",
         runs + " / " + Format("%.2f s", figures.HelperCpuSeconds), "0", figures.HelperRuns == 0);
  Info("  the service's own processor time", Format("%.2f s", figures.ServiceCpuSeconds));
}

}  // namespace

void MeasureMoves(const std::string& serviceBinary, const std::string& workDirectory, int pdfCount,
                  int timeoutSeconds) {
  std::printf("a tree of %d PDFs moved inside a watched folder (settling delays 250 ms)\n", pdfCount);
  MoveBench bench(serviceBinary, workDirectory, pdfCount, timeoutSeconds);
  ReportMove("moved while watched: all under the new path", bench.MoveWhileWatching(false));
  std::fflush(stdout);
  ReportMove("moved while stopped: start to all there", bench.MoveWhileStopped(false));
  std::fflush(stdout);
  std::printf("the same tree moved into another folder of the list\n");
  ReportMove("moved while watched: all in the other catalogue", bench.MoveWhileWatching(true));
  std::fflush(stdout);
  ReportMove("moved while stopped: start to all in the other catalogue", bench.MoveWhileStopped(true));
  std::fflush(stdout);
}

}  // namespace bench
