#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/CMutex.h"

// Status lines and reconciliation requests said while a catalogue is being written, kept until
// the writer lets go of the catalogue and then passed on in the order said: the callbacks
// never run under the catalogue's lock. Any thread may call any member.
class CStatusOutbox {
 public:
  using SendStatus = std::function<void(int kind, const std::string& text)>;
  using RequestReconcile = std::function<void(const std::string& reference)>;

  CStatusOutbox(SendStatus sendStatus, RequestReconcile reconcile);

  void Say(int kind, const std::string& text) EXCLUDES(m_Mutex);
  void Reconcile(const std::string& reference) EXCLUDES(m_Mutex);
  // Passes on what was kept, on the calling thread; call with no lock held.
  void Deliver() EXCLUDES(m_Mutex, m_DeliverMutex);

 private:
  struct SItem {
    bool bReconcile = false;
    int nKind = 0;
    std::string strText;  // the line, or the folder's reference
  };

  const SendStatus m_SendStatus;
  const RequestReconcile m_Reconcile;
  platform::CMutex m_DeliverMutex;  // one delivery at a time, so lines keep their order
  platform::CMutex m_Mutex;
  std::vector<SItem> m_Items GUARDED_BY(m_Mutex);
};
