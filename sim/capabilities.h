// SPDX-License-Identifier: MIT
// The privilege a traced program gives up before it runs, so that the kernel
// itself refuses it the hardware and other processes, whatever gets past
// the system call filter.
#pragma once

namespace cdbox::sim {

// True when the calling process holds CAP_SYS_RAWIO now: a program started
// from it without the simulator could reach the real ports.
bool holds_raw_io_capability();

// In the launched child, before the filter and exec: gives up any real I/O
// privilege it inherited (iopl level 0, no ioperm port), drops the
// capabilities that reach hardware or other processes from every set, and
// sets no_new_privs so no exec gives them back. Returns 0 or an errno value.
int give_up_hardware_access();

// Makes the calling process one that a process without CAP_SYS_PTRACE
// cannot attach to or read, for as long as it lives; undone when it goes.
class NotTraceable {
 public:
  NotTraceable();
  NotTraceable(const NotTraceable&) = delete;
  NotTraceable& operator=(const NotTraceable&) = delete;
  ~NotTraceable();
};

}  // namespace cdbox::sim
