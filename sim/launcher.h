// SPDX-License-Identifier: MIT
// Starts PROGRAM as a seized tracee that stops only where the filter says.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "sim/unique_fd.h"

namespace cdbox::sim {

struct Launched {
  pid_t pid = -1;
  // Readable end of the child's report pipe: it carries a LaunchReport when
  // the child fails before PROGRAM runs, and nothing otherwise.
  UniqueFd report;
};

// What a child that failed before PROGRAM ran reports.
struct LaunchReport {
  enum Stage : int { Filter = 1, Exec = 2, Privilege = 3 };
  int stage = 0;
  int err = 0;
};

// Resolves and starts program under ptrace, with signal_mask as its signal
// mask; in virtual time its filter traps the clock reads too. On failure
// reports it on standard error and returns the exit status to end with.
int launch(const std::vector<std::string>& program, bool virtual_time,
           const sigset_t& signal_mask, Launched& launched);

// Explains a failure the child reported; returns the exit status.
int explain_launch_report(const LaunchReport& report, const std::string& program);

}  // namespace cdbox::sim
