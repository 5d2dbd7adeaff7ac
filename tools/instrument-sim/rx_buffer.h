// The instrument's receive buffer while it writes its flash: bytes come off
// the line into a buffer of fixed size and leave it at the flash-writing
// rate, slower than the line's. The buffer asks for XOFF when it is within
// a margin of full (room for what the sender has under way when it hears
// the XOFF) and for XON once it has drained to a low mark. What arrives while
// it is full is lost: counted, and marked in the stream, so that the
// firmware behind it knows where its data has a gap.
//
// Driven by the times its caller passes in (a real clock in instrument-sim,
// a fake one in tests); times never go back.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "instrument.h"

namespace sim {

struct RxBufferOptions {
  std::size_t size = 1024;     // bytes it can hold
  double flash_rate = 2880;    // bytes a second that it takes out
  std::size_t margin = 128;    // XOFF when this close to full
  std::size_t low_mark = 448;  // XON once drained to this many
};

// A buffer of `size` bytes: XOFF 128 bytes short of full (a quarter short,
// for a buffer under 512 bytes), XON at half the XOFF level.
RxBufferOptions RxBufferFor(std::size_t size);
// What makes `options` unworkable, or empty when they work.
std::string RxBufferProblem(const RxBufferOptions& options);

class RxBuffer {
 public:
  explicit RxBuffer(RxBufferOptions options) : options_(options) {}

  // Bytes off the line at `now`; those that do not fit are lost.
  void Arrive(const char* data, std::size_t size, Millis now);

  // What the flash has taken out by `now`, in order; `lost_before` bytes
  // were lost just ahead of `bytes` (which may then be empty).
  struct Piece {
    std::size_t lost_before = 0;
    std::string bytes;
  };
  std::vector<Piece> Take(Millis now);
  // When Take next has something, if ever.
  std::optional<Millis> NextDue() const;

  // True from the moment the buffer reaches its XOFF level until it has
  // drained to the low mark.
  bool WantsHold() const { return holding_; }
  std::size_t level() const { return data_.size(); }
  std::uint64_t lost() const { return lost_; }
  std::uint64_t holds() const { return holds_; }
  // The most bytes that arrived during one hold, from its start to its end.
  std::uint64_t most_after_xoff() const {
    return holding_ && after_xoff_ > most_after_xoff_ ? after_xoff_ : most_after_xoff_;
  }
  // Events for a human log, taken once: a hold that lost bytes or brought a
  // new most after an XOFF.
  std::vector<std::string> TakeEvents();

 private:
  void Advance(Millis now);

  RxBufferOptions options_;
  std::string data_;
  std::uint64_t accepted_ = 0, taken_ = 0;  // bytes through the buffer, in and out
  struct Gap {
    std::uint64_t at;  // the count of accepted bytes ahead of it
    std::size_t count;
  };
  std::deque<Gap> gaps_;
  std::vector<Piece> out_;
  Millis last_ = 0;
  double credit_ = 0;  // bytes the flash may take out now, short of one whole byte
  bool holding_ = false;
  Millis hold_start_ = 0;
  std::uint64_t after_xoff_ = 0, lost_in_hold_ = 0;
  std::uint64_t lost_ = 0, holds_ = 0, most_after_xoff_ = 0;
  std::vector<std::string> events_;
};

}  // namespace sim
