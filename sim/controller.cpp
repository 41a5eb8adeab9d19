#include "sim/controller.h"

#include "drawer/regmap.h"

namespace cdbox::sim {
namespace {

// What an unclaimed port and the controller's unused ports read.
constexpr std::uint8_t kFloatingBus = 0xff;

}  // namespace

DrawerController::DrawerController(const ControllerConfig& config) : config_(config) {
  drawers_[0].solenoid_bit = CDBoxDrawer1CMD;
  drawers_[0].sensor_bit = CDBoxDrawer1OpenBit;
  drawers_[1].solenoid_bit = CDBoxDrawer2CMD;
  drawers_[1].sensor_bit = CDBoxDrawer2OpenBit;
}

bool DrawerController::owns(std::uint16_t port) {
  return port >= CDBoxPortFirst && port <= CDBoxPortLast;
}

std::optional<ControllerEvent> DrawerController::next_due(std::int64_t now_ns) {
  std::optional<ControllerEvent> best;
  Drawer* best_drawer = nullptr;
  auto consider = [&](Drawer& drawer, int number, ControllerEvent::Kind kind, std::int64_t at) {
    if (at <= now_ns && (!best || at < best->time_ns)) {
      best = ControllerEvent{at, kind, number, drawer.actor};
      best_drawer = &drawer;
    }
  };
  for (int i = 0; i < 2; ++i) {
    Drawer& drawer = drawers_[i];
    if (drawer.energized_since && drawer.armed) {
      consider(drawer, i + 1, ControllerEvent::Kind::DrawerOpened,
               *drawer.energized_since + config_.open_after_ns);
    }
    if (drawer.opened_at && config_.close_after_ns) {
      consider(drawer, i + 1, ControllerEvent::Kind::DrawerClosed,
               *drawer.opened_at + *config_.close_after_ns);
    }
    if (drawer.energized_since && !drawer.hold_reported) {
      consider(drawer, i + 1, ControllerEvent::Kind::HoldTooLong,
               *drawer.energized_since + config_.max_hold_ns);
    }
  }
  if (!best) {
    return best;
  }
  switch (best->kind) {
    case ControllerEvent::Kind::DrawerOpened:
      best_drawer->armed = false;
      // A drawer that is open already stays open; the event is news only
      // when it was shut.
      if (best_drawer->opened_at) {
        return next_due(now_ns);
      }
      best_drawer->opened_at = best->time_ns;
      break;
    case ControllerEvent::Kind::DrawerClosed:
      best_drawer->opened_at.reset();
      break;
    case ControllerEvent::Kind::HoldTooLong:
      best_drawer->hold_reported = true;
      break;
  }
  return best;
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
