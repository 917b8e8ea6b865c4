#include "folders/CFolder.h"

#include <algorithm>

namespace FK {

void CFolder::AddAutomationPlugIn(const std::string& name) {
  if (std::find(m_AutomationPlugIns.begin(), m_AutomationPlugIns.end(), name) ==
      m_AutomationPlugIns.end()) {
    m_AutomationPlugIns.push_back(name);
  }
}

}  // namespace FK
