#include "testsupport/ScopedEnvironment.h"

#include <cstdlib>

namespace testsupport {

ScopedEnvironment::~ScopedEnvironment() {
  for (auto saved = m_Saved.rbegin(); saved != m_Saved.rend(); ++saved) {
    if (saved->second.first) {
      setenv(saved->first.c_str(), saved->second.second.c_str(), 1);
    } else {
      unsetenv(saved->first.c_str());
    }
  }
}

void ScopedEnvironment::Remember(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  m_Saved.push_back({name, {value != nullptr, value != nullptr ? value : ""}});
}

void ScopedEnvironment::Set(const std::string& name, const std::string& value) {
  Remember(name);
  setenv(name.c_str(), value.c_str(), 1);
}

void ScopedEnvironment::Unset(const std::string& name) {
  Remember(name);
  unsetenv(name.c_str());
}

}  // namespace testsupport
