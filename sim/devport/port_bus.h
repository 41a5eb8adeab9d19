// SPDX-License-Identifier: MIT
// The one way the /dev/port file reaches the ports: byte accesses on the
// machine's bus, traced and checked as IN/OUT are (the same events, the
// same foreign-port violation).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>

#include "sim/session.h"

namespace cdbox::sim {

class DevPortBus {
 public:
  // after_write runs after each byte written, with the writer's id.
  DevPortBus(Session& session, std::function<void(pid_t)> after_write)
      : session_(session), after_write_(std::move(after_write)) {}

  // The byte at port, as `inb` by tid would read it.
  std::uint8_t read_byte(pid_t tid, std::uint16_t port);
  // Writes value to port, as `outb` by tid would.
  void write_byte(pid_t tid, std::uint16_t port, std::uint8_t value);

 private:
  Session& session_;
  std::function<void(pid_t)> after_write_;
};

}  // namespace cdbox::sim
