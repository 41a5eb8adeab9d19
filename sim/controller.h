// SPDX-License-Identifier: MIT
// Model of the cash drawer controller behind ports 0x482-0x484.
//
// The control register's solenoid bits energize the drawers; a drawer opens
// once its solenoid has been energized continuously for the open delay, and
// its sensor bit then shows in the status register. Time is passed in by the
// caller, so the model works the same on a real and on a virtual clock.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace cdbox::sim {

// What a read of a port that nothing drives returns: the unused ports of
// the controller and every port of no device.
constexpr std::uint8_t kFloatingBus = 0xff;

struct ControllerConfig {
  std::uint8_t status_base = 0x00;
  std::int64_t open_after_ns = 50'000'000;
  std::optional<std::int64_t> close_after_ns;  // nullopt: stays open
  std::int64_t max_hold_ns = 500'000'000;
};

struct ControllerEvent {
  enum class Kind { DrawerOpened, DrawerClosed, HoldTooLong };
  std::int64_t time_ns = 0;
  Kind kind = Kind::DrawerOpened;
  int drawer = 0;  // 1 or 2
  int actor = 0;   // who last energized that drawer's solenoid
};

class DrawerController {
 public:
  explicit DrawerController(const ControllerConfig& config);

  // True for the ports the controller decodes.
  static bool owns(std::uint16_t port);

  // Runs the model up to now; returns what happened meanwhile, oldest first.
  std::vector<ControllerEvent> advance_to(std::int64_t now_ns);
  // Reads one of the controller's ports (call advance_to first).
  [[nodiscard]] std::uint8_t read(std::uint16_t port) const;
  // Writes one of the controller's ports at now (call advance_to first);
  // actor is recorded as the one who energized a solenoid.
  void write(std::uint16_t port, std::uint8_t value, std::int64_t now_ns, int actor);

  // When the model next changes by itself (a drawer opens or shuts, a
  // hold runs too long); nullopt when nothing is pending.
  [[nodiscard]] std::optional<std::int64_t> next_change_at() const;

  [[nodiscard]] std::uint8_t control() const { return control_; }
  [[nodiscard]] bool solenoid_energized() const;
  [[nodiscard]] bool drawer_open(int drawer) const;

 private:
  struct Drawer {
    std::uint8_t solenoid_bit = 0;
    std::uint8_t sensor_bit = 0;
    std::optional<std::int64_t> energized_since;
    bool armed = false;  // energized and not yet opened by this pulse
    bool hold_reported = false;
    std::optional<std::int64_t> opened_at;
    int actor = 0;
  };

  struct Pending {
    ControllerEvent event;
    std::size_t drawer;
  };
  // The earliest change pending, whenever it is due.
  [[nodiscard]] std::optional<Pending> earliest_pending() const;
  // The earliest change due at or before now, applied; nullopt when none.
  std::optional<ControllerEvent> next_due(std::int64_t now_ns);

  ControllerConfig config_;
  std::uint8_t control_ = 0x00;
  std::array<Drawer, 2> drawers_;
};

}  // namespace cdbox::sim
