// SPDX-License-Identifier: MIT
// Hiding the vDSO from a program that has just been executed, so that the C
// library reads the clocks with system calls the simulator can answer.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <span>

namespace cdbox::sim {

struct AuxvScan {
  bool complete = false;  // the auxiliary vector ends within the words
  // The index of the type word of its AT_SYSINFO_EHDR entry (the vDSO's
  // address), when it has one.
  std::optional<std::size_t> vdso_index;
};
// Scans the words of a new program's stack, from argc on, for its vDSO entry.
AuxvScan scan_auxv(std::span<const std::uint64_t> words);

// Turns the AT_SYSINFO_EHDR entry of tid, stopped at its exec event, into
// AT_IGNORE. Returns false when the stack could not be read or written.
bool hide_vdso(pid_t tid, std::uint64_t stack_pointer);

}  // namespace cdbox::sim
