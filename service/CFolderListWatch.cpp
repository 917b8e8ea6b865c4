#include "service/CFolderListWatch.h"

#include "platform/CMarkerWatch.h"

namespace {

constexpr int kWatchWaitMs = 60000;  // a wait ends sooner on a change or on Stop

}  // namespace

CFolderListWatch::CFolderListWatch(const std::string& folderListPath, std::function<void()> onChange)
    : m_OnChange(std::move(onChange)) {
  const size_t slash = folderListPath.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : folderListPath.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? folderListPath : folderListPath.substr(slash + 1);
  m_pWatch = std::make_unique<platform::CMarkerWatch>(directory, name, true);
}

CFolderListWatch::~CFolderListWatch() { Stop(); }

bool CFolderListWatch::Start() {
  if (!m_pWatch->IsWatching()) return false;
  m_Thread = std::thread([this] { Watch(); });
  return true;
}

void CFolderListWatch::Stop() {
  m_bStop = true;
  m_pWatch->Interrupt();
  if (m_Thread.joinable()) m_Thread.join();
}

void CFolderListWatch::Watch() {
  while (!m_bStop && m_pWatch->IsWatching()) {
    if (m_pWatch->Wait(kWatchWaitMs) && !m_bStop) m_OnChange();
  }
}
