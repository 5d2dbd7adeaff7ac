// An environment variable set (or removed) for the length of a test, and
// put back as it was afterwards, so that no test leaks it into the next.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace fwdl::testing {

class EnvGuard {
 public:
  // Sets `name` to `value`; removes it when `value` is nothing.
  EnvGuard(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
    Set(value);
  }
  ~EnvGuard() { Set(old_); }
  EnvGuard(const EnvGuard&) = delete;
  EnvGuard& operator=(const EnvGuard&) = delete;

  void Set(const std::optional<std::string>& value) const {
    if (value) {
      setenv(name_.c_str(), value->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace fwdl::testing
