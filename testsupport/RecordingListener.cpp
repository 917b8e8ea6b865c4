#include "testsupport/RecordingListener.h"

namespace testsupport {


void RecordingListener::OnStatusMessage(int kind, const std::string& text) {
  platform::CLockGuard lock(m_Mutex);
  m_Messages.emplace_back(kind, text);
}

std::vector<std::pair<int, std::string>> RecordingListener::Messages() const {
  platform::CLockGuard lock(m_Mutex);
  return m_Messages;
}

std::vector<std::string> RecordingListener::Texts(int kind) const {
  std::vector<std::string> texts;
  for (const auto& [messageKind, text] : Messages()) {
    if (messageKind == kind) texts.push_back(text);
  }
  return texts;
}

int RecordingListener::Count(int kind, const std::string& text) const {
  int count = 0;
  for (const auto& [messageKind, messageText] : Messages()) {
    if (messageKind == kind && messageText == text) ++count;
  }
  return count;
}

bool RecordingListener::HasPrefix(const std::string& prefix) const {
  for (const auto& message : Messages()) {
    if (message.second.compare(0, prefix.size(), prefix) == 0) return true;
  }
  return false;
}

void RecordingListener::Clear() {
  platform::CLockGuard lock(m_Mutex);
  m_Messages.clear();
}

}  // namespace testsupport
