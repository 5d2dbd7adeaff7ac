// What a fuzz input plays in a download: the user's answers, the firmware
// file, and the instrument's side of the line as a list of steps. Each step
// waits for its trigger (counted from the moment the step before it acted),
// waits its delay on the fake clock, and then acts: bytes arrive, the line
// is held for a while, the device goes, the user presses Exit, ...
//
// Layout, byte by byte; a missing byte reads as 0:
//   start     bit 0-1: 0 no port is open; bit 2: Cancel on the instructions
//   box       how long each message box stays open, in 10 ms
//   patience  how long the user lets the HEX search run before pressing
//             "Abort Search...", in 100 ms, plus 100 ms
//   dialog    0 Cancel, 1 a file that does not exist, 2 a folder, else a file:
//             its size (2 bytes, least significant first), the length of its
//             content (2 bytes) and the content, repeated or cut to the size;
//             size 0 takes the content as it is. So a file can grow without
//             moving the steps behind it.
//   steps     until the input ends: trigger [argument] delay action [arguments]
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fwdl::fuzz {

using Millis = std::int64_t;

enum class Trigger : std::uint8_t {
  kAtOnce,      // when the step before has acted
  kByte,        // the next write of the byte given
  kBytes,       // after (argument + 1) more bytes written
  kManyBytes,   // after (argument + 1) * 64 more bytes written
};
inline constexpr std::uint8_t kTriggers = 4;

enum class Action : std::uint8_t {
  kBytes,        // a length byte, then that many bytes arrive
  kPhrase,       // one of kPhrases arrives
  kFlood,        // (count + 1) * 1000 copies of a byte arrive
  kHold,         // an XOFF holds our output for (argument + 1) * 100 ms
  kGone,         // the device goes (an unplugged adapter)
  kExit,         // the user chooses Exit
  kAbort,        // the user presses "Abort Search...", where it is shown
  kBadCount,     // the driver reports a waiting count (2 bytes; 0: the true one again)
  kReadOverrun,  // the driver's reads deliver more than asked for
  kBusy,         // like kHold, but the instrument sends its XOFF again at every
                 // poll, so that resuming our output does not lift the hold
};
inline constexpr std::uint8_t kActions = 10;

// What instruments say, so that the fuzzer need not find it byte by byte.
inline const std::vector<std::string> kPhrases = {
    ">",
    "#",
    "\r\nVardelo loader\r\n>",
    "Flashed successfully...\r\n>",
    "Programming...\nFirmware programmed OK\nRestart\n",
    "Programming...\n?Checksum error\nBye.\n",
    "Error\n",
    "E\r\n",
};

enum class FileAnswer : std::uint8_t { kCancel, kMissing, kFolder, kFile };

struct Step {
  Trigger trigger = Trigger::kAtOnce;
  std::uint32_t count = 0;  // kByte: the byte; kBytes, kManyBytes: bytes to wait for
  Millis delay = 0;
  Action action = Action::kBytes;
  std::string bytes;        // kBytes, kPhrase, kFlood: what arrives
  std::uint32_t value = 0;  // kHold, kBusy: milliseconds; kBadCount, kReadOverrun: the figure
};

struct Script {
  bool port_open = true;
  bool cancel_instructions = false;
  Millis box_open_ms = 0;
  Millis patience_ms = 100;
  FileAnswer file_answer = FileAnswer::kCancel;
  std::string file;
  std::vector<Step> steps;

  // The longest the line can be held by the steps' XOFFs together.
  Millis HoldsAtMost() const;
};

Script Decode(const std::uint8_t* data, std::size_t size);

// Writes inputs in the layout above, for the seed corpus.
class ScriptWriter {
 public:
  ScriptWriter(bool port_open, bool cancel, std::uint8_t box_10ms, std::uint8_t patience_100ms);
  ScriptWriter& CancelDialog() { return Dialog(FileAnswer::kCancel); }
  // Cancel, a missing file or a folder.
  ScriptWriter& Dialog(FileAnswer answer);
  // A file of `size` bytes, `content` repeated; size 0: the content as it is.
  ScriptWriter& File(const std::string& content, std::uint16_t size = 0);
  ScriptWriter& Step(Trigger trigger, std::uint8_t argument, std::uint8_t delay, Action action,
                     const std::string& arguments = {});
  // A delay byte: below 200 it counts 10 ms, above in whole seconds.
  static std::uint8_t DelayMs(Millis ms);
  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

}  // namespace fwdl::fuzz
