// SPDX-License-Identifier: MIT
#include "sim/program_clocks.h"

#include <ctime>

#include "sim/clock.h"

namespace cdbox::sim {
namespace {

constexpr int kVirtualClocks[] = {CLOCK_REALTIME,         CLOCK_MONOTONIC, CLOCK_REALTIME_COARSE,
                                  CLOCK_MONOTONIC_COARSE, CLOCK_BOOTTIME,  CLOCK_TAI};

}  // namespace

ProgramClocks::ProgramClocks() {
  for (const int id : kVirtualClocks) {
    start_.at(static_cast<std::size_t>(id)) = read_clock_ns(id);
  }
}

std::optional<std::int64_t> ProgramClocks::read(int clock_id, std::int64_t now_ns) const {
  if (clock_id < 0 || static_cast<std::size_t>(clock_id) >= start_.size()) {
    return std::nullopt;
  }
  const auto& start = start_.at(static_cast<std::size_t>(clock_id));
  return start ? std::optional(add_saturating(*start, now_ns)) : std::nullopt;
}

std::optional<std::int64_t> ProgramClocks::virtual_time_of(int clock_id, std::int64_t at_ns) const {
  const auto start = read(clock_id, 0);
  return start ? std::optional(at_ns - *start) : std::nullopt;
}

bool ProgramClocks::sleepable(int clock_id) {
  return clock_id == CLOCK_REALTIME || clock_id == CLOCK_MONOTONIC || clock_id == CLOCK_BOOTTIME ||
         clock_id == CLOCK_TAI;
}

}  // namespace cdbox::sim
