// SPDX-License-Identifier: MIT
// The machine a traced program runs on, without anything of ptrace: the
// clock's schedule of due changes, the bus with its devices, and the stream
// of typed events. Front ends (the ptrace loop) drive it; sinks show it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

#include "sim/clock.h"
#include "sim/machine/bus.h"
#include "sim/machine/event_sink.h"

namespace cdbox::sim {

class Machine {
 public:
  // clock and events must outlive the machine.
  Machine(const ControllerConfig& config, const SimClock& clock, EventSink& events);

  // Sends the devices' starting state; call once the sinks are in place.
  void start() const;
  // Runs the devices up to now, sending what they did.
  void catch_up();
  // Sends an event of pid now, after whatever the devices did before.
  void record(pid_t pid, EventBody body);

  // A port instruction of pid, with its events: the access, then whatever
  // it caused, then a violation when it reached a port no device decodes.
  std::uint32_t port_in(pid_t pid, std::uint16_t port, unsigned width);
  void port_out(pid_t pid, std::uint16_t port, unsigned width, std::uint32_t value);

  // When a device next changes by itself; nullopt when nothing is pending.
  [[nodiscard]] std::optional<std::int64_t> next_change_at() const {
    return bus_.controller().next_change_at();
  }
  DrawerController& controller() { return bus_.controller(); }
  // The run is over now: the sinks finish.
  void finish();

 private:
  void foreign_port(pid_t pid, std::uint16_t port);

  const SimClock& clock_;
  EventSink& events_;
  Bus bus_;
};

}  // namespace cdbox::sim
