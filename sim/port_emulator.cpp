// SPDX-License-Identifier: MIT
#include "sim/port_emulator.h"

#include <string>

#include "drawer/regmap.h"
#include "sim/trace.h"

namespace cdbox::sim {
namespace {

std::uint32_t width_mask(unsigned width) {
  return width == 4 ? 0xffffffffU : (1U << (8 * width)) - 1;
}

// Writes an IN result into the accumulator as the CPU does: AL and AX keep
// the rest of RAX, a 32-bit result clears the upper half.
void set_accumulator(user_regs_struct& regs, unsigned width, std::uint32_t value) {
  if (width == 4) {
    regs.rax = value;
  } else {
    const std::uint64_t mask = width_mask(width);
    regs.rax = (regs.rax & ~mask) | value;
  }
}

}  // namespace

bool PortEmulator::execute(pid_t tid, const PortGrants& grants, const PortInstruction& insn,
                           user_regs_struct& regs) {
  const auto port =
      static_cast<std::uint16_t>(insn.port_in_dx ? (regs.rdx & 0xffff) : insn.imm_port);
  const bool is_in = insn.direction == PortDirection::In;
  if (!grants.allows(port, insn.width)) {
    session_.violation(tid, std::string(is_in ? "in from" : "out to") + " port " +
                                format_port(port) +
                                " without permission (no iopl or ioperm grant)");
    return false;
  }
  session_.catch_up();
  std::optional<std::uint16_t> foreign;
  if (is_in) {
    const std::uint32_t value = input(port, insn.width, foreign);
    set_accumulator(regs, insn.width, value);
    session_.note(tid, "in " + format_port(port) + " = " + format_port_value(value, insn.width));
  } else {
    const std::uint32_t value = static_cast<std::uint32_t>(regs.rax) & width_mask(insn.width);
    output(tid, port, insn.width, value, foreign);
    // What the write sets off (a drawer that opens at once) follows it.
    session_.note_before_effects(
        tid, "out " + format_port(port) + " " + format_port_value(value, insn.width));
  }
  if (foreign) {
    session_.violation(tid, "port " + format_port(*foreign) + " is not the drawer controller's (" +
                                format_port(CDBoxPortFirst) + "-" + format_port(CDBoxPortLast) +
                                ")");
  }
  regs.rip += insn.length;
  return true;
}

std::uint32_t PortEmulator::input(std::uint16_t port, unsigned width,
                                  std::optional<std::uint16_t>& foreign) {
  std::uint32_t value = 0;
  for (unsigned i = 0; i < width; ++i) {
    const auto byte_port = static_cast<std::uint16_t>(port + i);
    std::uint8_t byte = kFloatingBus;
    if (DrawerController::owns(byte_port)) {
      byte = session_.controller().read(byte_port);
    } else if (!foreign) {
      foreign = byte_port;
    }
    value |= std::uint32_t{byte} << (8 * i);
  }
  return value;
}

void PortEmulator::output(pid_t tid, std::uint16_t port, unsigned width, std::uint32_t value,
                          std::optional<std::uint16_t>& foreign) {
  const std::int64_t now = session_.clock().now_ns();
  for (unsigned i = 0; i < width; ++i) {
    const auto byte_port = static_cast<std::uint16_t>(port + i);
    if (DrawerController::owns(byte_port)) {
      session_.controller().write(byte_port, static_cast<std::uint8_t>(value >> (8 * i)), now, tid);
    } else if (!foreign) {
      foreign = byte_port;
    }
  }
}

}  // namespace cdbox::sim
