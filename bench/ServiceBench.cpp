#include "bench/ServiceBench.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <vector>
#include <iterator>
#include <thread>

#include <boost/filesystem.hpp>

#include "bench/BenchService.h"
#include "bench/CatalogueBench.h"
#include "catalogue/LSearcher.h"
#include "platform/CChildProcess.h"
#include "platform/PeakMemory.h"

namespace fs = boost::filesystem;

namespace bench {

namespace {

int OpenDescriptors(int pid) {
  boost::system::error_code ec;
  int count = 0;
  for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end; !ec && it != end;
       it.increment(ec)) {
    ++count;
  }
  return count;
}

}  // namespace

ServiceBench::ServiceBench(const std::string& serviceBinary, const std::string& workDirectory)
    : m_strServiceBinary(serviceBinary), m_strProgramDirectory(workDirectory + "/service/") {}

std::string ServiceBench::CataloguePath(const std::string& archive) const {
  return archive + "/Catalogue_IS/" + kFolderReference;
}

bool ServiceBench::WriteProgramDirectory(const std::string& archive, std::string& errorText) const {
  return WriteServiceProgramDirectory(
      m_strProgramDirectory, "FOLDER_ARCHIVE_PATH",
      "  <Priority>MEDIUM</Priority>\n  <DisableMonitoring>TRUE</DisableMonitoring>\n"
      "  <IsDebugAction>FALSE</IsDebugAction>\n",
      std::string("<Reference>") + kFolderReference + "</Reference><Name>" + kFolderName + "</Name><ArchivePath>" +
          archive + "</ArchivePath><ProcessingPath>" + archive + "/Processing</ProcessingPath>",
      errorText);
}

int ServiceBench::CountPassLines() const {
  return CountLogLines(m_strProgramDirectory, std::string("starting monitoring for folder ") + kFolderName);
}

ServiceBench::Figures ServiceBench::Run(const std::string& archive, int timeoutSeconds) {
  Figures figures;
  if (!WriteProgramDirectory(archive, figures.ErrorText)) return figures;
  platform::CChildProcess service;
  const std::map<std::string, std::string> environment = {
      {"FK_LOCK_DIR", m_strProgramDirectory + "locks"},
      {"FK_OPTIONS_FILE", m_strProgramDirectory + "no-options.ini"}};
  // A file read in the second it was written is read again by the next pass (it may have
  // changed after the read within that second). The archive was just written: start in the
  // next second of the clock, so the second pass measures an archive that has not changed
  // since the first one read it, as in a running service.
  const auto now = std::chrono::system_clock::now();
  std::this_thread::sleep_until(std::chrono::ceil<std::chrono::seconds>(now) + std::chrono::milliseconds(20));
  const double start = NowSeconds();
  if (!service.Start({m_strServiceBinary, "--program-dir", m_strProgramDirectory, "--cycle-wait-ms", "0",
                      "--folder-pause-ms", "0", "--pause-ms", "0"},
                     environment)) {
    figures.ErrorText = "cannot start " + m_strServiceBinary;
    return figures;
  }
  double firstPassEnd = 0;
  int exitCode = 0;
  while (NowSeconds() - start < timeoutSeconds) {
    const int passes = CountPassLines();
    if (passes >= 1 && firstPassEnd == 0) firstPassEnd = NowSeconds();
    if (passes >= 2) {
      figures.FirstPassSeconds = firstPassEnd - start;
      figures.SecondPassSeconds = NowSeconds() - firstPassEnd;
      figures.Completed = true;
      break;
    }
    if (service.WaitForExit(0, exitCode)) {
      figures.ErrorText = "the service ended early with status " + std::to_string(exitCode);
      return figures;
    }
    // Fine throughout: the end of the first pass is where the second one is timed from.
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (!figures.Completed) figures.ErrorText = "no two passes within " + std::to_string(timeoutSeconds) + " s";
  service.Signal(false);
  if (!service.WaitForExit(60000, exitCode)) service.Kill();
  return figures;
}

std::string ServiceBench::FolderCatalogue(int folder) const {
  return m_strProgramDirectory + "many/catalogues/F" + std::to_string(folder);
}

bool ServiceBench::WriteFolders(int folders, std::string& errorText) const {
  const std::string root = m_strProgramDirectory + "many/";
  boost::system::error_code ec;
  fs::create_directories(root + "catalogues", ec);
  fs::create_directories(m_strProgramDirectory + "locks", ec);
  std::string list = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Folders>\n";
  bool written = true;
  for (int i = 0; i < folders && written; ++i) {
    const std::string name = "F" + std::to_string(i);
    const std::string archive = root + "archives/" + name;
    fs::create_directories(archive, ec);
    written = WriteFile(archive + "/invoice.xml", "<Invoice><Supplier>word" + name + "</Supplier></Invoice>");
    list += "  <Folder><Reference>" + name + "</Reference><Name>" + name + "</Name><ArchivePath>" + archive +
            "</ArchivePath><Catalogue><UseMIS>TRUE</UseMIS></Catalogue></Folder>\n";
  }
  const std::string settings =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<FKIndexingConfig>\n  <PathFoldersList>" + root +
      "Fennrick Folders.xml</PathFoldersList>\n  <PathCatalogues>" + root +
      "catalogues</PathCatalogues>\n  <DisableMonitoring>TRUE</DisableMonitoring>\n</FKIndexingConfig>\n";
  if (!written || !WriteFile(root + "Fennrick Folders.xml", list + "</Folders>\n") ||
      !WriteFile(m_strProgramDirectory + "FKIndexingServiceConfig.xml", settings)) {
    errorText = "cannot write the folders below " + root;
    return false;
  }
  return true;
}

ServiceBench::FolderFigures ServiceBench::RunFolders(int folders, int descriptorLimit, int timeoutSeconds) {
  FolderFigures figures;
  if (!WriteFolders(folders, figures.ErrorText)) return figures;
  platform::CChildProcess service;
  const std::map<std::string, std::string> environment = {
      {"FK_LOCK_DIR", m_strProgramDirectory + "locks"},
      {"FK_OPTIONS_FILE", m_strProgramDirectory + "no-options.ini"}};
  const double start = NowSeconds();
  if (!service.Start({"/usr/bin/prlimit", "--nofile=" + std::to_string(descriptorLimit), "--", m_strServiceBinary,
                      "--program-dir", m_strProgramDirectory, "--cycle-wait-ms", "0", "--folder-pause-ms", "0",
                      "--pause-ms", "0"},
                     environment)) {
    figures.ErrorText = "cannot start " + m_strServiceBinary + " through prlimit";
    return figures;
  }
  std::vector<int> pending(static_cast<size_t>(folders));
  for (int i = 0; i < folders; ++i) pending[static_cast<size_t>(i)] = i;
  int exitCode = 0;
  while (!pending.empty() && NowSeconds() - start < timeoutSeconds) {
    figures.PeakDescriptors = std::max(figures.PeakDescriptors, OpenDescriptors(service.GetPid()));
    std::vector<int> still;
    for (int folder : pending) {
      const std::string catalogue = FolderCatalogue(folder);
      if (!fs::exists(catalogue + "/catalogue.sqlite") || LSearcher().Count(catalogue) < 1) still.push_back(folder);
    }
    pending.swap(still);
    if (pending.empty()) break;
    if (service.WaitForExit(0, exitCode)) {
      figures.ErrorText = "the service ended early with status " + std::to_string(exitCode);
      return figures;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  figures.Seconds = NowSeconds() - start;
  figures.Catalogued = folders - static_cast<int>(pending.size());
  figures.PeakMegabytes = platform::ProcessStatusKiB(service.GetPid(), "VmHWM:") * 1024.0 / 1e6;
  figures.Completed = pending.empty();
  if (!figures.Completed) {
    figures.ErrorText = "not every folder catalogued within " + std::to_string(timeoutSeconds) + " s";
  }
  service.Signal(false);
  if (!service.WaitForExit(60000, exitCode)) service.Kill();
  return figures;
}

}  // namespace bench
