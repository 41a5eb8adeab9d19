// SPDX-License-Identifier: MIT
#include "sim/machine/controller.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "drawer/regmap.h"
#include "sim/clock.h"
#include "sim/trace.h"

namespace cdbox::sim {
namespace {

std::string format_byte(unsigned value) {
  return format_port_value(value, 1);
}

}  // namespace

std::array<DrawerMap, kDrawerCount> build_drawer_map() {
  return {DrawerMap{CDBoxDrawer1CMD, CDBoxDrawer1OpenBit},
          DrawerMap{CDBoxDrawer2CMD, CDBoxDrawer2OpenBit}};
}

DrawerController::DrawerController(const ControllerConfig& config, EventSink& events)
    : config_(config), events_(events) {
  std::stable_sort(config_.hand.begin(), config_.hand.end(),
                   [](const HandAction& a, const HandAction& b) { return a.at_ns < b.at_ns; });
  sent_status_ = status();
}

bool DrawerController::owns(std::uint16_t port) {
  return port >= CDBoxPortFirst && port <= CDBoxPortLast;
}

void DrawerController::announce() const {
  send(0, 0, ev::ControlRegister{control_});
  send(0, 0, ev::StatusRegister{sent_status_});
}

void DrawerController::send(std::int64_t at_ns, pid_t pid, EventBody body) const {
  events_.on_event(Event{at_ns, pid, std::move(body)});
}

std::optional<DrawerController::Pending> DrawerController::earliest_pending() const {
  std::optional<Pending> best;
  auto consider = [&](std::size_t i, Change change, std::int64_t at) {
    if (!best || at < best->at_ns) {
      best = Pending{at, change, i};
    }
  };
  for (std::size_t i = 0; i < drawers_.size(); ++i) {
    const Drawer& drawer = drawers_[i];
    if (drawer.energized_since && drawer.armed) {
      consider(i, Change::Open, add_saturating(*drawer.energized_since, config_.open_after_ns));
    }
    if (drawer.opened_at && config_.close_after_ns) {
      consider(i, Change::Close, add_saturating(*drawer.opened_at, *config_.close_after_ns));
    }
    if (drawer.energized_since && !drawer.hold_reported) {
      // A hold of exactly the limit is allowed: too long is the first
      // nanosecond past it.
      consider(i, Change::HoldTooLong,
               add_saturating(add_saturating(*drawer.energized_since, config_.max_hold_ns), 1));
    }
  }
  if (next_hand_ < config_.hand.size()) {
    consider(next_hand_, Change::Hand, config_.hand[next_hand_].at_ns);
  }
  return best;
}

std::optional<std::int64_t> DrawerController::next_change_at() const {
  const auto pending = earliest_pending();
  return pending ? std::optional(pending->at_ns) : std::nullopt;
}

void DrawerController::advance_to(std::int64_t now_ns) {
  while (true) {
    const auto pending = earliest_pending();
    if (!pending || pending->at_ns > now_ns) {
      return;
    }
    apply(*pending);
  }
}

void DrawerController::apply(const Pending& pending) {
  const std::int64_t at = pending.at_ns;
  switch (pending.change) {
    case Change::Open: {
      Drawer& drawer = drawers_[pending.drawer];
      drawer.armed = false;
      if (config_.jammed[pending.drawer]) {
        send(at, drawer.actor, ev::Jammed{static_cast<int>(pending.drawer + 1)});
      } else {
        open_drawer(pending.drawer, at, drawer.actor, false);
      }
      break;
    }
    case Change::Close:
      close_drawer(pending.drawer, at, drawers_[pending.drawer].actor, false);
      break;
    case Change::HoldTooLong: {
      Drawer& drawer = drawers_[pending.drawer];
      drawer.hold_reported = true;
      send(at, drawer.actor,
           ev::Violation{"drawer " + std::to_string(pending.drawer + 1) +
                         " solenoid energized longer than " +
                         std::to_string(config_.max_hold_ns / kNsPerMs) + " ms"});
      break;
    }
    case Change::Hand: {
      const HandAction& action = config_.hand[next_hand_++];
      const auto i = static_cast<std::size_t>(action.drawer - 1);
      if (action.open) {
        open_drawer(i, at, 0, true);
      } else {
        close_drawer(i, at, 0, true);
      }
      break;
    }
  }
}

// A drawer that is open already stays open; opening is news only when it
// was shut. The same holds the other way round.
void DrawerController::open_drawer(std::size_t i, std::int64_t at_ns, pid_t actor, bool by_hand) {
  if (drawers_[i].opened_at) {
    return;
  }
  drawers_[i].opened_at = at_ns;
  send(at_ns, actor, ev::Drawer{static_cast<int>(i + 1), true, by_hand});
  send_status(at_ns, actor);
}

void DrawerController::close_drawer(std::size_t i, std::int64_t at_ns, pid_t actor, bool by_hand) {
  if (!drawers_[i].opened_at) {
    return;
  }
  drawers_[i].opened_at.reset();
  send(at_ns, actor, ev::Drawer{static_cast<int>(i + 1), false, by_hand});
  send_status(at_ns, actor);
}

void DrawerController::send_status(std::int64_t at_ns, pid_t pid) {
  const std::uint8_t now = status();
  if (now != sent_status_) {
    sent_status_ = now;
    send(at_ns, pid, ev::StatusRegister{now});
  }
}

std::uint8_t DrawerController::status() const {
  if (config_.absent) {
    return kFloatingBus;
  }
  std::uint8_t status = config_.status_base;
  for (std::size_t i = 0; i < drawers_.size(); ++i) {
    const std::uint8_t bit = config_.map[i].sensor_bit;
    const bool open = drawers_[i].opened_at.has_value();
    if (config_.sensor_active_low) {
      status =
          open ? static_cast<std::uint8_t>(status & ~bit) : static_cast<std::uint8_t>(status | bit);
    } else if (open) {
      status |= bit;
    }
  }
  return status;
}

std::uint8_t DrawerController::read(std::uint16_t port) const {
  return port == CDBoxStsIO ? status() : kFloatingBus;
}

void DrawerController::write(std::uint16_t port, std::uint8_t value, std::int64_t now_ns,
                             pid_t actor) {
  if (port != CDBoxCtlIO || config_.absent) {
    return;
  }
  warn_unmapped_bits(value, now_ns, actor);
  if (value != control_) {
    control_ = value;
    send(now_ns, actor, ev::ControlRegister{value});
  }
  for (std::size_t i = 0; i < drawers_.size(); ++i) {
    Drawer& drawer = drawers_[i];
    const bool on = (value & config_.map[i].solenoid_bit) != 0;
    if (on && !drawer.energized_since) {
      drawer.energized_since = now_ns;
      drawer.armed = true;
      drawer.hold_reported = false;
      drawer.actor = actor;
      send(now_ns, actor, ev::Solenoid{static_cast<int>(i + 1), true});
    } else if (!on && drawer.energized_since) {
      drawer.energized_since.reset();
      drawer.armed = false;
      send(now_ns, actor, ev::Solenoid{static_cast<int>(i + 1), false});
    }
  }
}

// A bit that energizes no drawer is most often a program built for another
// controller's map; each such bit is told once.
void DrawerController::warn_unmapped_bits(std::uint8_t value, std::int64_t now_ns, pid_t actor) {
  std::uint8_t mapped = 0;
  for (const DrawerMap& map : config_.map) {
    mapped |= map.solenoid_bit;
  }
  const auto fresh = static_cast<std::uint8_t>(value & ~mapped & ~warned_bits_);
  if (fresh == 0) {
    return;
  }
  warned_bits_ |= fresh;
  const bool one = (fresh & (fresh - 1)) == 0;
  send(now_ns, actor,
       ev::Warning{std::string(one ? "control bit " : "control bits ") + format_byte(fresh) +
                   (one ? " energizes" : " energize") +
                   " no drawer (drawer 1: " + format_byte(config_.map[0].solenoid_bit) +
                   ", drawer 2: " + format_byte(config_.map[1].solenoid_bit) +
                   "); --drawer N:SOLENOID:SENSOR maps a drawer"});
}

bool DrawerController::solenoid_energized() const {
  return std::any_of(drawers_.begin(), drawers_.end(),
                     [](const Drawer& drawer) { return drawer.energized_since.has_value(); });
}

bool DrawerController::drawer_open(int drawer) const {
  return drawers_.at(static_cast<std::size_t>(drawer - 1)).opened_at.has_value();
}

}  // namespace cdbox::sim
