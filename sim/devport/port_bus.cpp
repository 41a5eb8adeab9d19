// SPDX-License-Identifier: MIT
#include "sim/devport/port_bus.h"

#include <string>

#include "drawer/regmap.h"
#include "sim/trace.h"

namespace cdbox::sim {

std::uint8_t DevPortBus::read_byte(pid_t tid, std::uint16_t port) {
  session_.catch_up();
  const std::uint8_t value =
      DrawerController::owns(port) ? session_.controller().read(port) : kFloatingBus;
  session_.note(tid, "in " + format_port(port) + " = " + format_port_value(value, 1));
  check_owned(tid, port);
  return value;
}

void DevPortBus::write_byte(pid_t tid, std::uint16_t port, std::uint8_t value) {
  session_.catch_up();
  if (DrawerController::owns(port)) {
    session_.controller().write(port, value, session_.clock().now_ns(), tid);
  }
  // What the write sets off (a drawer that opens at once) follows it.
  session_.note_before_effects(tid, "out " + format_port(port) + " " + format_port_value(value, 1));
  check_owned(tid, port);
  after_write_(tid);
}

void DevPortBus::check_owned(pid_t tid, std::uint16_t port) {
  if (!DrawerController::owns(port)) {
    session_.violation(tid, "port " + format_port(port) + " is not the drawer controller's (" +
                                format_port(CDBoxPortFirst) + "-" + format_port(CDBoxPortLast) +
                                ")");
  }
}

}  // namespace cdbox::sim
