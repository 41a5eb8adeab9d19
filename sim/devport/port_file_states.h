// SPDX-License-Identifier: MIT
// Task states as the virtual clock must see them while the port file has a
// request waiting: the task that made it waits for the simulator, not for
// the kernel, so it is not blocked and the clock must not jump past it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

#include "sim/devport/devport.h"
#include "sim/task_states.h"

namespace cdbox::sim {

class PortFileAwareStates final : public TaskStates {
 public:
  PortFileAwareStates(TaskStates& states, const DevPort& devport)
      : states_(states), devport_(devport) {}

  // The request is looked for after the state is read: a task that sleeps
  // for an answer has queued its request before it sleeps.
  char state(pid_t tid) override {
    const char state = states_.state(tid);
    return state != 'R' && devport_.request_waiting() ? 'R' : state;
  }
  std::optional<std::int64_t> cpu_ns(pid_t tid) override { return states_.cpu_ns(tid); }
  bool interrupting_signal_pending(pid_t tid) override {
    return states_.interrupting_signal_pending(tid);
  }

 private:
  TaskStates& states_;
  const DevPort& devport_;
};

}  // namespace cdbox::sim
