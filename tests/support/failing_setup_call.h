// A fake in front of the calls with which the serial backend opens a port
// (platform/setup_calls.h): it fails the one it is given with a code of the
// system's own and notes every call it is asked about, in order.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/setup_calls.h"

namespace fwdl::testing {

class FailingSetupCall final : public SetupCallFake {
 public:
  // `call` empty: none fails.
  explicit FailingSetupCall(std::string call = {}, int code = 0)
      : call_(std::move(call)), code_(code) {
    FakeSetupCalls(this);
  }
  ~FailingSetupCall() override { FakeSetupCalls(nullptr); }
  FailingSetupCall(const FailingSetupCall&) = delete;
  FailingSetupCall& operator=(const FailingSetupCall&) = delete;

  int Fail(const char* call) override {
    asked.emplace_back(call);
    return call == call_ ? code_ : 0;
  }

  std::vector<std::string> asked;

 private:
  std::string call_;
  int code_;
};

}  // namespace fwdl::testing
