#include "platform/CNTServEasyModule.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <thread>

#include "platform/CStopLatch.h"
#include "platform/CStopSignalWatcher.h"
#include "platform/FileOps.h"
#include "platform/ProgramPaths.h"

namespace {

std::string AsDirectory(const std::string& path) {
  std::error_code error;
  std::string absolute = std::filesystem::absolute(path, error).string();
  if (error) absolute = path;
  return platform::WithTrailingSlash(absolute.empty() ? std::string("/") : absolute);
}

}  // namespace

CNTServEasyModule::CNTServEasyModule(const std::string& displayName) : m_strDisplayName(displayName) {}

bool CNTServEasyModule::InitInstance() { return true; }

bool CNTServEasyModule::ParseModuleOption(const std::string& /*name*/, const std::string& /*value*/) {
  return false;
}

std::string CNTServEasyModule::GetModuleOptionsUsage() const { return std::string(); }

bool CNTServEasyModule::IsModuleFlag(const std::string& /*name*/) const { return false; }

int CNTServEasyModule::RunInsteadOfService() { return -1; }

void CNTServEasyModule::ResetWatchdog() { sd_notify(0, "WATCHDOG=1"); }

void CNTServEasyModule::NotifyStatus(const std::string& line) {
  // One line: a newline would start another assignment of the notification.
  std::string text = line;
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  sd_notify(0, ("STATUS=" + text).c_str());
}

int CNTServEasyModule::WatchdogIntervalMs(int fallbackMs) {
  std::uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) return fallbackMs;
  const std::uint64_t halfMs = usec / 2000;
  return static_cast<int>(std::max<std::uint64_t>(100, std::min<std::uint64_t>(halfMs, fallbackMs)));
}

int CNTServEasyModule::Run(int argc, char** argv) {
  const int parsed = ParseOptions(argc, argv);
  if (parsed != 0) return parsed - 1;
  const int instead = RunInsteadOfService();
  if (instead >= 0) return instead;
  // Blocked before any thread exists, so only the signal thread ever receives them.
  if (!platform::CStopSignalWatcher::BlockStopSignals()) {
    std::fprintf(stderr, "%s: cannot block the stop signals\n", m_strDisplayName.c_str());
    return 1;
  }
  if (!InitInstance()) return 1;
  if (!StartModule()) return StartFailureStatus();
  return RunStarted();
}

int CNTServEasyModule::RunStarted() {
  platform::CStopSignalWatcher watcher;
  platform::CStopLatch stopped;
  std::thread deadline;
  const bool watching = watcher.Start([&](int) {
    m_bStopSignalled = true;
    sd_notify(0, "STOPPING=1");
    // Whatever holds the stop (a thread blocked in the kernel), the process ends before
    // systemd's stop timeout kills it.
    if (!deadline.joinable()) {
      try {
        deadline = std::thread([&] {
          if (stopped.WaitFor(StopDeadlineMs())) return;
          std::fprintf(stderr, "%s: the module did not stop within %d ms: ended\n", m_strDisplayName.c_str(),
                       StopDeadlineMs());
          std::_Exit(1);
        });
      } catch (const std::system_error&) {
        std::fprintf(stderr, "%s: no thread for the stop's deadline\n", m_strDisplayName.c_str());
      }
    }
    const bool done = StopModule();
    stopped.Stop();
    if (done) return;
    // The worker did not end in time and still uses the module: no orderly exit is possible.
    std::fprintf(stderr, "%s: the module did not stop\n", m_strDisplayName.c_str());
    std::_Exit(1);
  }, [this] { OnHangUp(); });
  if (!watching) {
    std::fprintf(stderr, "%s: cannot receive the stop signals\n", m_strDisplayName.c_str());
    return 1;
  }
  sd_notify(0, "READY=1");
  while (!m_bStopSignalled && RunModule()) {
  }
  watcher.Stop();
  stopped.Stop();
  if (deadline.joinable()) deadline.join();
  return 0;
}

int CNTServEasyModule::ParseOptions(int argc, char** argv) {
  m_strProgramDirectory = platform::ExecutableDirectory();
  const std::string programName = argc > 0 ? std::filesystem::path(argv[0]).filename().string() : "";
  // Every option past --help, --version and the module's flags takes a value.
  for (int i = 1; i < argc; i += 2) {
    const std::string option = argv[i];
    if (IsModuleFlag(option)) {
      ParseModuleOption(option, "");
      --i;
      continue;
    }
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (option == "--help") {
      PrintUsage(stdout, programName);
      return 1;
    }
    if (option == "--version") {
      std::printf("%s %s\n", m_strDisplayName.c_str(), FK_VERSION);
      return 1;
    }
    bool ok = value != nullptr;
    if (ok && option == "--program-dir") {
      ok = *value != '\0';
      m_strProgramDirectory = AsDirectory(value);
    } else if (ok) {
      ok = option.compare(0, 2, "--") == 0 && ParseModuleOption(option, value);
    }
    if (!ok) {
      std::fprintf(stderr, "%s: bad option or value: %s\n", m_strDisplayName.c_str(), argv[i]);
      PrintUsage(stderr, programName);
      return 3;
    }
  }
  return 0;
}

void CNTServEasyModule::PrintUsage(std::FILE* out, const std::string& programName) const {
  std::fprintf(out,
               "Usage: %s [options]\n"
               "Runs %s in the foreground until SIGTERM or SIGINT.\n"
               "%s"
               "  --help                 this text\n"
               "  --version              the version\n",
               programName.c_str(), m_strDisplayName.c_str(), GetModuleOptionsUsage().c_str());
}
