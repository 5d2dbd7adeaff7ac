// Works the Windows serial backend on command, for the tests that check it
// under Wine from the instrument's side of a pseudo-terminal. Reads one
// command a line from standard input and answers one line each:
//   open NAME MODE   with XON/XOFF kept by MODE (kernel: the driver, program,
//                    auto: by the port's driver): "opened MODE", or "failed REASON"
//   setup       the program's line settings: "set", or "failed REASON"
//   close       closes the port: "closed"
//   write N     N bytes of letters, waiting while the line is held: "wrote N"
//   fail CALL CODE   from now on the backend's setup call CALL ("-": none)
//                    fails with the error CODE: "ready"
//   asked       the setup calls made since the last fail, in order: "asked CALL..."
//   message CODE     the system's words for error CODE
//   quit
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "platform/serial_port.h"
#include "serial/serial_link.h"
#include "support/failing_setup_call.h"

int main() {
  std::unique_ptr<fwdl::SystemSerialPorts> ports;
  fwdl::PortHandle port = fwdl::kInvalidPortHandle;
  std::unique_ptr<fwdl::testing::FailingSetupCall> fake;
  std::string command;
  while (std::cin >> command && command != "quit") {
    if (command == "open") {
      std::string name, mode;
      std::cin >> name >> mode;
      fwdl::PortOptions options;
      if (mode != "auto") options.flow = mode == "program" ? fwdl::FlowMode::kProgram : fwdl::FlowMode::kKernel;
      ports = std::make_unique<fwdl::SystemSerialPorts>(options);
      const fwdl::OpenResult opened = ports->Open(name);
      port = opened.handle;
      std::cout << (port != fwdl::kInvalidPortHandle ? std::string("opened ") + fwdl::FlowModeName(opened.flow)
                                                     : "failed " + opened.error.reason);
    } else if (command == "setup") {
      fwdl::LineSettings settings;
      fwdl::PortError error = ports->GetState(port, settings);
      fwdl::WriteLineSettings(settings);
      if (!error.failed()) error = ports->SetState(port, settings);
      std::cout << (!error.failed() ? "set" : "failed " + error.reason);
    } else if (command == "write") {
      std::uint32_t count = 0;
      std::cin >> count;
      std::string bytes(count, ' ');
      for (std::uint32_t i = 0; i < count; ++i) bytes[i] = static_cast<char>('a' + i % 26);
      // As the program writes: short waits, again and again, while held.
      std::uint32_t written = 0;
      const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (written < count && std::chrono::steady_clock::now() < give_up) {
        const fwdl::PortResult r =
            ports->Write(port, bytes.data() + written, count - written, fwdl::kWriteWaitMs);
        written += r.count;
        if (r.error.failed()) break;
      }
      std::cout << "wrote " << written;
    } else if (command == "close") {
      if (port != fwdl::kInvalidPortHandle) ports->Close(port);
      port = fwdl::kInvalidPortHandle;
      std::cout << "closed";
    } else if (command == "fail") {
      std::string call;
      int code = 0;
      std::cin >> call >> code;
      fake.reset();
      fake = std::make_unique<fwdl::testing::FailingSetupCall>(call == "-" ? "" : call, code);
      std::cout << "ready";
    } else if (command == "asked") {
      std::cout << "asked";
      for (const std::string& call : fake ? fake->asked : std::vector<std::string>{}) {
        std::cout << ' ' << call;
      }
    } else if (command == "message") {
      DWORD code = 0;
      std::cin >> code;
      char text[512] = "";
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                     text, sizeof text, nullptr);
      std::string message = text;
      while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                  message.back() == ' ')) {
        message.pop_back();
      }
      std::cout << message;
    } else {
      std::cout << "unknown " << command;
    }
    std::cout << std::endl;
  }
  if (port != fwdl::kInvalidPortHandle) ports->Close(port);
  return 0;
}
