#include "catalogue/CWriterRegistry.h"

CWriterRegistry& CWriterRegistry::Process() {
  // Never destroyed: records must outlive every holder, and the connections they commit to are
  // closed by LIndexer::ClearMemory at the end of the run, not by static destructors.
  static CWriterRegistry* registry = new CWriterRegistry();
  return *registry;
}

IndexWriterToRelease& CWriterRegistry::FindOrCreate(const std::string& catalogue) {
  platform::CLockGuard guard(m_Mutex);
  std::unique_ptr<IndexWriterToRelease>& record = m_Records[catalogue];
  if (!record) record = std::make_unique<IndexWriterToRelease>(catalogue);
  return *record;
}

IndexWriterToRelease* CWriterRegistry::Find(const std::string& catalogue) {
  platform::CLockGuard guard(m_Mutex);
  const auto found = m_Records.find(catalogue);
  return found == m_Records.end() ? nullptr : found->second.get();
}

size_t CWriterRegistry::Count() {
  platform::CLockGuard guard(m_Mutex);
  return m_Records.size();
}
