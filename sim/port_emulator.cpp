// SPDX-License-Identifier: MIT
#include "sim/port_emulator.h"

#include <string>

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
  if (is_in) {
    set_accumulator(regs, insn.width, session_.machine().port_in(tid, port, insn.width));
  } else {
    const std::uint32_t value = static_cast<std::uint32_t>(regs.rax) & width_mask(insn.width);
    session_.machine().port_out(tid, port, insn.width, value);
  }
  regs.rip += insn.length;
  return true;
}

}  // namespace cdbox::sim
