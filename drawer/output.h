// SPDX-License-Identifier: MIT
// Standard output, where the screens and the pulse log go.
#pragma once

// Writes out what standard output holds. Returns 0, or the errno of the
// write that failed. The C library drops the buffered bytes of a failed
// write, so the error must be taken at the flush that met it.
int flush_output();
