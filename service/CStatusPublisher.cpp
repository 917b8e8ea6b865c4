#include "service/CStatusPublisher.h"

#include <chrono>
#include <ctime>

#include "platform/CNTServEasyModule.h"
#include "tools/ServiceStatusFile.h"

namespace {

std::int64_t SteadyMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

CStatusPublisher::CStatusPublisher(CStatusBoard& board, std::string path,
                                   std::function<void(const std::string&)> report, int tickMilliseconds,
                                   int intervalMilliseconds)
    : m_Board(board),
      m_strPath(std::move(path)),
      m_Report(std::move(report)),
      m_nTick(tickMilliseconds),
      m_nInterval(intervalMilliseconds),
      m_Throttle(intervalMilliseconds) {}

CStatusPublisher::~CStatusPublisher() { Stop(); }

void CStatusPublisher::Start() {
  if (m_Thread.joinable()) return;
  m_Thread = std::thread([this] { Run(); });
}

void CStatusPublisher::Stop() {
  if (!m_Thread.joinable()) return;
  m_Stop.Stop();
  m_Thread.join();
  m_Board.SetPhase("stopped");
  Publish(true);
}

void CStatusPublisher::Run() {
  Publish(true);
  while (!m_Stop.WaitFor(m_nTick)) Publish(false);
}

void CStatusPublisher::Publish(bool force) {
  const std::int64_t now = SteadyMilliseconds();
  const std::uint64_t generation = m_Board.Generation();
  // The live figures (queues, watches) change without a note: they are looked at once per interval.
  const bool sampleDue = now - m_nLastSample >= m_nInterval || now < m_nLastSample;
  if (!force && generation == m_nSeen && !sampleDue) return;
  m_nLastSample = now;
  ServiceStatus status = m_Board.Snapshot();
  const std::string content = ServiceStatusFile::ToJson(status);
  if (!force && content == m_strLastContent) {
    m_nSeen = generation;
    return;
  }
  if (!m_Throttle.Due(now, PhaseKey(status)) && !force) return;
  m_nSeen = generation;
  m_strLastContent = content;
  status.WrittenAt = static_cast<std::int64_t>(std::time(nullptr));
  std::string why;
  if (ServiceStatusFile::Write(m_strPath, status, why)) {
    m_bFailSaid = false;
  } else if (!m_bFailSaid) {
    m_bFailSaid = true;
    if (m_Report) m_Report(":error: Cannot write the status file " + m_strPath + ": " + why);
  }
  const std::string summary = status.Summary();
  if (summary != m_strLastSummary) CNTServEasyModule::NotifyStatus(summary);
  m_strLastSummary = summary;
}

std::string CStatusPublisher::PhaseKey(const ServiceStatus& status) {
  std::string key = status.Phase;
  for (const ServiceStatus::Folder& folder : status.Folders) key += "|" + folder.Phase;
  return key;
}
