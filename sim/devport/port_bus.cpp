// SPDX-License-Identifier: MIT
#include "sim/devport/port_bus.h"

namespace cdbox::sim {

std::uint8_t DevPortBus::read_byte(pid_t tid, std::uint16_t port) {
  return static_cast<std::uint8_t>(session_.machine().port_in(tid, port, 1));
}

void DevPortBus::write_byte(pid_t tid, std::uint16_t port, std::uint8_t value) {
  session_.machine().port_out(tid, port, 1, value);
  after_write_(tid);
}

}  // namespace cdbox::sim
