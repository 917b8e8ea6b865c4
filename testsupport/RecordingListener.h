#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/CMutex.h"
#include "status/MonitorListener.h"

namespace testsupport {

// A MonitorListener that keeps every status message (kind, text) for the test to read.
// Any thread may report to it.
class RecordingListener : public MonitorListener {
 public:
  void OnDocumentChange(int kind, std::string path, FK::CFolder folder) override;
  void OnStatusMessage(int kind, const std::string& text) override;

  std::vector<std::pair<int, std::string>> Messages() const;
  // The texts of one kind, in order.
  std::vector<std::string> Texts(int kind) const;
  int Count(int kind, const std::string& text) const;
  // True when some message of any kind begins with the prefix.
  bool HasPrefix(const std::string& prefix) const;
  void Clear();

 private:
  mutable platform::CMutex m_Mutex;
  std::vector<std::pair<int, std::string>> m_Messages GUARDED_BY(m_Mutex);
};

}  // namespace testsupport
