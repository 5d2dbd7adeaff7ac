// Sets (or removes) an environment variable for the length of a scope and
// puts back what was there before.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace fwdl::testing {

class EnvGuard {
 public:
  // `value` nothing: the variable is removed for the scope.
  EnvGuard(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
    if (const char* before = std::getenv(name_.c_str())) before_ = before;
    if (value) {
      setenv(name_.c_str(), value->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }
  ~EnvGuard() {
    if (before_) {
      setenv(name_.c_str(), before_->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }
  EnvGuard(const EnvGuard&) = delete;
  EnvGuard& operator=(const EnvGuard&) = delete;

 private:
  std::string name_;
  std::optional<std::string> before_;
};

}  // namespace fwdl::testing
