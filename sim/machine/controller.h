// SPDX-License-Identifier: MIT
// Model of the cash drawer controller behind ports 0x482-0x484.
//
// The control register's solenoid bits energize the drawers; a drawer opens
// once its solenoid has been energized continuously for the open delay, and
// its sensor bit then shows in the status register. Time is passed in by the
// caller, so the model works the same on a real and on a virtual clock.
// Every change the model makes is an event sent to its sink, stamped with
// the time it happened, which may be before the caller's now.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "sim/machine/defaults.h"
#include "sim/machine/event_sink.h"

namespace cdbox::sim {

// Which control bit energizes a drawer and which status bit shows it open.
struct DrawerMap {
  std::uint8_t solenoid_bit = 0;
  std::uint8_t sensor_bit = 0;
};

// The build's register map.
std::array<DrawerMap, kDrawerCount> build_drawer_map();

// The operator opens or shuts a drawer by hand at a given time.
struct HandAction {
  std::int64_t at_ns = 0;
  int drawer = 1;  // 1 or 2
  bool open = true;
};

struct ControllerConfig {
  std::uint8_t status_base = kDefaultStatusBase;
  std::int64_t open_after_ns = kDefaultOpenAfterMs * kNsPerMs;
  std::optional<std::int64_t> close_after_ns;  // nullopt: stays open
  std::int64_t max_hold_ns = kDefaultMaxHoldMs * kNsPerMs;
  std::array<DrawerMap, kDrawerCount> map = build_drawer_map();
  bool absent = false;                      // nothing answers: reads float, writes are lost
  bool sensor_active_low = false;           // a sensor bit is clear while its drawer is open
  std::array<bool, kDrawerCount> jammed{};  // the latch holds: the drawer never opens
  std::vector<HandAction> hand;             // in any order
};

class DrawerController {
 public:
  // events must outlive the controller.
  DrawerController(const ControllerConfig& config, EventSink& events);

  // True for the ports the controller decodes.
  static bool owns(std::uint16_t port);

  // Sends the registers' values at time 0, for the sinks that draw them.
  void announce() const;
  // Runs the model up to now, sending what happened meanwhile.
  void advance_to(std::int64_t now_ns);
  // Reads one of the controller's ports (call advance_to first).
  [[nodiscard]] std::uint8_t read(std::uint16_t port) const;
  // Writes one of the controller's ports at now (call advance_to first);
  // actor is recorded as the one who energized a solenoid.
  void write(std::uint16_t port, std::uint8_t value, std::int64_t now_ns, pid_t actor);

  // When the model next changes by itself (a drawer opens or shuts, a
  // hold runs too long, the operator acts); nullopt when nothing is pending.
  [[nodiscard]] std::optional<std::int64_t> next_change_at() const;

  [[nodiscard]] std::uint8_t control() const { return control_; }
  [[nodiscard]] std::uint8_t status() const;
  [[nodiscard]] bool solenoid_energized() const;
  [[nodiscard]] bool drawer_open(int drawer) const;

 private:
  struct Drawer {
    std::optional<std::int64_t> energized_since;
    bool armed = false;  // energized and not yet opened by this pulse
    bool hold_reported = false;
    std::optional<std::int64_t> opened_at;
    pid_t actor = 0;
  };

  enum class Change { Open, Close, HoldTooLong, Hand };
  struct Pending {
    std::int64_t at_ns;
    Change change;
    std::size_t drawer;
  };
  // The earliest change pending, whenever it is due.
  [[nodiscard]] std::optional<Pending> earliest_pending() const;
  void apply(const Pending& pending);
  void open_drawer(std::size_t i, std::int64_t at_ns, pid_t actor, bool by_hand);
  void close_drawer(std::size_t i, std::int64_t at_ns, pid_t actor, bool by_hand);
  void send(std::int64_t at_ns, pid_t pid, EventBody body) const;
  // Sends the status register when it differs from what was sent last.
  void send_status(std::int64_t at_ns, pid_t pid);
  void warn_unmapped_bits(std::uint8_t value, std::int64_t now_ns, pid_t actor);

  ControllerConfig config_;
  EventSink& events_;
  std::uint8_t control_ = 0x00;
  std::uint8_t sent_status_ = 0x00;
  std::uint8_t warned_bits_ = 0x00;
  std::size_t next_hand_ = 0;
  std::array<Drawer, kDrawerCount> drawers_;
};

}  // namespace cdbox::sim
