// fwdl --json: what a run shows, as JSON Lines on standard output, for a
// station program that drives many fwdl processes and shows their progress.
// One object a line, each with an "event" field:
//
//   {"event":"start","procedure":"dvb","port":"COM3","device":"/dev/ttyUSB0","file":"fw.bin",
//    "size":300326,"sha256":"...","version":"1.0.0.0","time":"2026-12-09T10:00:00.000Z"}
//   {"event":"notice","text":"COM3 (/dev/ttyUSB0): XON/XOFF kept by the program: driver ch341"}
//   {"event":"status","text":"Searching..."}
//   {"event":"question","caption":"","text":"1. Turn on the instrument. ...","details":""}
//   {"event":"box","caption":"","text":"1. Turn on the instrument. ...","details":"",
//    "question":true,"answer":"ok"}
//   {"event":"progress","text":"37% done","sent":111111,"total":300326,"rate":5702,"left_s":33}
//   {"event":"end","outcome":"success","exit_code":0,"instrument_text":"...","bytes_written":307972,
//    "flow_control":"kernel","run_id":"1b4e28ba-2fa1-4d2b-883f-0016d3cca427"}
//
// A port that did not open has the remedy the system told in the box's
// "details" and, on its own, in the end event's "remedy":
//   {"event":"end","outcome":"port_unusable","exit_code":4,...,"remedy":"/dev/ttyUSB0 belongs
//    to the group dialout, and the user ann is not in it: sudo usermod -aG dialout ann, ..."}
//
// "rate" (bytes that have left the port a second, never above the line's)
// and "left_s" are null for the first second of sending (download/progress.h).
// Texts from the instrument are 8-bit: each byte stands for its Latin-1
// character, so every line is valid UTF-8 whatever the instrument sent.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

#include "download/progress.h"

namespace fwdl::console {

struct RunStart {
  std::string procedure, port, device, file, version, time;
  std::optional<std::uint64_t> size;
  std::optional<std::string> sha256;
};

struct RunEnd {
  std::string outcome;
  int exit_code = 0;
  std::string instrument_text;
  std::uint64_t bytes_written = 0;
  std::string flow_control;  // "kernel" or "program": who kept XON/XOFF
  std::string remedy;        // a port that did not open: what to do; "" leaves the field out
  std::string run_id;        // as in the record
};

class JsonEvents {
 public:
  explicit JsonEvents(std::ostream& out) : out_(out) {}

  void Start(const RunStart& start);
  void Notice(const std::string& text);
  void Status(const std::string& text);
  // A question that now waits for its answer ({"answer":"ok"} or
  // {"answer":"cancel"} on standard input, see answer.h); its box event
  // follows with the answer.
  void Question(const std::string& caption, const std::string& text, const std::string& details);
  // `answer`: "ok" or "cancel" for a question; nothing for a box with OK alone.
  void Box(const std::string& caption, const std::string& text, const std::string& details,
           const std::optional<std::string>& answer);
  void Progress(const std::string& text, std::uint64_t sent, std::uint64_t total,
                const Pace& pace);
  void Interrupted();
  void End(const RunEnd& end);

 private:
  void Write(const std::string& line);
  std::ostream& out_;
};

}  // namespace fwdl::console
