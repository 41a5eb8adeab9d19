// SPDX-License-Identifier: MIT
// The seccomp filter that makes a traced program stop only at the system
// calls the simulator handles; every other call runs at full speed.
#pragma once

#include <cstdint>
#include <optional>

namespace cdbox::sim {

// The system calls the filter traps, as the tracer tells them apart.
enum class TrappedCall : std::uint16_t {
  Iopl = 1,
  Ioperm,
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
  Clone,   // only when it asks for CLONE_UNTRACED
  Clone3,  // its flags are in memory, out of the filter's reach
  Open,    // the path is in memory: every open stops, for /dev/port
  Openat,
  Openat2,
};

// Installs the filter in the calling process, for it and all it starts.
// trap_clock_reads: also stop at clock_gettime, gettimeofday and time.
// Returns 0 or an errno value.
int install_syscall_filter(bool trap_clock_reads);

// Which trapped call a system call is, by the architecture and number the
// kernel reports at the stop; nullopt for one the filter does not trap
// (a stop that a program's own filter asked for).
std::optional<TrappedCall> trapped_call(std::uint32_t arch, std::uint64_t nr);

}  // namespace cdbox::sim
