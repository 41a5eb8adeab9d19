// SPDX-License-Identifier: MIT
#include "sim/controller.h"

#include "drawer/regmap.h"
#include "sim/clock.h"

namespace cdbox::sim {
DrawerController::DrawerController(const ControllerConfig& config) : config_(config) {
  drawers_[0].solenoid_bit = CDBoxDrawer1CMD;
  drawers_[0].sensor_bit = CDBoxDrawer1OpenBit;
  drawers_[1].solenoid_bit = CDBoxDrawer2CMD;
  drawers_[1].sensor_bit = CDBoxDrawer2OpenBit;
}

bool DrawerController::owns(std::uint16_t port) {
  return port >= CDBoxPortFirst && port <= CDBoxPortLast;
}

std::optional<DrawerController::Pending> DrawerController::earliest_pending() const {
  std::optional<Pending> best;
  auto consider = [&](std::size_t i, ControllerEvent::Kind kind, std::int64_t at) {
    if (!best || at < best->event.time_ns) {
      best = Pending{ControllerEvent{at, kind, static_cast<int>(i + 1), drawers_[i].actor}, i};
    }
  };
  for (std::size_t i = 0; i < drawers_.size(); ++i) {
    const Drawer& drawer = drawers_[i];
    if (drawer.energized_since && drawer.armed) {
      consider(i, ControllerEvent::Kind::DrawerOpened,
               add_saturating(*drawer.energized_since, config_.open_after_ns));
    }
    if (drawer.opened_at && config_.close_after_ns) {
      consider(i, ControllerEvent::Kind::DrawerClosed,
               add_saturating(*drawer.opened_at, *config_.close_after_ns));
    }
    if (drawer.energized_since && !drawer.hold_reported) {
      // A hold of exactly the limit is allowed: too long is the first
      // nanosecond past it.
      consider(i, ControllerEvent::Kind::HoldTooLong,
               add_saturating(add_saturating(*drawer.energized_since, config_.max_hold_ns), 1));
    }
  }
  return best;
}

std::optional<std::int64_t> DrawerController::next_change_at() const {
  const auto pending = earliest_pending();
  return pending ? std::optional(pending->event.time_ns) : std::nullopt;
}

std::optional<ControllerEvent> DrawerController::next_due(std::int64_t now_ns) {
  while (true) {
    const auto pending = earliest_pending();
    if (!pending || pending->event.time_ns > now_ns) {
      return std::nullopt;
    }
    Drawer& drawer = drawers_[pending->drawer];
    switch (pending->event.kind) {
      case ControllerEvent::Kind::DrawerOpened:
        drawer.armed = false;
        // A drawer that is open already stays open; the event is news only
        // when it was shut.
        if (drawer.opened_at) {
          continue;
        }
        drawer.opened_at = pending->event.time_ns;
        break;
      case ControllerEvent::Kind::DrawerClosed:
        drawer.opened_at.reset();
        break;
      case ControllerEvent::Kind::HoldTooLong:
        drawer.hold_reported = true;
        break;
    }
    return pending->event;
  }
}

std::vector<ControllerEvent> DrawerController::advance_to(std::int64_t now_ns) {
  std::vector<ControllerEvent> events;
  while (auto event = next_due(now_ns)) {
    events.push_back(*event);
  }
  return events;
}

std::uint8_t DrawerController::read(std::uint16_t port) const {
  if (port != CDBoxStsIO) {
    return kFloatingBus;
  }
  std::uint8_t status = config_.status_base;
  for (const Drawer& drawer : drawers_) {
    if (drawer.opened_at) {
      status |= drawer.sensor_bit;
    }
  }
  return status;
}

void DrawerController::write(std::uint16_t port, std::uint8_t value, std::int64_t now_ns,
                             int actor) {
  if (port != CDBoxCtlIO) {
    return;
  }
  control_ = value;
  for (Drawer& drawer : drawers_) {
    const bool on = (value & drawer.solenoid_bit) != 0;
    if (on && !drawer.energized_since) {
      drawer.energized_since = now_ns;
      drawer.armed = true;
      drawer.hold_reported = false;
      drawer.actor = actor;
    } else if (!on) {
      drawer.energized_since.reset();
      drawer.armed = false;
    }
  }
}

bool DrawerController::solenoid_energized() const {
  for (const Drawer& drawer : drawers_) {
    if ((control_ & drawer.solenoid_bit) != 0) {
      return true;
    }
  }
  return false;
}

bool DrawerController::drawer_open(int drawer) const {
  return drawers_.at(static_cast<std::size_t>(drawer - 1)).opened_at.has_value();
}

}  // namespace cdbox::sim
