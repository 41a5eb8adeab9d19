// SPDX-License-Identifier: MIT
// What one run of the simulator shares among its parts: the options, the
// clock, the controller, the trace and the violations found so far.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/clock.h"
#include "sim/controller.h"
#include "sim/options.h"
#include "sim/trace.h"

namespace cdbox::sim {

class Session {
 public:
  Session(const Options& options, std::unique_ptr<TraceWriter> trace);

  [[nodiscard]] const Options& options() const { return options_; }
  SimClock& clock() { return clock_; }
  DrawerController& controller() { return controller_; }

  // Traces an event of pid now, after whatever the controller did before.
  void note(pid_t pid, const std::string& text);
  // Traces an event of pid now, ahead of what the controller does from now
  // on: for a write, whose effects come after it. Call catch_up first.
  void note_before_effects(pid_t pid, const std::string& text);
  // Records a safety violation by pid, now.
  void violation(pid_t pid, const std::string& text);
  // Runs the controller up to now and traces what it did.
  void catch_up();

  [[nodiscard]] const std::vector<std::string>& violations() const { return violations_; }
  // The errno that stopped the trace; 0 when it was written whole.
  [[nodiscard]] int trace_error() const { return trace_->error(); }

  // Whether the program, run without the simulator, would have held
  // CAP_SYS_RAWIO (and so real port access through /dev/port); under the
  // simulator it never does.
  [[nodiscard]] bool program_would_hold_raw_io() const { return would_hold_raw_io_; }
  void set_program_would_hold_raw_io(bool held) { would_hold_raw_io_ = held; }

 private:
  void trace_controller_event(const ControllerEvent& event);

  Options options_;
  SimClock clock_;
  DrawerController controller_;
  std::unique_ptr<TraceWriter> trace_;
  std::vector<std::string> violations_;
  bool would_hold_raw_io_ = false;
};

}  // namespace cdbox::sim
