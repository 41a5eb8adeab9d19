// SPDX-License-Identifier: MIT
// The clocks a traced program reads and sleeps on, in virtual time: each is
// its value when the simulation began plus the virtual time since.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace cdbox::sim {

class ProgramClocks {
 public:
  // Reads the start value of every clock that virtual time stands in for.
  ProgramClocks();

  // clock_id's value at virtual time now_ns; nullopt for a clock that
  // virtual time leaves to the kernel (CPU-time clocks, MONOTONIC_RAW,
  // unknown ids).
  [[nodiscard]] std::optional<std::int64_t> read(int clock_id, std::int64_t now_ns) const;
  // The virtual time at which clock_id shows at_ns (before the start for a
  // time already past); nullopt as for read().
  [[nodiscard]] std::optional<std::int64_t> virtual_time_of(int clock_id, std::int64_t at_ns) const;
  // True for the clocks clock_nanosleep can sleep on in virtual time.
  [[nodiscard]] static bool sleepable(int clock_id);

 private:
  // Start values by clock id; nullopt for the clocks left to the kernel.
  std::array<std::optional<std::int64_t>, 12> start_{};
};

}  // namespace cdbox::sim
