// SPDX-License-Identifier: MIT
// The I/O bus: routes each byte of a port access to the device that decodes
// its port, the drawer controller, or to the floating bus, which reads all
// ones and drops writes.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

#include "sim/machine/controller.h"

namespace cdbox::sim {

class Bus {
 public:
  Bus(const ControllerConfig& config, EventSink& events) : controller_(config, events) {}

  struct Read {
    std::uint32_t value = 0;
    std::optional<std::uint16_t> foreign;  // first port no device decodes
  };
  // Reads width bytes from port on, as consecutive ports.
  [[nodiscard]] Read read(std::uint16_t port, unsigned width) const;
  // Writes width bytes of value from port on at now; returns the first port
  // no device decodes.
  std::optional<std::uint16_t> write(std::uint16_t port, unsigned width, std::uint32_t value,
                                     std::int64_t now_ns, pid_t actor);

  DrawerController& controller() { return controller_; }
  [[nodiscard]] const DrawerController& controller() const { return controller_; }

 private:
  DrawerController controller_;
};

}  // namespace cdbox::sim
