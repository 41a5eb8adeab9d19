// SPDX-License-Identifier: MIT
// Port operations on the drawer controller: the only code of the tester
// that touches the x86 I/O port space.
#pragma once

#include <cstdint>

// Raises the process's I/O privilege to CDBoxIOPL. Returns iopl's result:
// negative when the platform refuses (errno says why).
int raise_io_privilege();

// Reads the status register; all 8 bits, unchanged.
std::uint8_t read_status();

// Turns on access to the controller's ports 0x482-0x484. Returns ioperm's
// result: 0, or -1 on failure.
int request_port_access();

// Writes value to the control register.
void write_control(std::uint8_t value);
