#include "flush/CStatusOutbox.h"

#include <utility>

CStatusOutbox::CStatusOutbox(SendStatus sendStatus, RequestReconcile reconcile)
    : m_SendStatus(std::move(sendStatus)), m_Reconcile(std::move(reconcile)) {}

void CStatusOutbox::Say(int kind, const std::string& text) {
  platform::CLockGuard lock(m_Mutex);
  m_Items.push_back(SItem{false, kind, text});
}

void CStatusOutbox::Reconcile(const std::string& reference) {
  platform::CLockGuard lock(m_Mutex);
  m_Items.push_back(SItem{true, 0, reference});
}

void CStatusOutbox::Deliver() {
  platform::CLockGuard delivering(m_DeliverMutex);
  std::vector<SItem> items;
  {
    platform::CLockGuard lock(m_Mutex);
    items.swap(m_Items);
  }
  for (const SItem& item : items) {
    if (item.bReconcile) {
      if (m_Reconcile) m_Reconcile(item.strText);
    } else if (m_SendStatus) {
      m_SendStatus(item.nKind, item.strText);
    }
  }
}
