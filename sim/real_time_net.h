// SPDX-License-Identifier: MIT
// The safety net of virtual time: a solenoid energized for longer than the
// longest safe hold of real time is a violation too, whatever the virtual
// clock says, so a hold made with a wait that stays real is still caught.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "drawer/regmap.h"

namespace cdbox::sim {

class RealTimeNet {
 public:
  // solenoid_bits: each drawer's control bit, as the run maps it.
  explicit RealTimeNet(std::int64_t max_hold_ns,
                       const std::array<std::uint8_t, 2>& solenoid_bits = {CDBoxDrawer1CMD,
                                                                           CDBoxDrawer2CMD})
      : max_hold_ns_(max_hold_ns), solenoid_bits_(solenoid_bits) {}

  // The control register holds control since actor wrote it at real time
  // now_ns.
  void after_write(std::uint8_t control, pid_t actor, std::int64_t now_ns);

  struct Breach {
    int drawer = 0;  // 1 or 2
    pid_t actor = 0;
  };
  // The holds that have run too long by real time now_ns, each once.
  std::vector<Breach> breaches(std::int64_t now_ns);
  // When the next breach falls due, in real ns; nullopt when none can.
  [[nodiscard]] std::optional<std::int64_t> next_breach_at() const;

 private:
  struct Hold {
    std::optional<std::int64_t> since;
    bool reported = false;
    pid_t actor = 0;
  };
  std::int64_t max_hold_ns_;
  std::array<std::uint8_t, 2> solenoid_bits_;
  std::array<Hold, 2> holds_;
};

}  // namespace cdbox::sim
