#include "testsupport/ServiceRunner.h"

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/FileOps.h"
#include "testsupport/Polling.h"

namespace testsupport {

namespace fs = std::filesystem;

ServiceRunner::ServiceRunner() {
  std::string pattern = (fs::temp_directory_path() / "fkservice-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) pattern = (fs::temp_directory_path() / "fkservice").string();
  m_strProgramDirectory = pattern + "/";
  m_strOptionsFile = m_strProgramDirectory + "options.ini";
  m_strLogPath = m_strProgramDirectory + "FKIndexing.log";
  m_Env["FK_OPTIONS_FILE"] = m_strOptionsFile;
}

ServiceRunner::~ServiceRunner() {
  m_Process.Kill();
  std::error_code error;
  fs::remove_all(m_strProgramDirectory, error);
}

std::string ServiceRunner::PathOf(const std::string& relativePath) const {
  return m_strProgramDirectory + relativePath;
}

bool ServiceRunner::WriteFile(const std::string& relativePath, const std::string& content) const {
  const fs::path path = PathOf(relativePath);
  std::error_code error;
  fs::create_directories(path.parent_path(), error);
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << content;
  return static_cast<bool>(file.flush());
}

std::string ServiceRunner::MakeDirectory(const std::string& relativePath) const {
  std::error_code error;
  fs::create_directories(PathOf(relativePath), error);
  return platform::WithTrailingSlash(PathOf(relativePath));
}

bool ServiceRunner::WriteFolderList(const std::string& folders) {
  if (!WriteFile("Fennrick Folders.xml", "<?xml version=\"1.0\"?>\n<Folders>" + folders + "</Folders>\n")) return false;
  std::error_code error;
  const auto later = fs::file_time_type::clock::now() + std::chrono::seconds(10 * ++m_nFolderListWrites);
  fs::last_write_time(PathOf("Fennrick Folders.xml"), later, error);
  return !error;
}

std::string ServiceRunner::FolderXml(const std::string& reference, const std::string& name,
                                     const std::string& archive, bool useService) {
  return "<Folder><Reference>" + reference + "</Reference><Name>" + name + "</Name><ArchivePath>" + archive +
         "</ArchivePath><Catalogue><UseMIS>" + (useService ? "TRUE" : "FALSE") + "</UseMIS></Catalogue></Folder>";
}

bool ServiceRunner::WriteSettings(const std::string& xml) const {
  return WriteFile("FKIndexingServiceConfig.xml", xml);
}

bool ServiceRunner::WriteSettings(const std::string& foldersListPath, const std::string& cataloguesPath,
                                  const std::string& extraElements) const {
  return WriteSettings("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<FKIndexingConfig>\n"
                       "  <PathFoldersList>" + foldersListPath + "</PathFoldersList>\n"
                       "  <PathCatalogues>" + cataloguesPath + "</PathCatalogues>\n" +
                       extraElements + "\n</FKIndexingConfig>\n");
}

void ServiceRunner::SetEnv(const std::string& name, const std::string& value) { m_Env[name] = value; }

std::vector<std::string> ServiceRunner::FastOptions() {
  return {"--cycle-wait-ms", "100", "--folder-pause-ms", "10", "--pause-ms", "10"};
}

std::vector<std::string> ServiceRunner::CommandLine(const std::vector<std::string>& options) const {
  std::vector<std::string> argv;
  if (!m_strStandardErrorFile.empty()) argv = {"/bin/sh", "-c", "exec \"$@\" 2>>\"$0\"", m_strStandardErrorFile};
  argv.insert(argv.end(), m_CommandPrefix.begin(), m_CommandPrefix.end());
  argv.insert(argv.end(), {FK_SERVICE_BINARY, "--program-dir", m_strProgramDirectory});
  argv.insert(argv.end(), options.begin(), options.end());
  return argv;
}

bool ServiceRunner::Start(const std::vector<std::string>& options) {
  std::error_code error;
  fs::remove(m_strLogPath, error);
  return m_Process.Start(CommandLine(options), m_Env);
}

bool ServiceRunner::WaitForLine(const std::string& message, int timeoutMs, int count) const {
  return PollUntil([&] { return CountLines(message) >= count; }, timeoutMs);
}

bool ServiceRunner::Stop(bool interrupt) { return m_Process.Signal(interrupt); }

bool ServiceRunner::WaitForExit(int timeoutMs, int& exitCode) {
  return m_Process.WaitForExit(timeoutMs, exitCode);
}

int ServiceRunner::StopAndWait(int timeoutMs) {
  int exitCode = kNoExit;
  if (!Stop() || !WaitForExit(timeoutMs, exitCode)) return kNoExit;
  return exitCode;
}

void ServiceRunner::KillWithChildren() {
  // The service goes first, as under systemd's watchdog: a helper killed before it would let
  // the service see the helper's end and carry on for a moment, unlike a real hang.
  const int pid = m_Process.GetPid();
  std::vector<int> childPids;
  std::error_code error;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    std::ifstream children(task.path() / "children");
    for (int child = 0; children >> child;) childPids.push_back(child);
  }
  m_Process.Kill();
  for (const int child : childPids) ::kill(child, SIGKILL);
}

std::vector<std::string> ServiceRunner::LogMessages() const { return ActivityLogMessages(m_strLogPath); }

std::vector<std::string> ActivityLogMessages(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  std::vector<std::string> messages;
  std::string line;
  // Only whole lines: the service may be writing the last one right now.
  while (std::getline(content, line) && !content.eof()) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t tab = line.find('\t');
    messages.push_back(tab == std::string::npos ? line : line.substr(tab + 1));
  }
  return messages;
}

int ServiceRunner::CountLines(const std::string& message) const {
  int count = 0;
  for (const std::string& line : LogMessages()) count += line == message ? 1 : 0;
  return count;
}

}  // namespace testsupport
