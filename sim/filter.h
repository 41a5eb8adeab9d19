// SPDX-License-Identifier: MIT
// The seccomp filter that makes a traced program stop only at the system
// calls the simulator handles; every other call runs at full speed.
#pragma once

#include <cstdint>

namespace cdbox::sim {

// What the filter reports, as the data of a seccomp stop.
enum class TrappedCall : std::uint16_t {
  Iopl = 1,
  Ioperm,
  Iopl32,  // through the 32-bit system call entry
  Ioperm32,
  Nanosleep,
  ClockNanosleep,
  Execve,
  Execveat,
};

// Installs the filter in the calling process, for it and all it starts.
// Returns 0 or an errno value.
int install_syscall_filter();

}  // namespace cdbox::sim
