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
  Select,  // only when it watches no descriptor, as the other waits below
  Pselect6,
  Poll,
  Ppoll,
  ClockGettime,  // the clock reads: only in virtual time
  Gettimeofday,
  Time,
};

// Installs the filter in the calling process, for it and all it starts.
// trap_clock_reads: also stop at clock_gettime, gettimeofday and time.
// Returns 0 or an errno value.
int install_syscall_filter(bool trap_clock_reads);

}  // namespace cdbox::sim
