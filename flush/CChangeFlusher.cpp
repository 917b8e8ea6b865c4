#include "flush/CChangeFlusher.h"

#include <algorithm>
#include <map>
#include <utility>
#include <vector>

#include "flush/CCatalogueFlush.h"
#include "flush/CFlushPool.h"
#include "pdf/CPdfReaderQueue.h"
#include "platform/CMutex.h"
#include "platform/ProcessPriority.h"

struct CChangeFlusher::SImpl {
  SSettings Settings;
  std::function<void(int kind, const std::string& text)> SendStatus;
  std::unique_ptr<CFlushPool> pPool;
  platform::CMutex Mutex;  // lock order: a record's in-use mutex, then this, then its queue mutex
  // Shared with the pool and with a drain that may still run on the worker while its record goes.
  std::map<std::string, std::shared_ptr<CCatalogueFlush>> Records GUARDED_BY(Mutex);
  bool bStopped GUARDED_BY(Mutex) = false;
  std::function<void(const std::string& reference)> Reconcile GUARDED_BY(Mutex);

  std::shared_ptr<CCatalogueFlush> Find(const std::string& catalogue) EXCLUDES(Mutex) {
    platform::CLockGuard lock(Mutex);
    const auto found = Records.find(catalogue);
    return found == Records.end() ? nullptr : found->second;
  }

  // The catalogue's record, made when it has none; null once stopped.
  std::shared_ptr<CCatalogueFlush> FindOrMake(const std::string& catalogue) EXCLUDES(Mutex) {
    platform::CLockGuard lock(Mutex);
    if (bStopped) return nullptr;
    std::shared_ptr<CCatalogueFlush>& slot = Records[catalogue];
    if (!slot) {
      slot = std::make_shared<CCatalogueFlush>(
          catalogue, Settings, SendStatus, [this](const std::string& reference) { RequestReconcile(reference); },
          [this](CCatalogueFlush& record) { Retire(record); });
    }
    return slot;
  }

  // A record that refused a change (retired meanwhile) leaves the map for a new one.
  void Forget(const std::shared_ptr<CCatalogueFlush>& record) EXCLUDES(Mutex) {
    platform::CLockGuard lock(Mutex);
    const auto found = Records.find(record->Catalogue());
    if (found != Records.end() && found->second == record) Records.erase(found);
  }

  // On a pool worker whose record has nothing left: an idle catalogue costs no memory.
  void Retire(CCatalogueFlush& record) EXCLUDES(Mutex) {
    platform::CLockGuard lock(Mutex);
    const auto found = Records.find(record.Catalogue());
    if (found == Records.end() || found->second.get() != &record) return;
    if (record.TryRetire()) Records.erase(found);
  }

  void Schedule(const std::shared_ptr<CCatalogueFlush>& record, std::int64_t dueAt) {
    pPool->Schedule(record, dueAt);
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
  settings.nRetryReminderMilliseconds = std::max(1, settings.nRetryReminderMilliseconds);
  settings.nQueueBound = std::max<std::size_t>(1, settings.nQueueBound);
  if (settings.nWorkers <= 0) settings.nWorkers = CFlushPool::WorkersFor(platform::UsableProcessorCount());
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
  CFlushPool::SSettings pool;
  pool.nWorkers = m_pImpl->Settings.nWorkers;
  pool.nStartRetryFirstMilliseconds = m_pImpl->Settings.nWorkerRetryFirstMilliseconds;
  pool.nStartRetryLongestMilliseconds = m_pImpl->Settings.nWorkerRetryLongestMilliseconds;
  m_pImpl->pPool = std::make_unique<CFlushPool>(pool, m_pImpl->SendStatus);
}

CChangeFlusher::~CChangeFlusher() { StopAll(); }

void CChangeFlusher::SetReconcileRequest(std::function<void(const std::string& reference)> request) {
  platform::CLockGuard lock(m_pImpl->Mutex);
  m_pImpl->Reconcile = std::move(request);
}

void CChangeFlusher::EnqueueChange(FileChange change, bool wake) {
  if (change.strPath.empty() || change.strCatalogue.empty()) return;
  for (;;) {
    const std::shared_ptr<CCatalogueFlush> record = m_pImpl->FindOrMake(change.strCatalogue);
    if (!record) return;
    std::int64_t dueAt = CFlushPool::kNever;
    if (record->Enqueue(change, wake, dueAt)) {
      m_pImpl->Schedule(record, dueAt);
      return;
    }
    // Retired (or removed) since it was found: the change goes to its successor.
    m_pImpl->Forget(record);
  }
}

void CChangeFlusher::EnqueueRetry(FileChange change) {
  if (change.strPath.empty() || change.strCatalogue.empty()) return;
  for (;;) {
    const std::shared_ptr<CCatalogueFlush> record = m_pImpl->FindOrMake(change.strCatalogue);
    if (!record) return;
    std::int64_t dueAt = CFlushPool::kNever;
    if (record->EnqueueRetry(change, dueAt)) {
      m_pImpl->Schedule(record, dueAt);
      return;
    }
    m_pImpl->Forget(record);
  }
}

int CChangeFlusher::Refresh(const std::string& catalogue, bool throttle) {
  const std::shared_ptr<CCatalogueFlush> record = m_pImpl->Find(catalogue);
  if (!record) return 0;
  std::int64_t dueAt = CFlushPool::kNever;
  const int altered = record->Drain(throttle, dueAt);
  m_pImpl->Schedule(record, dueAt);
  return altered;
}

void CChangeFlusher::Wake(const std::string& catalogue) {
  const std::shared_ptr<CCatalogueFlush> record = m_pImpl->Find(catalogue);
  if (record) m_pImpl->Schedule(record, record->Wake());
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
  record->RequestStop();
  m_pImpl->pPool->Cancel(record);
}

void CChangeFlusher::StopAll() {
  std::vector<std::shared_ptr<CCatalogueFlush>> records;
  {
    platform::CLockGuard lock(m_pImpl->Mutex);
    m_pImpl->bStopped = true;
    for (auto& entry : m_pImpl->Records) records.push_back(std::move(entry.second));
    m_pImpl->Records.clear();
  }
  // A worker reading a PDF would hold the stop up for as long as its document may take.
  m_pImpl->Settings.pPdfReaders->Abort();
  // Every record is told first, so that the workers end their slices side by side.
  for (const auto& record : records) record->RequestStop();
  m_pImpl->pPool->Stop();
}

void CChangeFlusher::StartWorkers() { m_pImpl->pPool->StartWorkers(); }

size_t CChangeFlusher::QueuedCount(const std::string& catalogue) {
  const std::shared_ptr<CCatalogueFlush> record = m_pImpl->Find(catalogue);
  return record ? record->Pending() : 0;
}

size_t CChangeFlusher::RecordCount() {
  platform::CLockGuard lock(m_pImpl->Mutex);
  return m_pImpl->Records.size();
}

int CChangeFlusher::RunningWorkers() { return m_pImpl->pPool->RunningWorkers(); }
