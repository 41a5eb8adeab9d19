// SPDX-License-Identifier: MIT
#include "sim/real_time_net.h"

#include "sim/clock.h"

namespace cdbox::sim {
void RealTimeNet::after_write(std::uint8_t control, pid_t actor, std::int64_t now_ns) {
  for (std::size_t i = 0; i < holds_.size(); ++i) {
    Hold& hold = holds_[i];
    if ((control & solenoid_bits_[i]) == 0) {
      hold = Hold{};
    } else if (!hold.since) {
      hold = Hold{now_ns, false, actor};
    }
  }
}

std::vector<RealTimeNet::Breach> RealTimeNet::breaches(std::int64_t now_ns) {
  std::vector<Breach> found;
  for (std::size_t i = 0; i < holds_.size(); ++i) {
    Hold& hold = holds_[i];
    if (hold.since && !hold.reported && now_ns - *hold.since > max_hold_ns_) {
      hold.reported = true;
      found.push_back(Breach{static_cast<int>(i + 1), hold.actor});
    }
  }
  return found;
}

std::optional<std::int64_t> RealTimeNet::next_breach_at() const {
  std::optional<std::int64_t> next;
  for (const Hold& hold : holds_) {
    if (hold.since && !hold.reported) {
      // Strictly longer than the longest safe hold.
      const std::int64_t at = add_saturating(*hold.since, add_saturating(max_hold_ns_, 1));
      if (!next || at < *next) {
        next = at;
      }
    }
  }
  return next;
}

}  // namespace cdbox::sim
