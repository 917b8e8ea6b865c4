#include "catalogue/CCatalogueHolder.h"

namespace {

const char kLockNamePrefix[] = "FKIndexingService lock catalog ";

// Catalogue paths are case-sensitive here, so the names are compared exactly.
std::string LockNameFor(const std::string& catalogue) {
  std::string name = kLockNamePrefix + catalogue;
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  return name;
}

}  // namespace

CCatalogueHolder::CCatalogueHolder(const std::string& catalogue) : m_LockName(LockNameFor(catalogue)) {}

bool CCatalogueHolder::TryTake(std::string& error) {
  const std::thread::id self = std::this_thread::get_id();
  platform::CLockGuard guard(m_Mutex);
  error.clear();
  if (m_pFileLock) {
    if (m_Holder == self) {
      ++m_nTakes;
      return true;
    }
    error = "held by another thread of this process";
    return false;
  }
  auto lock = std::make_unique<platform::CNamedFileLock>(m_LockName);
  if (!lock->TryLock()) {
    error = lock->LastError();
    return false;
  }
  m_pFileLock = std::move(lock);
  m_Holder = self;
  m_nTakes = 1;
  return true;
}

void CCatalogueHolder::Give() {
  platform::CLockGuard guard(m_Mutex);
  if (!m_pFileLock || m_Holder != std::this_thread::get_id() || --m_nTakes > 0) return;
  m_pFileLock.reset();
  m_Holder = std::thread::id();
}

bool CCatalogueHolder::IsFreeForCaller() {
  platform::CLockGuard guard(m_Mutex);
  return !m_pFileLock || m_Holder == std::this_thread::get_id();
}
