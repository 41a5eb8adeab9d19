// SPDX-License-Identifier: MIT
#include "sim/machine/bus.h"

namespace cdbox::sim {

Bus::Read Bus::read(std::uint16_t port, unsigned width) const {
  Read read;
  for (unsigned i = 0; i < width; ++i) {
    const auto byte_port = static_cast<std::uint16_t>(port + i);
    std::uint8_t byte = kFloatingBus;
    if (DrawerController::owns(byte_port)) {
      byte = controller_.read(byte_port);
    } else if (!read.foreign) {
      read.foreign = byte_port;
    }
    read.value |= std::uint32_t{byte} << (8 * i);
  }
  return read;
}

std::optional<std::uint16_t> Bus::write(std::uint16_t port, unsigned width, std::uint32_t value,
                                        std::int64_t now_ns, pid_t actor) {
  std::optional<std::uint16_t> foreign;
  for (unsigned i = 0; i < width; ++i) {
    const auto byte_port = static_cast<std::uint16_t>(port + i);
    if (DrawerController::owns(byte_port)) {
      controller_.write(byte_port, static_cast<std::uint8_t>(value >> (8 * i)), now_ns, actor);
    } else if (!foreign) {
      foreign = byte_port;
    }
  }
  return foreign;
}

}  // namespace cdbox::sim
