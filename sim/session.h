// SPDX-License-Identifier: MIT
// What one run of the simulator shares among its parts: the options, the
// clock, the machine and the sinks its events go to (text trace, waveform,
// violation list).
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/clock.h"
#include "sim/machine/machine.h"
#include "sim/machine/text_trace.h"
#include "sim/machine/vcd_writer.h"
#include "sim/machine/violations.h"
#include "sim/options.h"
#include "sim/trace.h"

namespace cdbox::sim {

// The controller a run's options describe.
ControllerConfig controller_config(const Options& options);

class Session {
 public:
  // vcd may be null: no waveform.
  Session(const Options& options, std::unique_ptr<TraceWriter> trace,
          std::unique_ptr<VcdWriter> vcd = nullptr);

  [[nodiscard]] const Options& options() const { return options_; }
  SimClock& clock() { return clock_; }
  Machine& machine() { return machine_; }
  DrawerController& controller() { return machine_.controller(); }
  // Each drawer's control bit, as this run maps it.
  [[nodiscard]] std::array<std::uint8_t, kDrawerCount> solenoid_bits() const;

  // Sends an event of pid now, after whatever the devices did before.
  void record(pid_t pid, EventBody body) { machine_.record(pid, std::move(body)); }
  // Records a safety violation by pid, now.
  void violation(pid_t pid, const std::string& text) { record(pid, ev::Violation{text}); }
  // Runs the devices up to now and sends what they did.
  void catch_up() { machine_.catch_up(); }
  // The run is over: the sinks write their last lines.
  void finish() { machine_.finish(); }

  [[nodiscard]] const std::vector<std::string>& violations() const {
    return violations_.violations();
  }
  [[nodiscard]] const std::vector<std::string>& warnings() const { return violations_.warnings(); }
  [[nodiscard]] const VcdWriter* vcd() const { return vcd_.get(); }
  // The errno that stopped the trace; 0 when it was written whole.
  [[nodiscard]] int trace_error() const { return text_.error(); }

  // Whether the program, run without the simulator, would have held
  // CAP_SYS_RAWIO (and so real port access through /dev/port); under the
  // simulator it never does.
  [[nodiscard]] bool program_would_hold_raw_io() const { return would_hold_raw_io_; }
  void set_program_would_hold_raw_io(bool held) { would_hold_raw_io_ = held; }

 private:
  Options options_;
  SimClock clock_;
  TextTrace text_;
  std::unique_ptr<VcdWriter> vcd_;
  ViolationList violations_;
  EventStream stream_;
  Machine machine_;
  bool would_hold_raw_io_ = false;
};

}  // namespace cdbox::sim
