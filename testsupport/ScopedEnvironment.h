#pragma once

#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// Sets environment variables for the life of the object and restores the previous values.
// Tests only; not for use while other threads read the environment.
class ScopedEnvironment {
 public:
  ScopedEnvironment() = default;
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  void Set(const std::string& name, const std::string& value);
  void Unset(const std::string& name);

 private:
  void Remember(const std::string& name);

  // name, had a value, previous value; restored in reverse order
  std::vector<std::pair<std::string, std::pair<bool, std::string>>> m_Saved;
};

}  // namespace testsupport
