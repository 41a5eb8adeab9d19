// SPDX-License-Identifier: MIT
// The simulation's clock: real monotonic time, or a virtual clock that jumps
// from wait to wait and follows real time only while a task computes.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>

namespace cdbox::sim {

// The latest time the clocks can tell, in nanoseconds: where sums saturate.
constexpr std::int64_t kTimeMax = std::numeric_limits<std::int64_t>::max();

// a + b, held at the ends of the range instead of overflowing.
constexpr std::int64_t add_saturating(std::int64_t a, std::int64_t b) {
  std::int64_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) {
    return b > 0 ? kTimeMax : std::numeric_limits<std::int64_t>::min();
  }
  return sum;
}

class SimClock {
 public:
  explicit SimClock(bool virtual_time);

  // Nanoseconds since the clock was made: virtual or real.
  [[nodiscard]] std::int64_t now_ns() const;
  // Real nanoseconds since the clock was made, whichever kind it is.
  [[nodiscard]] std::int64_t real_ns() const;
  [[nodiscard]] bool is_virtual() const { return virtual_; }

  // Moves a virtual clock forward to at; it never goes back, and a real
  // clock ignores it.
  void advance_to(std::int64_t at_ns);
  // While on, a virtual clock moves as fast as real time.
  void follow_real_time(bool on);
  [[nodiscard]] bool follows_real_time() const { return following_since_.has_value(); }
  // The real nanoseconds until the clock shows at_ns; nullopt when it does
  // not move by itself (a virtual clock that does not follow real time).
  [[nodiscard]] std::optional<std::int64_t> real_ns_until(std::int64_t at_ns) const;

 private:
  bool virtual_;
  std::int64_t start_ns_;
  std::int64_t virtual_ns_ = 0;
  std::optional<std::int64_t> following_since_;  // real_ns() when following began
};

// Reads a clock of this machine, in nanoseconds.
std::int64_t read_clock_ns(int clock_id);

}  // namespace cdbox::sim
