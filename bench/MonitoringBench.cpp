#include "bench/MonitoringBench.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

#include <boost/filesystem.hpp>

#include "bench/BenchService.h"
#include "bench/CatalogueBench.h"
#include "bench/PdfWriter.h"
#include "catalogue/LSearcher.h"
#include "platform/CChildProcess.h"
#include "platform/PeakMemory.h"

namespace fs = boost::filesystem;

namespace bench {

namespace {

constexpr const char* kFolderName = "Monitored Archive";

std::string Invoice(const std::string& word) {
  return "<?xml version=\"1.0\"?><Invoice><Supplier>Acme Supplies</Supplier><Number>" + word +
         "</Number><Amount>12.50</Amount></Invoice>";
}

bool Found(const std::string& catalogue, const std::string& word) {
  const auto result = LSearcher().Search(word, catalogue);
  return result && result->Count > 0;
}

void Pause(int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

void StopService(platform::CChildProcess& service) {
  int exitCode = 0;
  service.Signal(false);
  if (!service.WaitForExit(60000, exitCode)) service.Kill();
}

}  // namespace

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

MonitoringBench::MonitoringBench(const std::string& serviceBinary, const std::string& workDirectory, Options options)
    : m_strServiceBinary(serviceBinary), m_strProgramDirectory(workDirectory + "/service/"), m_Options(options) {}

bool MonitoringBench::WriteProgramDirectory(const std::string& archive, std::string& errorText) const {
  return WriteServiceProgramDirectory(
      m_strProgramDirectory, m_strProgramDirectory + "catalogues", "",
      std::string("<Reference>BENCH</Reference><Name>") + kFolderName + "</Name><ArchivePath>" + archive + "</ArchivePath>",
      errorText);
}

int MonitoringBench::CountPassLines() const {
  std::ifstream file(m_strProgramDirectory + "FKIndexing.log", std::ios::binary);
  const std::string log((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::string line = "\tstarting monitoring for folder ";
  int count = 0;
  for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + line.size())) ++count;
  return count;
}

double MonitoringBench::StartAndWaitForFirstPass(platform::CChildProcess& service,
                                                 const std::vector<std::string>& options,
                                                 std::string& errorText, int folders) const {
  std::vector<std::string> argv = {m_strServiceBinary, "--program-dir", m_strProgramDirectory, "--xml-settle-ms",
                                   std::to_string(m_Options.SettleMilliseconds)};
  argv.insert(argv.end(), options.begin(), options.end());
  const std::map<std::string, std::string> environment = {
      {"FK_LOCK_DIR", m_strProgramDirectory + "locks"}, {"FK_OPTIONS_FILE", m_strProgramDirectory + "no-options.ini"}};
  boost::system::error_code ec;
  fs::remove(m_strProgramDirectory + "FKIndexing.log", ec);
  const double start = NowSeconds();
  if (!service.Start(argv, environment)) {
    errorText = "cannot start " + m_strServiceBinary;
    return -1;
  }
  int exitCode = 0;
  while (NowSeconds() - start < m_Options.TimeoutSeconds) {
    if (CountPassLines() >= folders) return NowSeconds() - start;
    if (service.WaitForExit(0, exitCode)) {
      errorText = "the service ended early with status " + std::to_string(exitCode);
      return -1;
    }
    Pause(5);
  }
  errorText = "no first pass within " + std::to_string(m_Options.TimeoutSeconds) + " s";
  return -1;
}

double MonitoringBench::TimeOneChange(const std::string& path, const std::string& word) const {
  const double start = NowSeconds();
  if (!WriteFile(path, Invoice(word))) return -1;
  while (NowSeconds() - start < 60) {
    if (Found(Catalogue(), word)) return NowSeconds() - start;
    Pause(2);
  }
  return -1;
}

// The burst: new directories below the year, 100 files each; false (ErrorText) when it was not
// searchable in time.
bool MonitoringBench::MeasureBurst(const std::string& archive, ChangeFigures& figures) const {
  const double settle = m_Options.SettleMilliseconds / 1000.0;
  const std::string burst = archive + "2024/burst/";
  const double writeStart = NowSeconds();
  for (int i = 0; i < m_Options.Burst; ++i) {
    const std::string directory = burst + "d" + std::to_string(i / 100) + "/";
    if (i % 100 == 0) fs::create_directories(directory);
    WriteFile(directory + "b" + std::to_string(i) + ".xml", Invoice("Burstword" + std::to_string(i)));
  }
  const double written = NowSeconds();
  figures.BurstWriteSeconds = written - writeStart;
  while (LSearcher().Count(burst, Catalogue()) < m_Options.Burst) {
    if (NowSeconds() - written > m_Options.TimeoutSeconds) {
      figures.ErrorText = "the burst was not searchable within " + std::to_string(m_Options.TimeoutSeconds) + " s";
      return false;
    }
    Pause(10);
  }
  figures.BurstSeconds = NowSeconds() - written - settle;
  return true;
}

// The service's processor time while nothing changes, once it has settled.
void MonitoringBench::MeasureIdle(int pid, ChangeFigures& figures) const {
  // Nothing changes from here on. Documents read in the second they were written are read
  // once more a few seconds later: the idle time starts once the service has used no
  // processor time for five seconds in a row.
  const double quietStart = NowSeconds();
  double lastCpu = platform::ProcessCpuSecondsOf(pid);
  for (double quietSince = NowSeconds(); NowSeconds() - quietSince < 5 && NowSeconds() - quietStart < 120;) {
    Pause(500);
    const double cpu = platform::ProcessCpuSecondsOf(pid);
    if (cpu != lastCpu) quietSince = NowSeconds();
    lastCpu = cpu;
  }
  figures.QuietAfterSeconds = NowSeconds() - quietStart;
  const double cpuBefore = platform::ProcessCpuSecondsOf(pid);
  Pause(m_Options.IdleSeconds * 1000);
  const double cpuAfter = platform::ProcessCpuSecondsOf(pid);
  if (cpuBefore >= 0 && cpuAfter >= 0) figures.IdleCpuSeconds = cpuAfter - cpuBefore;
}

MonitoringBench::ChangeFigures MonitoringBench::MeasureChanges() {
  ChangeFigures figures;
  const std::string archive = m_strProgramDirectory + "archive/";
  // Twelve month directories below a year, a few invoices in each.
  for (int month = 1; month <= 12; ++month) {
    const std::string directory = archive + "2024/" + std::to_string(month) + "/";
    fs::create_directories(directory);
    for (int i = 0; i < 10; ++i) WriteFile(directory + "old" + std::to_string(i) + ".xml", Invoice("Old"));
  }
  if (!WriteProgramDirectory(archive, figures.ErrorText)) return figures;
  platform::CChildProcess service;
  if (StartAndWaitForFirstPass(service, {}, figures.ErrorText) < 0) return figures;

  // One change at a time, half of them new files, half rewritten ones, each left to settle.
  const double settle = m_Options.SettleMilliseconds / 1000.0;
  for (int i = 0; i < m_Options.Changes; ++i) {
    const std::string directory = archive + "2024/" + std::to_string(i % 12 + 1) + "/";
    const std::string path = directory + (i % 2 == 0 ? "new" + std::to_string(i) : "old" + std::to_string(i % 10));
    const double seconds = TimeOneChange(path + ".xml", "Changeword" + std::to_string(i));
    if (seconds < 0) {
      figures.ErrorText = "change " + std::to_string(i) + " not searchable within 60 s";
      StopService(service);
      return figures;
    }
    figures.Latencies.push_back(seconds - settle);
  }

  if (!MeasureBurst(archive, figures)) {
    StopService(service);
    return figures;
  }
  figures.PeakMegabytes = platform::ProcessStatusKiB(service.GetPid(), "VmHWM:") * 1024.0 / 1e6;
  figures.ResidentMegabytes = platform::ProcessStatusKiB(service.GetPid(), "VmRSS:") * 1024.0 / 1e6;

  MeasureIdle(service.GetPid(), figures);
  figures.Completed = true;
  StopService(service);
  return figures;
}

MonitoringBench::StartFigures MonitoringBench::MeasureStart() {
  StartFigures figures;
  const std::string archive = m_strProgramDirectory + "archive/";
  // First-level directories of up to 100 each, one invoice in every directory below them.
  int made = 0;
  std::string lastDirectory;
  for (int top = 0; made < m_Options.WatchedDirectories; ++top) {
    const std::string first = archive + "s" + std::to_string(top) + "/";
    fs::create_directories(first);
    ++made;
    for (int sub = 0; sub < 99 && made < m_Options.WatchedDirectories; ++sub, ++made) {
      lastDirectory = first + "m" + std::to_string(sub) + "/";
      fs::create_directories(lastDirectory);
      WriteFile(lastDirectory + "invoice.xml", Invoice("Word" + std::to_string(made)));
    }
  }
  figures.Directories = made;
  if (!WriteProgramDirectory(archive, figures.ErrorText)) return figures;
  // The pacing pauses are left out, as in the other start-up figures.
  const std::vector<std::string> unpaced = {"--pause-ms", "0", "--folder-pause-ms", "0"};
  {
    platform::CChildProcess service;
    figures.FirstStartSeconds = StartAndWaitForFirstPass(service, unpaced, figures.ErrorText);
    if (figures.FirstStartSeconds < 0) return figures;
    const double stopStart = NowSeconds();
    StopService(service);
    figures.StopSeconds = NowSeconds() - stopStart;
  }
  platform::CChildProcess service;
  figures.StartSeconds = StartAndWaitForFirstPass(service, unpaced, figures.ErrorText);
  if (figures.StartSeconds < 0) return figures;
  figures.ChangeSeconds = TimeOneChange(lastDirectory + "late.xml", "Latestartword");
  figures.PeakMegabytes = platform::ProcessStatusKiB(service.GetPid(), "VmHWM:") * 1024.0 / 1e6;
  figures.ResidentMegabytes = platform::ProcessStatusKiB(service.GetPid(), "VmRSS:") * 1024.0 / 1e6;
  if (figures.ChangeSeconds < 0) {
    figures.ErrorText = "a change in the last directory was not searchable within 60 s";
  } else {
    figures.ChangeSeconds -= m_Options.SettleMilliseconds / 1000.0;
    figures.Completed = true;
  }
  StopService(service);
  return figures;
}

// The folders of the PDF run, each with its archive directory made.
std::string MonitoringBench::PdfFolderList(int count) const {
  std::string folders;
  for (int i = 0; i < count; ++i) {
    const std::string archive = m_strProgramDirectory + "pdfs/p" + std::to_string(i) + "/";
    fs::create_directories(archive);
    // One <Folder> element is written around them all: each folder closes the one before.
    if (i > 0) folders += "<Catalogue><UseMIS>TRUE</UseMIS></Catalogue></Folder>\n  <Folder>";
    folders += "<Reference>P" + std::to_string(i) + "</Reference><Name>Pdf " + std::to_string(i) +
               "</Name><ArchivePath>" + archive + "</ArchivePath>";
  }
  return folders;
}

// Every PDF folder is watched; false (ErrorText) when not in time.
bool MonitoringBench::WaitForWatchedFolders(PdfFigures& figures) const {
  const double started = NowSeconds();
  for (int i = 0; i < figures.Folders; ++i) {
    while (CountLogLines(m_strProgramDirectory, "starting monitoring for folder Pdf " + std::to_string(i)) < 1) {
      if (NowSeconds() - started > m_Options.TimeoutSeconds) {
        figures.ErrorText = "not every folder was watched within " + std::to_string(m_Options.TimeoutSeconds) + " s";
        return false;
      }
      Pause(10);
    }
  }
  return true;
}

MonitoringBench::PdfFigures MonitoringBench::MeasureConcurrentPdfs() {
  PdfFigures figures;
  figures.Folders = m_Options.PdfFolders;
  if (!WriteServiceProgramDirectory(m_strProgramDirectory, m_strProgramDirectory + "catalogues", "",
                                    PdfFolderList(figures.Folders), figures.ErrorText)) {
    return figures;
  }
  // Every folder is watched before the PDFs arrive: the pause between folders is left out.
  const std::vector<std::string> argv = {m_strServiceBinary, "--program-dir", m_strProgramDirectory,
                                         "--other-settle-ms", std::to_string(m_Options.SettleMilliseconds),
                                         "--folder-pause-ms", "0"};
  const std::map<std::string, std::string> environment = {
      {"FK_LOCK_DIR", m_strProgramDirectory + "locks"}, {"FK_OPTIONS_FILE", m_strProgramDirectory + "no-options.ini"}};
  platform::CChildProcess service;
  if (!service.Start(argv, environment)) {
    figures.ErrorText = "cannot start " + m_strServiceBinary;
    return figures;
  }
  if (!WaitForWatchedFolders(figures)) {
    StopService(service);
    return figures;
  }
  // Written aside and renamed in, so that the documents arrive whole and together.
  std::vector<std::string> pages;
  for (int page = 0; page < m_Options.PdfPages; ++page) pages.push_back(Invoice("Line" + std::to_string(page)));
  for (int i = 0; i < figures.Folders; ++i) {
    pages.back() = "Lastpageword" + std::to_string(i);
    WritePdf(m_strProgramDirectory + "pdfs/p" + std::to_string(i) + ".pdf", pages);
  }
  for (int i = 0; i < figures.Folders; ++i) {
    const std::string name = m_strProgramDirectory + "pdfs/p" + std::to_string(i);
    fs::rename(name + ".pdf", name + "/invoice.pdf");
  }
  const double written = NowSeconds();
  while (NowSeconds() - written < m_Options.TimeoutSeconds) {
    figures.WithText = 0;
    for (int i = 0; i < figures.Folders; ++i) {
      const std::string catalogue = m_strProgramDirectory + "catalogues/P" + std::to_string(i);
      if (Found(catalogue, "Lastpageword" + std::to_string(i))) ++figures.WithText;
    }
    if (figures.WithText == figures.Folders) break;
    Pause(50);
  }
  figures.Seconds = NowSeconds() - written - m_Options.SettleMilliseconds / 1000.0;
  figures.Completed = figures.WithText == figures.Folders;
  if (!figures.Completed) {
    figures.ErrorText = std::to_string(figures.WithText) + " of " + std::to_string(figures.Folders) +
                        " PDFs with their text after " + std::to_string(m_Options.TimeoutSeconds) + " s";
  }
  StopService(service);
  return figures;
}

MonitoringBench::FolderFigures MonitoringBench::MeasureFolders() {
  FolderFigures figures;
  figures.Folders = m_Options.ChangedFolders;
  std::string folders;
  for (int i = 0; i < figures.Folders; ++i) {
    const std::string archive = m_strProgramDirectory + "archives/f" + std::to_string(i) + "/";
    fs::create_directories(archive);
    folders += "  <Folder><Reference>F" + std::to_string(i) + "</Reference><Name>Folder " + std::to_string(i) +
               "</Name><ArchivePath>" + archive + "</ArchivePath><Catalogue><UseMIS>TRUE</UseMIS></Catalogue></Folder>\n";
  }
  if (!WriteProgramDirectory(m_strProgramDirectory + "archives/", figures.ErrorText)) return figures;
  if (!WriteFile(m_strProgramDirectory + "Fennrick Folders.xml",
                 "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Folders>\n" + folders + "</Folders>\n")) {
    figures.ErrorText = "cannot write the folder list";
    return figures;
  }
  platform::CChildProcess service;
  if (StartAndWaitForFirstPass(service, {"--pause-ms", "0", "--folder-pause-ms", "0"}, figures.ErrorText,
                               figures.Folders) < 0) {
    return figures;
  }
  figures.ThreadsBefore = platform::ProcessStatusKiB(service.GetPid(), "Threads:");
  for (int i = 0; i < figures.Folders; ++i) {
    WriteFile(m_strProgramDirectory + "archives/f" + std::to_string(i) + "/new.xml", Invoice("Folderword" + std::to_string(i)));
  }
  const double written = NowSeconds();
  for (int i = 0; i < figures.Folders; ++i) {
    const std::string catalogue = m_strProgramDirectory + "catalogues/F" + std::to_string(i);
    while (!Found(catalogue, "Folderword" + std::to_string(i))) {
      if (NowSeconds() - written > m_Options.TimeoutSeconds) {
        figures.ErrorText = "the change of folder F" + std::to_string(i) + " was not searchable in time";
        StopService(service);
        return figures;
      }
      Pause(5);
    }
  }
  figures.AllSearchableSeconds = NowSeconds() - written - m_Options.SettleMilliseconds / 1000.0;
  figures.ThreadsAfter = platform::ProcessStatusKiB(service.GetPid(), "Threads:");
  figures.PeakMegabytes = platform::ProcessStatusKiB(service.GetPid(), "VmHWM:") * 1024.0 / 1e6;
  figures.ResidentMegabytes = platform::ProcessStatusKiB(service.GetPid(), "VmRSS:") * 1024.0 / 1e6;
  figures.Completed = true;
  StopService(service);
  return figures;
}

}  // namespace bench
