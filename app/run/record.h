// The record of a run, for --record FILE: one JSON object on one line
// (JSON Lines), appended to the record file (append.h) once the run has
// ended, however it ended. The fields, in this order, null where unknown:
//
//   run_id           "5f0c...-4...": this run's own id, a random UUID (version 4); the
//                    same in the end event and in every record target
//   start            "2024-05-02T09:14:03.215Z": UTC, to the millisecond
//   duration_s       63.402
//   host             this computer's name
//   fwdl_version     "1.0.0.0"
//   procedure        "hex" or "dvb"
//   port             as given: "COM3", "/dev/ttyUSB0"
//   device           the device it led to: "/dev/ttyUSB0"
//   adapter          {"driver": "ftdi_sio", "usb": "0403:6001", "serial_number": "A50285BI"}
//   flow_control     who keeps XON/XOFF: "kernel" (the driver or the adapter) or "program"
//   firmware         {"path": "fw.bin", "size": 65536, "sha256": "3b6a...",
//                     "signed_by": the fingerprint of the trusted key that signed
//                     it (--trust), or null}
//   bytes_written    the bytes that went out on the line
//   outcome          "success", "error_verdict", "no_contact", ...
//   exit_code        fwdl's exit code
//   instrument_text  the instrument's own last answer: the verdict line, or what came
//                    after the image; empty when it answered nothing there
//   serial           the station's label (--serial), or null
//
// The texts stay valid JSON whatever they hold. The instrument's text is
// 8-bit, often Latin-1, sometimes noise: every byte stands for the Latin-1
// character of its value (0xFF is "ÿ"), so the line is valid UTF-8 and the
// bytes can be read back exactly, each character below U+0100 being one
// byte. The other texts (paths, names, the label) are taken as UTF-8, and
// a sequence that is not UTF-8 becomes U+FFFD. Control characters, quotes
// and backslashes are escaped as JSON escapes them ("\u0000", "\r", "\"").
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace fwdl::console {

struct RunRecord {
  std::string run_id;
  std::chrono::system_clock::time_point start;
  std::chrono::milliseconds duration{0};
  std::string host;
  std::string version;
  std::string procedure;
  std::string port;
  std::string device;
  struct Adapter {
    std::optional<std::string> driver;
    std::optional<std::string> usb;  // "vendor:product", four hex digits each
    std::optional<std::string> serial_number;
  } adapter;
  std::string flow_control;
  std::string firmware_path;
  std::optional<std::uint64_t> firmware_size;
  std::optional<std::string> firmware_sha256;
  std::optional<std::string> firmware_signed_by;
  std::uint64_t bytes_written = 0;
  std::string outcome;
  int exit_code = 0;
  std::string instrument_text;  // as the instrument sent it
  std::optional<std::string> serial;
};

// A new run id: a random UUID, version 4, in lower case
// ("1b4e28ba-2fa1-4d2b-883f-0016d3cca427"). Throws std::runtime_error when
// the system gives no random bytes.
std::string NewRunId();

// The record as one line of JSON, ending with "\n".
std::string RecordLine(const RunRecord& record);

// "2024-05-02T09:14:03.215Z".
std::string UtcTimestamp(std::chrono::system_clock::time_point time);

// Each byte as the Latin-1 character of its value, in UTF-8.
std::string Latin1ToUtf8(std::string_view bytes);

// What is wrong with the text of --serial, or nothing: it must be 1 to 64
// printable characters of UTF-8 text.
std::optional<std::string> SerialLabelProblem(std::string_view text);

}  // namespace fwdl::console
