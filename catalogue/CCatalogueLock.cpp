#include "catalogue/CCatalogueLock.h"

#include "catalogue/CCatalogueHolder.h"
#include "catalogue/CWriterRegistry.h"

CCatalogueLock::CCatalogueLock(const std::string& catalogue)
    : m_Holder(CWriterRegistry::Process().FindOrCreate(catalogue).Holder()) {
  m_bHeld = m_Holder.TryTake(m_Error);
}

CCatalogueLock::~CCatalogueLock() {
  if (m_bHeld) m_Holder.Give();
}

bool CCatalogueLock::IsFreeForCaller(const std::string& catalogue) {
  IndexWriterToRelease* record = CWriterRegistry::Process().Find(catalogue);
  return record == nullptr || record->Holder().IsFreeForCaller();
}
