// A seam for tests in front of the system calls with which a backend opens
// and sets up a port: on POSIX open, isatty, TIOCEXCL and flock
// (serial_port_posix.cpp), on Win32 CreateFileA and SetCommTimeouts
// (serial_port_win32.cpp). A fake is asked before each, by name, and may
// fail it with an error code of the system's own (errno, GetLastError) as
// if the system had refused it; the backend then closes what it opened and
// refuses the port with that reason, as it does for a real refusal. The
// program never puts a fake there.
#pragma once

namespace fwdl {

class SetupCallFake {
 public:
  virtual ~SetupCallFake() = default;
  // The system's error code to fail `call` with; 0: the call is made.
  virtual int Fail(const char* call) = 0;
};

// Puts `fake` in front of the backend's setup calls; nullptr takes it away.
void FakeSetupCalls(SetupCallFake* fake);
// For the backends: the code that the fake fails `call` with; 0 without one.
int SetupCallFault(const char* call);

}  // namespace fwdl
