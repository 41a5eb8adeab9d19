// SPDX-License-Identifier: MIT
#include "sim/machine/machine.h"

#include <string>

#include "drawer/regmap.h"
#include "sim/trace.h"

namespace cdbox::sim {

Machine::Machine(const ControllerConfig& config, const SimClock& clock, EventSink& events)
    : clock_(clock), events_(events), bus_(config, events) {}

void Machine::start() const {
  bus_.controller().announce();
}

void Machine::catch_up() {
  bus_.controller().advance_to(clock_.now_ns());
}

void Machine::record(pid_t pid, EventBody body) {
  catch_up();
  events_.on_event(Event{clock_.now_ns(), pid, std::move(body)});
}

std::uint32_t Machine::port_in(pid_t pid, std::uint16_t port, unsigned width) {
  catch_up();
  const Bus::Read read = bus_.read(port, width);
  record(pid, ev::PortIn{port, width, read.value});
  if (read.foreign) {
    foreign_port(pid, *read.foreign);
  }
  return read.value;
}

void Machine::port_out(pid_t pid, std::uint16_t port, unsigned width, std::uint32_t value) {
  record(pid, ev::PortOut{port, width, value});
  const auto foreign = bus_.write(port, width, value, clock_.now_ns(), pid);
  // What the write made due at once follows the write.
  catch_up();
  if (foreign) {
    foreign_port(pid, *foreign);
  }
}

void Machine::foreign_port(pid_t pid, std::uint16_t port) {
  record(pid, ev::Violation{"port " + format_port(port) + " is not the drawer controller's (" +
                            format_port(CDBoxPortFirst) + "-" + format_port(CDBoxPortLast) + ")"});
}

void Machine::finish() {
  catch_up();
  events_.finish(clock_.now_ns());
}

}  // namespace cdbox::sim
