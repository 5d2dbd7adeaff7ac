#include "rx_buffer.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace sim {

RxBufferOptions RxBufferFor(std::size_t size) {
  RxBufferOptions options;
  options.size = size;
  options.margin = std::min<std::size_t>(128, size / 4);
  options.low_mark = (size - options.margin) / 2;
  return options;
}

std::string RxBufferProblem(const RxBufferOptions& o) {
  if (o.size == 0) return "the buffer must hold at least one byte";
  if (!(o.flash_rate > 0)) return "the flash rate must be above 0";
  if (o.margin >= o.size) return "the margin must be below the buffer's size";
  if (o.low_mark >= o.size - o.margin) return "the low mark must be below the XOFF level";
  return {};
}

void RxBuffer::Arrive(const char* data, std::size_t size, Millis now) {
  Advance(now);
  for (std::size_t i = 0; i < size; ++i) {
    if (holding_) ++after_xoff_;
    if (data_.size() < options_.size) {
      data_.push_back(data[i]);
      ++accepted_;
    } else {
      ++lost_;
      ++lost_in_hold_;
      if (!gaps_.empty() && gaps_.back().at == accepted_) {
        ++gaps_.back().count;
      } else {
        gaps_.push_back({accepted_, 1});
      }
    }
    if (!holding_ && data_.size() >= options_.size - options_.margin) {
      holding_ = true;
      ++holds_;
      hold_start_ = now;
      after_xoff_ = lost_in_hold_ = 0;
    }
  }
}

void RxBuffer::Advance(Millis now) {
  const Millis elapsed = std::max<Millis>(0, now - last_);
  last_ = std::max(last_, now);
  credit_ += static_cast<double>(elapsed) * options_.flash_rate / 1000;
  for (;;) {
    if (!gaps_.empty() && gaps_.front().at == taken_) {
      out_.push_back({gaps_.front().count, {}});
      gaps_.pop_front();
      continue;
    }
    if (data_.empty() || credit_ < 1) break;
    std::uint64_t n = std::min<std::uint64_t>(static_cast<std::uint64_t>(credit_), data_.size());
    if (!gaps_.empty()) n = std::min(n, gaps_.front().at - taken_);
    if (out_.empty()) out_.emplace_back();
    out_.back().bytes.append(data_, 0, n);
    data_.erase(0, n);
    taken_ += n;
    credit_ -= static_cast<double>(n);
  }
  if (data_.empty()) credit_ = 0;  // an idle flash saves up no time

  if (holding_ && data_.size() <= options_.low_mark) {
    holding_ = false;
    if (lost_in_hold_ > 0 || after_xoff_ > most_after_xoff_) {
      events_.push_back("receive buffer: held " + std::to_string(now - hold_start_) + " ms; " +
                        std::to_string(after_xoff_) + " bytes came after the XOFF, " +
                        std::to_string(lost_in_hold_) + " lost");
    }
    most_after_xoff_ = std::max(most_after_xoff_, after_xoff_);
  }
}

std::vector<RxBuffer::Piece> RxBuffer::Take(Millis now) {
  Advance(now);
  return std::exchange(out_, {});
}

std::optional<Millis> RxBuffer::NextDue() const {
  if (data_.empty()) return std::nullopt;
  const double wait_ms = std::ceil((1 - credit_) * 1000 / options_.flash_rate);
  return last_ + std::max<Millis>(0, static_cast<Millis>(wait_ms));
}

std::vector<std::string> RxBuffer::TakeEvents() { return std::exchange(events_, {}); }

}  // namespace sim
