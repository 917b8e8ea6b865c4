#include "monitoring/CChangeFlusher.h"

#include <algorithm>
#include <map>
#include <utility>
#include <vector>

#include "monitoring/CCatalogueFlush.h"
#include "pdf/CPdfReaderQueue.h"
#include "platform/CMutex.h"

struct CChangeFlusher::SImpl {
  SSettings Settings;
  std::function<void(int kind, const std::string& text)> SendStatus;
  platform::CMutex Mutex;
  // Shared with a drain that may still run on the worker while its record is removed.
  std::map<std::string, std::shared_ptr<CCatalogueFlush>> Records GUARDED_BY(Mutex);
  bool bStopped GUARDED_BY(Mutex) = false;
  std::function<void(const std::string& reference)> Reconcile GUARDED_BY(Mutex);

  std::shared_ptr<CCatalogueFlush> Find(const std::string& catalogue) EXCLUDES(Mutex) {
    platform::CLockGuard lock(Mutex);
    const auto found = Records.find(catalogue);
    return found == Records.end() ? nullptr : found->second;
  }

  void RequestReconcile(const std::string& reference) EXCLUDES(Mutex) {
    std::function<void(const std::string&)> reconcile;
    {
      platform::CLockGuard lock(Mutex);
      reconcile = Reconcile;
    }
    if (reconcile) reconcile(reference);
  }
};

namespace {

CChangeFlusher::SSettings Sane(CChangeFlusher::SSettings settings) {
  settings.nXmlSettleMilliseconds = std::max(0, settings.nXmlSettleMilliseconds);
  settings.nOtherSettleMilliseconds = std::max(0, settings.nOtherSettleMilliseconds);
  settings.nPauseMilliseconds = std::max(0, settings.nPauseMilliseconds);
  settings.nWorkSliceSeconds = std::max(0, settings.nWorkSliceSeconds);
  settings.nRetryFirstMilliseconds = std::max(1, settings.nRetryFirstMilliseconds);
  settings.nRetryLongestMilliseconds = std::max(settings.nRetryFirstMilliseconds, settings.nRetryLongestMilliseconds);
  settings.nRetryGiveUpMilliseconds = std::max(0, settings.nRetryGiveUpMilliseconds);
  return settings;
}

}  // namespace

CChangeFlusher::CChangeFlusher(SSettings settings, std::function<void(int kind, const std::string& text)> sendStatus)
    : m_pImpl(std::make_unique<SImpl>()) {
  m_pImpl->Settings = Sane(settings);
  if (!m_pImpl->Settings.pPdfReaders) {
    m_pImpl->Settings.pPdfReaders = std::make_shared<CPdfReaderQueue>(CPdfReaderQueue::ReadersFromEnvironment());
  }
  m_pImpl->SendStatus = std::move(sendStatus);
  if (!m_pImpl->SendStatus) m_pImpl->SendStatus = [](int, const std::string&) {};
}

CChangeFlusher::~CChangeFlusher() { StopAll(); }

void CChangeFlusher::SetReconcileRequest(std::function<void(const std::string& reference)> request) {
  platform::CLockGuard lock(m_pImpl->Mutex);
  m_pImpl->Reconcile = std::move(request);
}

void CChangeFlusher::EnqueueChange(FileChange change, bool wake) {
  if (change.strPath.empty() || change.strCatalogue.empty()) return;
  std::shared_ptr<CCatalogueFlush> record;
  {
    platform::CLockGuard lock(m_pImpl->Mutex);
    if (m_pImpl->bStopped) return;
    std::shared_ptr<CCatalogueFlush>& slot = m_pImpl->Records[change.strCatalogue];
    if (!slot) {
      SImpl* impl = m_pImpl.get();
      slot = std::make_shared<CCatalogueFlush>(
          change.strCatalogue, m_pImpl->Settings, m_pImpl->SendStatus,
          [impl](const std::string& reference) { impl->RequestReconcile(reference); });
      slot->Start();
    }
    record = slot;
  }
  record->Enqueue(std::move(change), wake);
}

int CChangeFlusher::Refresh(const std::string& catalogue, bool throttle) {
  const std::shared_ptr<CCatalogueFlush> record = m_pImpl->Find(catalogue);
  return record ? record->Drain(throttle) : 0;
}

void CChangeFlusher::Wake(const std::string& catalogue) {
  const std::shared_ptr<CCatalogueFlush> record = m_pImpl->Find(catalogue);
  if (record) record->Wake();
}

void CChangeFlusher::Remove(const std::string& catalogue) {
  std::shared_ptr<CCatalogueFlush> record;
  {
    platform::CLockGuard lock(m_pImpl->Mutex);
    const auto found = m_pImpl->Records.find(catalogue);
    if (found == m_pImpl->Records.end()) return;
    record = std::move(found->second);
    m_pImpl->Records.erase(found);
  }
  record->Stop();
}

void CChangeFlusher::StopAll() {
  std::vector<std::shared_ptr<CCatalogueFlush>> records;
  {
    platform::CLockGuard lock(m_pImpl->Mutex);
    m_pImpl->bStopped = true;
    for (auto& entry : m_pImpl->Records) records.push_back(std::move(entry.second));
    m_pImpl->Records.clear();
  }
  // A thread reading a PDF would hold the stop up for as long as its document may take.
  m_pImpl->Settings.pPdfReaders->Abort();
  // Every thread is told first, so that they end side by side rather than one after another.
  for (const auto& record : records) record->RequestStop();
  for (const auto& record : records) record->Stop();
}

size_t CChangeFlusher::QueuedCount(const std::string& catalogue) {
  const std::shared_ptr<CCatalogueFlush> record = m_pImpl->Find(catalogue);
  return record ? record->Pending() : 0;
}
