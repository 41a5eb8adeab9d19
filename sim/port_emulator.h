// SPDX-License-Identifier: MIT
// Carries out one decoded port instruction of a tracee against the virtual
// bus: the permission check, the controller or the floating bus, the trace.
#pragma once

#include <sys/types.h>
#include <sys/user.h>

#include <cstdint>

#include "sim/decoder.h"
#include "sim/grants.h"
#include "sim/session.h"

namespace cdbox::sim {

class PortEmulator {
 public:
  explicit PortEmulator(Session& session) : session_(session) {}

  // Executes insn for tid: updates regs (accumulator, instruction pointer)
  // and returns true, or records a violation and returns false when grants
  // do not cover the port, in which case the CPU would have faulted.
  bool execute(pid_t tid, const PortGrants& grants, const PortInstruction& insn,
               user_regs_struct& regs);

 private:
  Session& session_;
};

}  // namespace cdbox::sim
