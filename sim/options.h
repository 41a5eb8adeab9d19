// SPDX-License-Identifier: MIT
// Command line of cdbox-sim.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/machine/controller.h"
#include "sim/machine/defaults.h"

namespace cdbox::sim {

struct Options {
  std::string trace_path;  // empty: no trace; "-": standard error
  bool virtual_time = false;
  std::string vcd_path;  // empty: no waveform
  std::uint8_t status_base = kDefaultStatusBase;
  std::int64_t open_after_ms = kDefaultOpenAfterMs;
  std::optional<std::int64_t> close_after_ms;  // nullopt: stays open
  std::int64_t max_hold_ms = kDefaultMaxHoldMs;
  // The scenarios and the drawer map (--absent, --jam, --sensor-active-low,
  // --at, --drawer); its delays and status base come from the fields above.
  ControllerConfig controller;
  std::optional<int> refuse_iopl;     // errno to fail iopl with
  std::optional<int> refuse_ioperm;   // errno to fail ioperm with
  std::optional<int> refuse_devport;  // errno to fail an open of /dev/port with
  std::optional<int> signal_on_pulse;
  std::vector<std::string> program;  // PROGRAM and its arguments
};

// Exit statuses of cdbox-sim itself.
constexpr int kExitWriteError = 1;  // --help or --version could not write
constexpr int kExitViolation = 70;
constexpr int kExitTraceFailed = 74;
constexpr int kExitSimFailure = 125;
constexpr int kExitCannotExecute = 126;
constexpr int kExitNotFound = 127;

// Parses argv into options. Returns an exit status when the run is over
// already (--help, --version, or a usage error that has been reported).
std::optional<int> parse_options(int argc, char** argv, Options& options);

}  // namespace cdbox::sim
