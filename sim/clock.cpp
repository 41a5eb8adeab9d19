// SPDX-License-Identifier: MIT
#include "sim/clock.h"

#include <ctime>

#include "sim/machine/defaults.h"

namespace cdbox::sim {

std::int64_t read_clock_ns(int clock_id) {
  timespec ts{};
  if (clock_gettime(clock_id, &ts) != 0) {
    return 0;
  }
  return std::int64_t{ts.tv_sec} * kNsPerSecond + ts.tv_nsec;
}

SimClock::SimClock(bool virtual_time)
    : virtual_(virtual_time), start_ns_(read_clock_ns(CLOCK_MONOTONIC)) {}

std::int64_t SimClock::real_ns() const {
  return read_clock_ns(CLOCK_MONOTONIC) - start_ns_;
}

std::int64_t SimClock::now_ns() const {
  if (!virtual_) {
    return real_ns();
  }
  if (following_since_) {
    return add_saturating(virtual_ns_, real_ns() - *following_since_);
  }
  return virtual_ns_;
}

void SimClock::advance_to(std::int64_t at_ns) {
  if (!virtual_) {
    return;
  }
  const std::int64_t now = now_ns();
  virtual_ns_ = at_ns > now ? at_ns : now;
  if (following_since_) {
    following_since_ = real_ns();
  }
}

void SimClock::follow_real_time(bool on) {
  if (!virtual_ || on == follows_real_time()) {
    return;
  }
  virtual_ns_ = now_ns();
  following_since_.reset();
  if (on) {
    following_since_ = real_ns();
  }
}

std::optional<std::int64_t> SimClock::real_ns_until(std::int64_t at_ns) const {
  if (virtual_ && !following_since_) {
    return std::nullopt;
  }
  const std::int64_t left = at_ns - now_ns();
  return left > 0 ? left : 0;
}

}  // namespace cdbox::sim
