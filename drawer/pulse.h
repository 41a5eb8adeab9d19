// SPDX-License-Identifier: MIT
// The drawer pulse: the one operation that acts on the hardware.
#pragma once

// Sends CDBoxCMDValue to the controller as a pulse: its low byte is written
// to the control register, held for CDBoxHoldMicroseconds, and the register
// is set back to rest. Logs each step on standard output, flushing after
// each line. Signals are held back for the whole pulse, and a failed log
// write does not stop it, so it always runs to its end. Returns 0, or the
// errno of the first log line that could not be written. Call only after
// raise_io_privilege() has succeeded.
int CDBoxCMD(int CDBoxCMDValue);
