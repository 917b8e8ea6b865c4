#include "bench/ServiceBench.h"

#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

#include <boost/filesystem.hpp>

#include "bench/CatalogueBench.h"
#include "platform/CChildProcess.h"

namespace fs = boost::filesystem;

namespace bench {

namespace {

bool WriteFile(const std::string& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  file.close();
  return static_cast<bool>(file);
}

}  // namespace

ServiceBench::ServiceBench(const std::string& serviceBinary, const std::string& workDirectory)
    : m_strServiceBinary(serviceBinary), m_strProgramDirectory(workDirectory + "/service/") {}

std::string ServiceBench::CataloguePath(const std::string& archive) const {
  return archive + "/Catalogue_IS/" + kFolderReference;
}

bool ServiceBench::WriteProgramDirectory(const std::string& archive, std::string& errorText) const {
  boost::system::error_code ec;
  fs::create_directories(m_strProgramDirectory + "locks", ec);
  // Every folder of the suite has a processing directory; this one lies inside the archive.
  fs::create_directories(archive + "/Processing", ec);
  const std::string folderList = m_strProgramDirectory + "Fennrick Folders.xml";
  const std::string settings =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<FKIndexingConfig>\n  <PathFoldersList>" + folderList +
      "</PathFoldersList>\n  <PathCatalogues>FOLDER_ARCHIVE_PATH</PathCatalogues>\n"
      "  <Priority>MEDIUM</Priority>\n  <DisableMonitoring>TRUE</DisableMonitoring>\n"
      "  <IsDebugAction>FALSE</IsDebugAction>\n</FKIndexingConfig>\n";
  const std::string folders = std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Folders>\n  <Folder>\n") +
                              "    <Reference>" + kFolderReference + "</Reference>\n    <Name>" + kFolderName +
                              "</Name>\n    <ArchivePath>" + archive + "</ArchivePath>\n    <ProcessingPath>" + archive +
                              "/Processing</ProcessingPath>\n" +
                              "    <Catalogue><UseMIS>TRUE</UseMIS></Catalogue>\n  </Folder>\n</Folders>\n";
  if (!WriteFile(m_strProgramDirectory + "FKIndexingServiceConfig.xml", settings) ||
      !WriteFile(folderList, folders)) {
    errorText = "cannot write the program directory " + m_strProgramDirectory;
    return false;
  }
  return true;
}

int ServiceBench::CountPassLines() const {
  std::ifstream file(m_strProgramDirectory + "FKIndexing.log", std::ios::binary);
  const std::string log((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::string line = std::string("\tstarting monitoring for folder ") + kFolderName + "\r\n";
  int count = 0;
  for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + line.size())) ++count;
  return count;
}

ServiceBench::Figures ServiceBench::Run(const std::string& archive, int timeoutSeconds) {
  Figures figures;
  if (!WriteProgramDirectory(archive, figures.ErrorText)) return figures;
  platform::CChildProcess service;
  const std::map<std::string, std::string> environment = {
      {"FK_LOCK_DIR", m_strProgramDirectory + "locks"},
      {"FK_OPTIONS_FILE", m_strProgramDirectory + "no-options.ini"}};
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

}  // namespace bench
