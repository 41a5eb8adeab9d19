// SPDX-License-Identifier: MIT
// The simulation's clock: real monotonic time, or a virtual clock that only
// sleeps move forward.
#pragma once

#include <cstdint>

namespace cdbox::sim {

class SimClock {
 public:
  explicit SimClock(bool virtual_time);

  // Nanoseconds since the clock was made.
  [[nodiscard]] std::int64_t now_ns() const;
  [[nodiscard]] bool is_virtual() const { return virtual_; }
  // Moves a virtual clock forward; a real clock ignores it.
  void advance(std::int64_t ns);

 private:
  bool virtual_;
  std::int64_t start_ns_;
  std::int64_t virtual_ns_ = 0;
};

// Reads a clock of this machine, in nanoseconds.
std::int64_t read_clock_ns(int clock_id);

}  // namespace cdbox::sim
