// SPDX-License-Identifier: MIT
// What the technician can do about a refused I/O privilege.
#pragma once

// Writes one "cdbox-test: hint: ..." line to standard error for an iopl
// refusal with errno error: the likely cause, told apart by what the tool
// can see for itself (its effective uid, the kernel's lockdown mode). Writes
// nothing for an errno it has no advice for.
void print_refusal_hint(int error);
