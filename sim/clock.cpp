// SPDX-License-Identifier: MIT
#include "sim/clock.h"

#include <ctime>

namespace cdbox::sim {

std::int64_t read_clock_ns(int clock_id) {
  timespec ts{};
  if (clock_gettime(clock_id, &ts) != 0) {
    return 0;
  }
  return std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

SimClock::SimClock(bool virtual_time)
    : virtual_(virtual_time), start_ns_(read_clock_ns(CLOCK_MONOTONIC)) {}

std::int64_t SimClock::now_ns() const {
  return virtual_ ? virtual_ns_ : read_clock_ns(CLOCK_MONOTONIC) - start_ns_;
}

void SimClock::advance(std::int64_t ns) {
  if (virtual_ && ns > 0) {
    virtual_ns_ += ns;
  }
}

}  // namespace cdbox::sim
