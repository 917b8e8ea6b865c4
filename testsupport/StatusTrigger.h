#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "status/MonitorListener.h"

namespace testsupport {

// A MonitorListener that runs an action (write a marker, throw as a failing call would) each
// time a status line of exactly this text goes by while it is armed.
class StatusTrigger : public MonitorListener {
 public:
  StatusTrigger(std::string text, std::function<void()> action)
      : m_strText(std::move(text)), m_Action(std::move(action)) {}
  void OnDocumentChange(int, std::string, FK::CFolder) override {}
  void OnStatusMessage(int, const std::string& text) override {
    if (m_bArmed && text == m_strText) m_Action();
  }
  void Arm(bool armed) { m_bArmed = armed; }

 private:
  std::string m_strText;
  std::function<void()> m_Action;
  std::atomic<bool> m_bArmed{true};
};

}  // namespace testsupport
